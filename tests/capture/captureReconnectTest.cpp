// SPDX-License-Identifier: MIT
// Devices of a running session unplugged and plugged in again (kelvo-sim
// hangs up device 1's tty and offers a new one under the same serial): the
// session brings each back, lists every sample that never came as a gap
// with bounds that fit the data around it exactly, keeps one time axis that
// the simulator's truth log confirms, and the other device loses nothing.
// Blocks lost to framing are gaps of the same kind.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "captureTesting.h"
#include "rawLine.h"

using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

constexpr int kRate = 2000;

// Every sample a device handed out, as its index and time.
struct Samples {
    std::vector<int64_t> index;
    std::vector<int64_t> ticks;
};

class Reader {
public:
    explicit Reader(kelvoCapture *capture) : capture_(capture) {}
    // Reads until `done` holds, for at most 20 s.
    void readUntil(const std::function<bool()> &done) {
        const auto limit = std::chrono::steady_clock::now() + 20s;
        kelvoCaptureBatch batch{};
        while (!done() && std::chrono::steady_clock::now() < limit) {
            if (kelvoCaptureRead(capture_, &batch, 200) == KELVO_OK) take(batch);
        }
    }
    void readRest() {
        kelvoCaptureBatch batch{};
        while (kelvoCaptureRead(capture_, &batch, 1000) == KELVO_OK) take(batch);
    }
    kelvoCaptureStats stats(int device) const {
        kelvoCaptureStats s{};
        kelvoCaptureGetStats(capture_, device, &s);
        return s;
    }
    const Samples &run(int device) const { return runs_[device]; }

private:
    void take(const kelvoCaptureBatch &b) {
        Samples &r = runs_[b.device];
        for (int k = 0; k < b.count; ++k) {
            r.index.push_back(b.firstIndex + k);
            r.ticks.push_back(b.ticks[k]);
        }
    }
    kelvoCapture *capture_;
    Samples runs_[2];
};

std::vector<kelvoCaptureGap> gapsOf(kelvoCapture *capture, int device) {
    std::vector<kelvoCaptureGap> all(static_cast<size_t>(std::max(kelvoCaptureGetGaps(capture, nullptr, 0), 0)));
    kelvoCaptureGetGaps(capture, all.data(), static_cast<int>(all.size()));
    std::erase_if(all, [&](const kelvoCaptureGap &g) { return g.device != device; });
    return all;
}

// The data and the gaps together account for every index from 0 once, in
// order, and each gap sits between the samples its ticks name; times rise.
void expectDataAndGapsCoverTheRun(const Samples &run, const std::vector<kelvoCaptureGap> &gaps) {
    size_t g = 0;
    for (size_t k = 0; k < run.index.size(); ++k) {
        const int64_t expected = k == 0 ? 0 : run.index[k - 1] + 1;
        if (run.index[k] == expected) continue;
        ASSERT_LT(g, gaps.size()) << "an unrecorded jump from " << run.index[k - 1] << " to " << run.index[k];
        EXPECT_EQ(gaps[g].firstIndex, expected);
        EXPECT_EQ(gaps[g].lastIndex, run.index[k] - 1);
        EXPECT_EQ(gaps[g].samplesLost, gaps[g].lastIndex - gaps[g].firstIndex + 1);
        EXPECT_EQ(gaps[g].startTicks, run.ticks[k - 1]) << "a gap opens at the last sample before it";
        EXPECT_EQ(gaps[g].endTicks, run.ticks[k]) << "and closes at the first one after it";
        ++g;
    }
    EXPECT_EQ(g, gaps.size()) << "a gap with no jump in the data";
    for (size_t k = 1; k < run.ticks.size(); ++k) ASSERT_GT(run.ticks[k], run.ticks[k - 1]) << "at " << k;
}

void expectUnbroken(const Samples &run) {
    for (size_t k = 0; k < run.index.size(); ++k) ASSERT_EQ(run.index[k], static_cast<int64_t>(k));
}

// How far each truth point lies from the time the session gave its sample,
// in ticks, for the points of one truth stream after its first second.
std::vector<int64_t> delays(const Samples &run, const std::vector<Point> &truth, int64_t indexOffset) {
    std::vector<int64_t> out;
    for (const Point &p : truth) {
        if (p.ticks < truth.front().ticks + 10'000'000) continue;
        const int64_t index = static_cast<int64_t>(p.index) + indexOffset;
        const auto at = std::lower_bound(run.index.begin(), run.index.end(), index);
        if (at == run.index.end() || *at != index) continue;
        out.push_back(run.ticks[static_cast<size_t>(at - run.index.begin())] - p.ticks);
    }
    return out;
}

