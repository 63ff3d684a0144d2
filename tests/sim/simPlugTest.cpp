// SPDX-License-Identifier: MIT
// Unplugging a simulated device and plugging it in again, as a loose cable
// or a hub that resets does to a real one: its tty hangs up, it leaves the
// simulator list, and it comes back on a new tty under the same serial
// number while the other devices go on.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <regex>

#include "programRunner.h"
#include "rawLine.h"
#include "simClock.h"
#include "simRegistry.h"

using namespace std::chrono_literals;
using namespace kelvo::test;

namespace {

const std::string kSim = KELVO_SIM;
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

// The tty the simulator list gives for `serial`, once it gives one within
// 10 s. The simulator takes an unplugged device off the list before its tty
// hangs up, so after the hang-up this is the tty of the device plugged in
// again (which may be the old tty's number, free again).
std::optional<std::string> listedPath(const std::string &serial) {
    for (int i = 0; i < 200; ++i) {
        for (const auto &device : kelvo::sim::runningSimulatedDevices()) {
            if (device.serial == serial) return device.path;
        }
        usleep(50000);
    }
    return std::nullopt;
}

bool listedWithin10s(const std::string &serial, bool listed) {
    for (int i = 0; i < 200; ++i) {
        bool found = false;
        for (const auto &device : kelvo::sim::runningSimulatedDevices()) found |= device.serial == serial;
        if (found == listed) return true;
        usleep(50000);
    }
    return false;
}

}  // namespace

TEST(SimulatedUnplug, SignalsUnplugDeviceOneAndPlugItInAgainOnANewTtyWhileDeviceTwoGoesOn) {
    SimProcess sim(kSim, {}, 2);
    Line first(sim.paths[0]);
    Line second(sim.paths[1]);
    ASSERT_NE(first.answer("*IDN?\n", 5s).find(",SIM0001,"), std::string::npos);

    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    EXPECT_TRUE(first.hangsUpWithin(10s));
    EXPECT_TRUE(listedWithin10s("SIM0001", false)) << "an unplugged device stays listed";
    EXPECT_NE(second.answer("*IDN?\n", 5s).find(",SIM0002,"), std::string::npos);

    ASSERT_EQ(kill(sim.pid(), SIGUSR2), 0);
    const std::optional<std::string> again = listedPath("SIM0001");
    ASSERT_TRUE(again) << "not plugged in again";
    EXPECT_NE(*again, sim.paths[0]) << "the old tty is still open here: the new one has another";
    Line replugged(*again);
    EXPECT_NE(replugged.answer("*IDN?\n", 5s).find(",SIM0001,"), std::string::npos);
    EXPECT_NE(second.answer("*IDN?\n", 5s).find(",SIM0002,"), std::string::npos);
}

// A stream cut by the unplug, and the stream of the device plugged in
// again: the truth log goes on with a second stream.
TEST(SimulatedUnplug, OnScheduleTheDeviceComesBackAndItsTruthLogGoesOn) {
    const std::string log = tempPath("replug");
    SimProcess sim(kSim,
                   {"--rate", "1000", "--block", "25", "--truth", log, "--unplug-at", "0.5", "--replug-after", "0.3"});
    {
        Line line(sim.paths[0]);
        line.send("CONF:DEV 2\nINIT\n");
        EXPECT_GE(line.blocks(4, 5s).size(), 4u);
        EXPECT_TRUE(line.hangsUpWithin(10s));
    }
    const std::optional<std::string> again = listedPath("SIM0001");
    ASSERT_TRUE(again);
    Line line(*again);
    line.send("CONF:DEV 2\nINIT\n");
    const std::vector<Arrival> arrivals = line.blocks(8, 5s);
    ASSERT_EQ(arrivals.size(), 8u);
    EXPECT_EQ(arrivals[0].firstCounter, 0u) << "a device plugged in again starts its stream afresh";
    line.send("ABOR\n");
    line.drain(100ms);

    const std::vector<std::vector<Point>> streams = readTruth(log);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_GE(streams[0].size(), 4u);
    ASSERT_GE(streams[1].size(), 8u);
    EXPECT_GT(streams[1][0].ticks, streams[0].back().ticks);
    std::filesystem::remove(log);
}

// A benchmark times a reconnect from the tick at which the device could be
// found again: standard error tells it, and the tick of the hang-up, each
// within the run, the plug-in no sooner than --replug-after allows, on the
// tty that standard output names.
TEST(SimulatedUnplug, StandardErrorTellsTheTicksOfTheUnplugAndThePlugIn) {
    const int64_t before = kelvo::sim::rawTicks();
    // The simulator serves until it is killed, 5 s on: time enough for both.
    const Outcome run = runProgram({kSim, "--unplug-at", "0.2", "--replug-after", "0.3"}, {}, {}, 5s);
    const int64_t after = kelvo::sim::rawTicks();
    std::smatch unplug;
    std::smatch plugIn;
    ASSERT_TRUE(std::regex_search(run.err, unplug, std::regex(R"(SIM0001 unplugged \(tick (\d+)\))"))) << run.err;
    ASSERT_TRUE(std::regex_search(run.err, plugIn, std::regex(R"(SIM0001 plugged in at (\S+) \(tick (\d+)\))")))
        << run.err;
    const int64_t gone = std::stoll(unplug[1]);
    const int64_t back = std::stoll(plugIn[2]);
    EXPECT_GT(gone, before);
    EXPECT_LT(back, after);
    EXPECT_GE(back - gone, 3'000'000) << "plugged in again before 0.3 s passed";
    EXPECT_NE(run.out.find("\n" + plugIn[1].str() + "\n"), std::string::npos) << "not the tty printed: " << run.out;
}

TEST(SimulatedUnplug, BadTimesAreUsageErrors) {
    const Outcome negative = runProgram({kSim, "--unplug-at", "-1"});
    EXPECT_EQ(negative.status, 2);
    EXPECT_NE(negative.err.find("--unplug-at takes 0 to 1000000 seconds"), std::string::npos) << negative.err;
    EXPECT_EQ(runProgram({kSim, "--replug-after", "soon"}).status, 2);
}
