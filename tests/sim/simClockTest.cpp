// SPDX-License-Identifier: MIT
// The simulator's sample clock, checked from the outside: blocks read
// straight off the pseudo-terminal, stamped on arrival with
// CLOCK_MONOTONIC_RAW, against the truth log and against the period that the
// rate and the ppm give by their own formula here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "programRunner.h"
#include "rawLine.h"
#include "simulatedDevice.h"

using namespace std::chrono_literals;
using kelvo::sim::SimOptions;
using kelvo::sim::SimulatedDevice;
using kelvo::test::Outcome;
using kelvo::test::PrivateRuntimeFolder;
using kelvo::test::runProgram;
using kelvo::test::SimProcess;
using namespace kelvo::test;

namespace {

const std::string kSim = KELVO_SIM;
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

// The measuring period in ticks (100 ns) of a clock `ppm` fast.
long double periodTicks(double rate, double ppm) { return 1e7L / (rate * (1.0L + ppm * 1e-6L)); }

std::vector<Point> pointsOf(const std::vector<kelvo::sim::TruthPoint> &truth) {
    std::vector<Point> points;
    for (const auto &t : truth) points.push_back({t.index, t.ticks});
    return points;
}

// Every block's first sample, index k = i * B, measured at
// T0 + k * period, to the nearest tick: exact up to one tick of rounding,
// so that the slope over the stream holds to a tick over its span.
void expectOnSchedule(const std::vector<Point> &points, unsigned samplesPerBlock, double rate, double ppm) {
    ASSERT_GE(points.size(), 2u);
    const long double period = periodTicks(rate, ppm);
    const int64_t start = points[0].ticks;
    for (size_t i = 0; i < points.size(); ++i) {
        ASSERT_EQ(points[i].index, i * samplesPerBlock);
        const long double expected = start + static_cast<long double>(points[i].index) * period;
        ASSERT_LE(std::abs(static_cast<long double>(points[i].ticks) - expected), 1.0L)
            << "block " << i << ": measured at tick " << points[i].ticks;
    }
    const Point &first = points.front(), &last = points.back();
    const double span = static_cast<double>(last.ticks - first.ticks);
    const double slope = span / static_cast<double>(last.index - first.index);
    EXPECT_NEAR(slope / static_cast<double>(period), 1.0, 1.0 / span);
}

void expectCountersMatchTruth(const std::vector<Arrival> &arrivals, const std::vector<Point> &truth,
                              unsigned samplesPerBlock) {
    ASSERT_LE(arrivals.size(), truth.size());
    for (size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_EQ(arrivals[i].firstCounter, truth[i].index) << "block " << i;
        EXPECT_EQ(arrivals[i].samples, samplesPerBlock);
        EXPECT_TRUE(arrivals[i].countersConsecutive) << "block " << i;
    }
}

// How long after its last sample's measuring time each block arrived, in
// nanoseconds.
std::vector<int64_t> lateness(const std::vector<Arrival> &arrivals, int64_t startTick, double rate, double ppm) {
    const long double periodNs = 100.0L * periodTicks(rate, ppm);
    std::vector<int64_t> late;
    for (const Arrival &a : arrivals) {
        const long double lastSample = static_cast<long double>(a.firstCounter + a.samples - 1);
        const long double measured = static_cast<long double>(startTick) * 100.0L + lastSample * periodNs;
        late.push_back(a.nanoseconds - static_cast<int64_t>(std::ceil(measured)));
    }
    return late;
}

int64_t median(std::vector<int64_t> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// Rounding of the due time between the simulator's formula and ours.
constexpr int64_t kRoundingNs = 10;

TEST(SimulatedSampleClock, WritesEachBlockOnceItsLastSampleIsMeasuredAndPromptly) {
    constexpr double kRate = 1000, kPpm = 300;
    constexpr unsigned kBlock = 20;
    SimulatedDevice device({.sampleRate = kRate, .samplesPerBlock = kBlock, .faults = {}, .clockPpm = kPpm});
    Line line(device.path());
    line.send("CONF:DEV 2\n");
    const int64_t sent = rawNanoseconds();
    line.send("INIT\n");
    const std::vector<Arrival> arrivals = line.blocks(100, 10s);
    ASSERT_EQ(arrivals.size(), 100u);

    const std::vector<Point> truth = pointsOf(device.truth());
    ASSERT_FALSE(truth.empty());
    // The clock starts when the device takes the command: after we sent it,
    // before the first block came.
    const int64_t start = truth[0].ticks;
    EXPECT_GE(start, sent / 100);
    EXPECT_LE(start, arrivals[0].nanoseconds / 100);
    expectCountersMatchTruth(arrivals, truth, kBlock);

    const std::vector<int64_t> late = lateness(arrivals, start, kRate, kPpm);
    for (size_t i = 0; i < late.size(); ++i) EXPECT_GE(late[i], -kRoundingNs) << "block " << i << " came early";
    EXPECT_LT(median(late), 2000000) << "half the blocks came more than 2 ms after their last sample";
}

TEST(SimulatedSampleClock, TruthLogFollowsTheFastClockAndTheCountersAndRestartsWithEachStream) {
    constexpr double kRate = 2000, kPpm = 150;
    constexpr unsigned kBlock = 50;
    const std::string log = tempPath("truth");
    SimulatedDevice device(
        {.sampleRate = kRate, .samplesPerBlock = kBlock, .faults = {}, .clockPpm = kPpm, .truthPath = log});
    Line line(device.path());
    line.send("CONF:DEV 2\n");
    line.send("INIT\n");

    // The log is written as the blocks go: their lines are there by the
    // time the blocks are.
    const std::vector<Arrival> firstTen = line.blocks(10, 5s);
    ASSERT_EQ(firstTen.size(), 10u);
    ASSERT_EQ(readTruth(log).size(), 1u);
    EXPECT_GE(readTruth(log)[0].size(), 10u);

    std::vector<Arrival> arrivals = line.blocks(110, 10s);  // 3 s in all
    ASSERT_EQ(arrivals.size(), 110u);
    arrivals.insert(arrivals.begin(), firstTen.begin(), firstTen.end());
    const std::vector<Point> inMemory = pointsOf(device.truth());
    line.send("ABOR\n");
    line.drain(200ms);

    const std::vector<std::vector<Point>> first = readTruth(log);
    ASSERT_EQ(first.size(), 1u);
    expectOnSchedule(first[0], kBlock, kRate, kPpm);
    expectCountersMatchTruth(arrivals, first[0], kBlock);
    ASSERT_LE(inMemory.size(), first[0].size());
    for (size_t i = 0; i < inMemory.size(); ++i) {
        EXPECT_TRUE(inMemory[i].index == first[0][i].index && inMemory[i].ticks == first[0][i].ticks) << "point " << i;
    }

    // A new start: a new clock start, indexes and counters from 0, the log
    // appended to.
    line.send("INIT\n");
    const std::vector<Arrival> again = line.blocks(10, 5s);
    ASSERT_EQ(again.size(), 10u);
    line.send("ABOR\n");
    line.drain(200ms);
    const std::vector<std::vector<Point>> both = readTruth(log);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].size(), first[0].size());
    expectOnSchedule(both[1], kBlock, kRate, kPpm);
    expectCountersMatchTruth(again, both[1], kBlock);
    EXPECT_GT(both[1][0].ticks, first[0].back().ticks);
    EXPECT_EQ(device.truth().size(), both[1].size()) << "truth() holds the current stream only";
    std::filesystem::remove(log);
}