int64_t median(std::vector<int64_t> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

class Replugging : public ::testing::Test {
protected:
    void openAndStart(int reconnect, int giveUpMs) {
        capture_ = newCapture({"SIM0001", "SIM0002"}, {"CONF:DEV 2"});
        ASSERT_EQ(kelvoCaptureSetReconnect(capture_.get(), reconnect, giveUpMs), KELVO_OK);
        ASSERT_EQ(kelvoCaptureEnableRead(capture_.get()), KELVO_OK);
        ASSERT_EQ(kelvoCaptureOpen(capture_.get()), KELVO_OK) << kelvoCaptureGetError(capture_.get());
        ASSERT_EQ(kelvoCaptureStart(capture_.get()), KELVO_OK) << kelvoCaptureGetError(capture_.get());
        reader_ = std::make_unique<Reader>(capture_.get());
    }
    void readSamples(int device, size_t more) {
        const size_t target = reader_->run(device).index.size() + more;
        reader_->readUntil([&] { return reader_->run(device).index.size() >= target; });
        ASSERT_GE(reader_->run(device).index.size(), target) << "device " << device << " did not stream on";
    }
    void readUntilReconnects(uint64_t count) {
        reader_->readUntil([&] { return reader_->stats(0).reconnects >= count; });
        ASSERT_EQ(reader_->stats(0).reconnects, count) << "not brought back";
    }
    void stop() {
        kelvoCaptureStop(capture_.get());
        reader_->readRest();
    }

    CapturePtr capture_{nullptr, kelvoCaptureDestroy};
    std::unique_ptr<Reader> reader_;
};

TEST_F(Replugging, TheGapHasExactBoundsAndTheTimeAxisStaysTrueAcrossIt) {
    const std::string truth = tempFile("replug-truth");
    SimProcess sim(kSim, {"--rate", std::to_string(kRate), "--block", "50", "--truth", truth}, 2);
    openAndStart(1, 0);
    readSamples(0, 3 * kRate);
    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    readSamples(1, kRate);  // the other device streams on while one is gone
    ASSERT_EQ(kill(sim.pid(), SIGUSR2), 0);
    readUntilReconnects(1);
    readSamples(0, 3 * kRate);
    stop();

    const Samples &replugged = reader_->run(0);
    const std::vector<kelvoCaptureGap> gaps = gapsOf(capture_.get(), 0);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_STREQ(gaps[0].cause, "disconnected");
    expectDataAndGapsCoverTheRun(replugged, gaps);
    expectUnbroken(reader_->run(1));
    EXPECT_TRUE(gapsOf(capture_.get(), 1).empty());
    EXPECT_EQ(reader_->stats(1).dropped, 0u);
    EXPECT_EQ(reader_->stats(0).gaps, 1u);

    // The truth: the second stream's sample n is the session's n + the
    // index where it resumed; its times lie as far from the truth as the
    // first stream's did (the clock restarted on the same tick clock).
    const std::vector<std::vector<Point>> streams = readTruth(truth + ".1");
    ASSERT_EQ(streams.size(), 2u);
    const std::vector<int64_t> before = delays(replugged, streams[0], 0);
    const std::vector<int64_t> after = delays(replugged, streams[1], gaps[0].lastIndex + 1);
    ASSERT_GE(before.size(), 20u);
    ASSERT_GE(after.size(), 20u);
    EXPECT_LT(std::abs(median(after) - median(before)), 20'000) << "the time axis moved across the gap (ticks)";
    // The samples the gap stands for, against the truth's own break: the
    // first stream's last sample to the second's first. The first batch
    // after the restart is timed by a fit that has seen one block.
    const double period = 1e7 / kRate;
    const int64_t lastBefore = streams[0].back().ticks + static_cast<int64_t>(49 * period);
    const double trueLost = static_cast<double>(streams[1].front().ticks - lastBefore) / period - 1;
    EXPECT_NEAR(static_cast<double>(gaps[0].samplesLost), trueLost, 0.02 * kRate);
    std::filesystem::remove(truth + ".1");
    std::filesystem::remove(truth + ".2");
}

TEST_F(Replugging, TwoUnplugsInARowAndOneWhileComingBackEachEndInAGap) {
    SimProcess sim(kSim, {"--rate", std::to_string(kRate), "--block", "50"}, 2);
    openAndStart(1, 0);
    readSamples(0, kRate);
    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(kill(sim.pid(), SIGUSR2), 0);
    readUntilReconnects(1);
    readSamples(0, kRate / 2);
    // Again, and this time unplugged once more while it is being brought back.
    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(kill(sim.pid(), SIGUSR2), 0);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    std::this_thread::sleep_for(400ms);
    ASSERT_EQ(kill(sim.pid(), SIGUSR2), 0);
    readUntilReconnects(reader_->stats(0).reconnects + 1);
    readSamples(0, kRate / 2);
    stop();

    const std::vector<kelvoCaptureGap> gaps = gapsOf(capture_.get(), 0);
    EXPECT_GE(gaps.size(), 2u);
    EXPECT_LE(gaps.size(), 3u);
    for (const kelvoCaptureGap &g : gaps) EXPECT_STREQ(g.cause, "disconnected");
    expectDataAndGapsCoverTheRun(reader_->run(0), gaps);
    EXPECT_EQ(reader_->stats(0).reconnects, gaps.size());
    expectUnbroken(reader_->run(1));
    EXPECT_EQ(reader_->stats(1).dropped, 0u);
}

TEST_F(Replugging, ADeviceThatNeverComesBackEndsTheSessionAfterTheGiveUpTime) {
    SimProcess sim(kSim, {"--rate", std::to_string(kRate), "--block", "50"}, 2);
    openAndStart(1, 1500);
    readSamples(0, kRate / 2);
    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    EXPECT_EQ(kelvoCaptureWait(capture_.get(), 15000), KELVO_OK) << "the give-up time did not end the session";
    EXPECT_EQ(kelvoCaptureStop(capture_.get()), KELVO_REFUSED);
    const std::string why = kelvoCaptureGetError(capture_.get());
    EXPECT_NE(why.find(sim.paths[0] + ": the device was unplugged"), std::string::npos) << why;
    EXPECT_NE(why.find("did not come back in 1.5 s"), std::string::npos) << why;
    reader_->readRest();

    // Its gap runs from its last sample to the stop; the other device
    // streamed on until then, unbroken.
    const Samples &gone = reader_->run(0);
    const std::vector<kelvoCaptureGap> gaps = gapsOf(capture_.get(), 0);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].firstIndex, gone.index.back() + 1);
    EXPECT_EQ(gaps[0].startTicks, gone.ticks.back());
    EXPECT_GE(gaps[0].endTicks - gaps[0].startTicks, 15'000'000) << "the stop came 1.5 s after the unplug at least";
    EXPECT_NEAR(static_cast<double>(gaps[0].samplesLost),
                static_cast<double>(gaps[0].endTicks - gaps[0].startTicks) * kRate / 1e7, 0.01 * kRate);
    EXPECT_EQ(reader_->stats(0).reconnects, 0u);
    expectUnbroken(reader_->run(1));
    EXPECT_GT(reader_->run(1).ticks.back(), gaps[0].startTicks + 10'000'000);
}

// Every 20th block arrives 3 bytes short of its header: the library skips
// it, the device's counter says how many samples that cost, and the gap
// names framing as the cause.
TEST(Gaps, ABlockLostToFramingIsAGapOfItsSamples) {
    SimProcess sim(kSim, {"--rate", std::to_string(kRate), "--block", "50", "--fault", "malformed:20"}, 1);
    CapturePtr capture = newCapture({"SIM0001"}, {"CONF:DEV 2"});
    ASSERT_EQ(kelvoCaptureEnableRead(capture.get()), KELVO_OK);
    ASSERT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK);
    Reader reader(capture.get());
    reader.readUntil([&] { return reader.stats(0).gaps >= 3; });
    kelvoCaptureStop(capture.get());
    reader.readRest();

    const std::vector<kelvoCaptureGap> gaps = gapsOf(capture.get(), 0);
    ASSERT_GE(gaps.size(), 3u);
    for (const kelvoCaptureGap &g : gaps) {
        EXPECT_STREQ(g.cause, "framing");
        EXPECT_EQ(g.samplesLost % 50, 0) << "whole blocks";
    }
    expectDataAndGapsCoverTheRun(reader.run(0), gaps);
    EXPECT_GE(reader.stats(0).framingErrors, gaps.size());
}

}  // namespace