TEST(SimulatedSampleClock, LateBlocksComeUpToTheirDelayAfterTheirDueTimeInOrderAndOffNoSchedule) {
    constexpr double kRate = 1000, kPpm = -80;
    constexpr unsigned kBlock = 10;
    SimulatedDevice device(
        {.sampleRate = kRate, .samplesPerBlock = kBlock, .faults = {}, .clockPpm = kPpm, .lateMaxMs = 5, .seed = 1});
    Line line(device.path());
    line.send("CONF:DEV 2\n");
    line.send("INIT\n");
    const std::vector<Arrival> arrivals = line.blocks(200, 10s);
    ASSERT_EQ(arrivals.size(), 200u);
    const std::vector<Point> truth = pointsOf(device.truth());
    expectOnSchedule(truth, kBlock, kRate, kPpm);
    expectCountersMatchTruth(arrivals, truth, kBlock);

    const std::vector<int64_t> late = lateness(arrivals, truth[0].ticks, kRate, kPpm);
    for (size_t i = 0; i < late.size(); ++i) EXPECT_GE(late[i], -kRoundingNs) << "block " << i << " came early";
    // Delays uniform over 0 to 5 ms: the median near 2.5 ms, which
    // scheduling can only push later, and some close to 5 ms.
    EXPECT_GT(median(late), 1000000);
    EXPECT_LT(median(late), 7000000);
    EXPECT_GT(*std::max_element(late.begin(), late.end()), 4000000);
}

TEST(SimulatedSampleClock, KelvoSimGivesEachDeviceItsOwnClockAndTruthFile) {
    const std::string log = tempPath("devices");
    {
        SimProcess sim(kSim, {"--rate", "1000", "--block", "25", "--clock-ppm", "150,-80", "--truth", log}, 2);
        for (int k = 0; k < 2; ++k) {
            Line line(sim.paths[static_cast<size_t>(k)]);
            line.send("CONF:DEV 2\nINIT\n");
            const std::vector<Arrival> arrivals = line.blocks(40, 5s);
            EXPECT_EQ(arrivals.size(), 40u);
            line.send("ABOR\n");
            line.drain(100ms);
            const std::string file = log + "." + std::to_string(k + 1);
            const std::vector<std::vector<Point>> streams = readTruth(file);
            ASSERT_EQ(streams.size(), 1u) << file;
            expectOnSchedule(streams[0], 25, 1000, k == 0 ? 150 : -80);
            expectCountersMatchTruth(arrivals, streams[0], 25);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(log)) << "with two devices each has a file of its own";
    std::filesystem::remove(log + ".1");
    std::filesystem::remove(log + ".2");

    const Outcome wrongCount = runProgram({kSim, "--devices", "2", "--clock-ppm", "1,2,3"});
    EXPECT_EQ(wrongCount.status, 2);
    EXPECT_NE(wrongCount.err.find("--clock-ppm takes one value or one per device (2)"), std::string::npos)
        << wrongCount.err;
}

}  // namespace
