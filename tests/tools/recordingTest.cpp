// SPDX-License-Identifier: MIT
// kelvo record, publish and subscribe driven as a user drives them, with
// simulated devices on pseudo-terminals, real HDF5 files read back with
// h5py and the HDF5 C library, and real ZeroMQ sockets over TCP and ipc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hdf5.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "backgroundProgram.h"
#include "kelvo.h"
#include "kelvo_capture.h"
#include "programRunner.h"
#include "toolTesting.h"

using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

// Devices named by serial are this run's simulators, not another's.
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;
const std::string kPython = KELVO_PYTHON;
const std::string kChecker = KELVO_SOURCE_DIR "/tests/tools/checkRecording.py";
const std::string kStalled = KELVO_SOURCE_DIR "/tests/tools/stalledSubscriber.py";
const std::string kFollower = KELVO_SOURCE_DIR "/tests/tools/followRecording.py";
const std::string kSplitChecker = KELVO_SOURCE_DIR "/tests/tools/checkSplit.py";
const std::string kExample = KELVO_SOURCE_DIR "/examples/python/subscribe.py";
const std::string kNoticePublisher = KELVO_SOURCE_DIR "/tests/tools/noticePublisher.py";
const std::string kVersionOne = KELVO_SOURCE_DIR "/tests/tools/versionOneSubscriber.py";

Outcome check(const std::string &file, std::vector<std::string> options) {
    options.insert(options.begin(), {kPython, kChecker, file});
    return runProgram(options);
}

// The serial number a simulated device gives as the third field of *IDN?;
// each simulator takes the first one free, so it depends on what else runs.
std::string serialOf(const std::string &path) {
    const Outcome o = runProgram({kKelvo, "query", path, "*IDN?"});
    std::istringstream fields(o.out);
    std::string field;
    for (int k = 0; k < 3; ++k) std::getline(fields, field, ',');
    return field;
}

std::vector<std::string> serialsOf(const SimProcess &sim) {
    std::vector<std::string> serials;
    for (const std::string &path : sim.paths) serials.push_back(serialOf(path));
    return serials;
}

// The counter dataset of a device as the HDF5 C library reads it.
std::vector<uint32_t> countersThroughTheCApi(const std::string &file, const std::string &device) {
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (f < 0) return {};
    const hid_t set = H5Dopen2(f, ("/devices/" + device + "/counter").c_str(), H5P_DEFAULT);
    const hid_t space = H5Dget_space(set);
    hsize_t n = 0;
    H5Sget_simple_extent_dims(space, &n, nullptr);
    std::vector<uint32_t> counters(n);
    H5Dread(set, H5T_NATIVE_UINT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, counters.data());
    H5Sclose(space);
    H5Dclose(set);
    H5Fclose(f);
    return counters;
}

// The gaps and markers of a file as h5py reads them, one line each:
// "gap SERIAL FIRST LAST START END LOST CAUSE", "marker TICKS SOURCE TEXT"
// (the ticks of the machine that marked).
std::string notesInFile(const std::string &file) {
    const char *script = R"(
import sys, h5py
f = h5py.File(sys.argv[1], "r")
for name, device in f["devices"].items():
    for g in device["gaps"][()] if "gaps" in device else []:
        print("gap", name, *(int(g[k]) for k in ("first_index", "last_index", "start_ticks", "end_ticks",
              "samples_lost")), g["cause"].decode())
if "markers" in f:
    m = f["markers"]
    # A subscriber keeps them on its own clock, and as sent in publisher_ticks.
    sent = m["publisher_ticks"] if "publisher_ticks" in m else m["ticks"]
    for ticks, source, text in zip(sent[()], m["source"][()], m["text"][()]):
        print("marker", ticks, source.decode(), text.decode())
)";
    const Outcome o = runProgram({kPython, "-c", script, file});
    return o.out + o.err;
}

// The lines of `text` that begin with `word` and a space.
std::vector<std::string> linesOf(const std::string &text, const std::string &word) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(word + " ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

// The last time of each device's samples, in seconds since tick 0, as a
// reader with SWMR access finds them.
std::vector<double> lastTimesThroughSwmr(const std::string &file, const std::vector<std::string> &devices) {
    std::vector<double> last;
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT);
    if (f < 0) return last;
    for (const std::string &device : devices) {
        const hid_t set = H5Dopen2(f, ("/devices/" + device + "/time").c_str(), H5P_DEFAULT);
        const hid_t space = H5Dget_space(set);
        hsize_t n = 0;
        H5Sget_simple_extent_dims(space, &n, nullptr);
        std::vector<double> times(n);
        if (n > 0) H5Dread(set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, times.data());
        last.push_back(times.empty() ? 0 : times.back());
        H5Sclose(space);
        H5Dclose(set);
    }
    H5Fclose(f);
    return last;
}

// Now on the clock of the ticks, in seconds.
double monotonicRawSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

TEST(RecordCommand, TwoDevicesForTwoSecondsKeepEverySampleInOrderWithTheAttributes) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::vector<std::string> serials = serialsOf(sim);
    const std::string file = tempPath("two.h5");
    const Outcome o = runProgram({kKelvo, "record", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 3",
                                  "--seconds", "2", "--out", file, "--raw"});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find(serials[0]), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  dropped         0\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("  framing errors  0\n"), std::string::npos) << o.out;

    const Outcome checked = check(file, {"1000", "2", "--raw", "--at-least", "1500"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    for (const std::string &device : serials) {
        const std::vector<uint32_t> counters = countersThroughTheCApi(file, device);
        ASSERT_GE(counters.size(), 1500u) << device;
        for (size_t i = 0; i < counters.size(); ++i) ASSERT_EQ(counters[i], i) << device;
    }
    std::filesystem::remove(file);
}

// Each device is timed by its own clock: one runs 0.15 % fast, the other
// 0.12 % slow, and each one's recorded times keep to the moments the
// simulator measured its samples, as its truth log has them.
TEST(RecordCommand, EachDevicesTimesKeepToItsOwnDriftingClockAsTheSimulatorMeasuredIt) {
    const std::string truth = tempPath("truth.log");
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50", "--clock-ppm", "1500,-1200", "--truth", truth}, 2);
    const std::string file = tempPath("timed.h5");
    const Outcome o = runProgram({kKelvo, "record", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 3",
                                  "--seconds", "5", "--out", file});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    const Outcome checked = check(file, {"1000", "2", "--at-least", "4000", "--ppm", sim.paths[0] + "=1500", "--ppm",
                                         sim.paths[1] + "=-1200", "--truth", sim.paths[0] + "=" + truth + ".1",
                                         "--truth", sim.paths[1] + "=" + truth + ".2"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    // "truth SERIAL delay D ms spread S ms", one line per device.
    const std::string lines = "\n" + checked.out;
    size_t truths = 0;
    for (size_t at = lines.find("\ntruth "); at != std::string::npos; at = lines.find("\ntruth ", at + 1)) ++truths;
    EXPECT_EQ(truths, 2u) << "both devices checked against their truth: " << checked.out;
    for (const std::string &path : {file, truth + ".1", truth + ".2"}) std::filesystem::remove(path);
}

TEST(RecordCommand, SamplesStopsEveryDeviceAtExactlyNAndALayoutWithoutCounterHasNone) {
    SimProcess sim(kSim, {"--rate", "2000", "--block", "40"}, 2);
    const std::string file = tempPath("exact.h5");
    const Outcome o = runProgram({kKelvo, "record", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 0,2,1",
                                  "--samples", "1500", "--out", file});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    const Outcome checked = check(file, {"2000", "2", "--samples", "1500"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    std::filesystem::remove(file);
}

// Device 1 is unplugged a second into the recording: by default it is back
// a second later, the summary tells the break and the recording holds it as
// a row of the device's gaps with the bounds of its index's jump (and the
// other device none); without reconnecting it
// stays gone while the other records on; with a give-up time and no replug
// the run ends with the device named.
TEST(RecordCommand, AnUnpluggedDeviceIsBroughtBackOrGivenUpAsTheOptionsSay) {
    const std::string file = tempPath("replugged.h5");
    struct Run {
        int status;
        std::string out, err, path;
    };
    const auto record = [&](bool replug, const std::vector<std::string> &options) {
        SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
        std::vector<std::string> command = {kKelvo,       "record",    "SIM0001", "SIM0002", "--config",
                                            "CONF:DEV 2", "--seconds", "4",       "--out",   file};
        command.insert(command.end(), options.begin(), options.end());
        Background run(command, "record");
        EXPECT_TRUE(run.awaitThread("kelvo-writer")) << run.output();
        std::this_thread::sleep_for(1s);
        kill(sim.pid(), SIGUSR1);
        if (replug) {
            std::this_thread::sleep_for(1s);
            kill(sim.pid(), SIGUSR2);
        }
        const int status = run.wait();
        return Run{status, run.out(), run.err(), sim.paths[0]};
    };
    const Run back = record(true, {});
    EXPECT_EQ(back.status, 0) << back.out << back.err;
    EXPECT_NE(back.out.find("  reconnects: 1, gap "), std::string::npos) << back.out;
    const Outcome checked = runProgram({kPython, "-c", R"(
import sys, h5py, numpy as np
with h5py.File(sys.argv[1], "r") as f:
    g = f["devices/SIM0001"]
    gaps, index = g["gaps"][:], g["index"][:]
    assert len(gaps) == 1, gaps
    gap = gaps[0]
    assert gap["cause"].decode() == "disconnected", gap
    assert gap["samples_lost"] == gap["last_index"] - gap["first_index"] + 1 > 0, gap
    jump = int(np.flatnonzero(np.diff(index) != 1)[0])
    assert index[jump] == gap["first_index"] - 1 and index[jump + 1] == gap["last_index"] + 1, (index[jump:jump + 2], gap)
    assert round(g["time"][jump] * 1e7) == gap["start_ticks"] and round(g["time"][jump + 1] * 1e7) == gap["end_ticks"]
    assert len(f["devices/SIM0002/gaps"]) == 0
print("ok")
)",
                                        file});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;

    const Run gone = record(true, {"--no-reconnect"});
    EXPECT_EQ(gone.status, 0) << gone.out << gone.err;
    EXPECT_NE(gone.out.find("  reconnects: 0, gap "), std::string::npos) << gone.out;

    const Run givenUp = record(false, {"--give-up", "1"});
    EXPECT_EQ(givenUp.status, 1) << givenUp.out << givenUp.err;
    EXPECT_NE(givenUp.err.find(givenUp.path + ": the device was unplugged"), std::string::npos) << givenUp.err;
    EXPECT_NE(givenUp.err.find("did not come back in 1 s"), std::string::npos) << givenUp.err;
    std::filesystem::remove(file);
}

// SIGINT, SIGTERM and SIGHUP end the run like its end; after SIGKILL the
// last flush (at most a second old) holds the rest.
TEST(RecordCommand, AnInterruptedOrKilledRunLeavesAReadableFile) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        const std::string file = tempPath("killed.h5");
        Background run({kKelvo, "record", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 3", "--seconds",
                        "60", "--out", file},
                       "record");
        // Three seconds of recording: the writer flushes once a second.
        ASSERT_TRUE(run.awaitThread("kelvo-writer")) << run.output();
        std::this_thread::sleep_for(3s);
        run.signal(number);
        const int status = run.wait();
        if (number == SIGKILL) {
            const Outcome checked = check(file, {"1000", "2", "--killed", "--at-least", "500"});
            EXPECT_EQ(checked.status, 0) << "SIGKILL: " << checked.out << checked.err;
        } else {
            EXPECT_EQ(status, 0) << strsignal(number) << ": " << run.output();
            const Outcome checked = check(file, {"1000", "2", "--at-least", "1000"});
            EXPECT_EQ(checked.status, 0) << strsignal(number) << ": " << checked.out << checked.err;
        }
        std::filesystem::remove(file);
    }
}

// A reader with SWMR access follows the file while it grows, each look at
// it consistent, and holds it open through the end, which is written all
// the same; read again, the file has its statistics.
TEST(RecordCommand, AReaderFollowsTheFileWhileItIsWrittenAndSeesItsEndOnceItReadsAgain) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::string file = tempPath("followed.h5");
    Background run({kKelvo, "record", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 3", "--seconds", "5",
                    "--out", file},
                   "record");
    Background follower({kPython, kFollower, file, std::to_string(run.pid()), "2"}, "follower");
    EXPECT_EQ(run.wait(), 0) << run.output();
    EXPECT_EQ(follower.wait(), 0) << follower.output();
    const Outcome checked = check(file, {"1000", "2", "--at-least", "3000"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    std::filesystem::remove(file);
}

// After SIGKILL the file holds what the last flush wrote, at most a second
// old; two seconds leave room for a loaded machine.
TEST(RecordCommand, AKilledRunLosesNoMoreThanItsLastFlushAndTheRestIsConsistent) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::vector<std::string> serials = serialsOf(sim);
    const std::string file = tempPath("lost.h5");
    Background run({kKelvo, "record", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 3", "--seconds", "60",
                    "--out", file},
                   "record");
    ASSERT_TRUE(run.awaitThread("kelvo-writer")) << run.output();
    std::this_thread::sleep_for(3s);
    run.signal(SIGKILL);
    const double killedAt = monotonicRawSeconds();
    run.wait();
    const Outcome checked = check(file, {"1000", "2", "--killed", "--at-least", "1000"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    const std::vector<double> last = lastTimesThroughSwmr(file, serials);
    ASSERT_EQ(last.size(), 2u) << "a SWMR reader opens the killed run's file";
    for (size_t d = 0; d < last.size(); ++d) EXPECT_GT(last[d], killedAt - 2.0) << serials[d];
    std::filesystem::remove(file);
}

// Files of one second of sample time each, numbered from 1: each a
// recording of its own, all of them together every sample once.
TEST(RecordCommand, SplitWritesAFileForEverySpanAndTogetherTheyHoldEverySampleOnce) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::string file = tempPath("split.h5");
    const std::string stem = file.substr(0, file.size() - 3);
    const Outcome o = runProgram({kKelvo, "record", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 3",
                                  "--seconds", "3.5", "--split", "1", "--out", file});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("written to " + stem + "-0001.h5, "), std::string::npos) << o.out;
    EXPECT_FALSE(std::filesystem::exists(file)) << "only the numbered files";
    const Outcome checked = runProgram({kPython, kSplitChecker, stem, "1", "2", "--at-least-files", "3"});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    for (int n = 1; n < 10; ++n) std::filesystem::remove(stem + "-000" + std::to_string(n) + ".h5");

    const Outcome refused = runProgram({kKelvo, "record", sim.paths[0], "--config", "CONFigure:DEVice 3", "--seconds",
                                        "1", "--split", "0", "--out", file});
    EXPECT_EQ(refused.status, 2) << refused.out << refused.err;
}

// Both subscribers connect before the publisher binds and read on after it
// stopped; each checks every sample it got against the waveforms.
TEST(PublishSubscribe, TcpAndIpcDeliverEverySampleInOrderToEverySubscriber) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::vector<std::string> serials = serialsOf(sim);
    const std::string endpoints[] = {"tcp://127.0.0.1:" + std::to_string(freeTcpPort()),
                                     "ipc://" + tempPath("publish.sock")};
    for (const std::string &endpoint : endpoints) {
        const std::string file = tempPath("subscribed.h5");
        Background subscriber({kKelvo, "subscribe", endpoint, "--seconds", "6", "--out", file}, "subscriber");
        Background example({kPython, kExample, endpoint, "6"}, "example");
        std::this_thread::sleep_for(500ms);
        const Outcome published = runProgram({kKelvo, "publish", sim.paths[0], sim.paths[1], "--config",
                                              "CONFigure:DEVice 3", "--bind", endpoint, "--seconds", "3"});
        ASSERT_EQ(published.status, 0) << endpoint << ": " << published.out << published.err;
        ASSERT_EQ(subscriber.wait(), 0) << endpoint << ": " << subscriber.output();
        ASSERT_EQ(example.wait(), 0) << endpoint << ": " << example.output();

        const std::string out = subscriber.output();
        for (const std::string &serial : serials) {
            const size_t line = out.find("kelvo/" + serial);
            ASSERT_NE(line, std::string::npos) << out;
            EXPECT_NE(out.find("lost 0 messages", line), std::string::npos) << out;
            // "  latency         median M ms  p99 P ms": both clocks are this
            // machine's, so no message took longer than the whole run.
            const size_t at = out.find("latency", line);
            ASSERT_NE(at, std::string::npos) << out;
            std::istringstream fields(out.substr(at));
            std::string word, unit;
            double median = -1, p99 = -1;
            fields >> word >> word >> median >> unit >> word >> p99;
            ASSERT_TRUE(fields) << out;
            EXPECT_GE(median, 0.0) << out;
            EXPECT_GE(p99, median) << out;
            EXPECT_LT(p99, 6000.0) << out;
        }
        const Outcome checked = check(file, {"1000", "2", "--subscribed", "--at-least", "1000"});
        EXPECT_EQ(checked.status, 0) << endpoint << ": " << checked.out << checked.err;

        // "TOPIC messages M samples S first F last L lost 0 row V1 V2 V3"
        std::istringstream lines(example.output());
        int devices = 0;
        for (std::string text; std::getline(lines, text);) {
            std::istringstream fields(text);
            std::string topic, word;
            uint64_t messages = 0, samples = 0, first = 0, last = 0, lost = 1;
            double row[3] = {};
            fields >> topic >> word >> messages >> word >> samples >> word >> first >> word >> last >> word >> lost >>
                word >> row[0] >> row[1] >> row[2];
            ASSERT_TRUE(fields) << text;
            ++devices;
            EXPECT_EQ(lost, 0u) << text;
            EXPECT_GE(samples, 1000u) << text;
            EXPECT_EQ(samples, last - first + 1) << "every sample in order: " << text;
            // Channel 0 is the sine, peak 6000000 << 8 counts of 2^31.
            const double expected = 6000000.0 * 256 / 2147483648.0 * std::sin(2 * M_PI * (first / 1000.0));
            EXPECT_NEAR(row[0], expected, 1e-5) << text;
        }
        EXPECT_EQ(devices, 2) << example.output();
        std::filesystem::remove(file);
    }
}

TEST(PublishSubscribe, ASubscriberThatJoinsLateDecodesFromTheMetaMessage) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::vector<std::string> serials = serialsOf(sim);
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(freeTcpPort());
    Background publisher({kKelvo, "publish", sim.paths[0], sim.paths[1], "--config", "CONFigure:DEVice 0,2,1", "--bind",
                          endpoint, "--seconds", "5"},
                         "publisher");
    std::this_thread::sleep_for(2s);
    const std::string file = tempPath("late.h5");
    const Outcome late = runProgram(
        {kKelvo, "subscribe", endpoint, "--topic", "kelvo/" + serials[1], "--seconds", "2.5", "--out", file});
    EXPECT_EQ(late.status, 0) << late.out << late.err;
    EXPECT_EQ(late.out.find(serials[0]), std::string::npos) << "--topic keeps to one device: " << late.out;
    EXPECT_EQ(publisher.wait(), 0) << publisher.output();
    const Outcome checked = check(file, {"1000", "1", "--subscribed", "--at-least", "500"});
    ASSERT_EQ(checked.status, 0) << checked.out << checked.err;
    // "ok SERIAL N FIRST": the recording begins well after the start.
    std::istringstream fields(checked.out);
    std::string ok, device;
    uint64_t n = 0, first = 0;
    fields >> ok >> device >> n >> first;
    EXPECT_EQ(device, serials[1]);
    EXPECT_GE(first, 1000u) << checked.out;
    std::filesystem::remove(file);
}

TEST(PublishSubscribe, AStalledSubscriberLosesWholeMessagesAndTheOthersNone) {
    // 100 messages a second per device: the steady subscriber has half a
    // second of slack (--hwm 50) for a busy machine, the stalled one stops
    // reading for three.
    SimProcess sim(kSim, {"--rate", "20000", "--block", "200"}, 2);
    const std::vector<std::string> serials = serialsOf(sim);
    const std::string endpoint = "ipc://" + tempPath("stall.sock");
    Background steady({kKelvo, "subscribe", endpoint, "--seconds", "8"}, "steady");
    Background stalled({kPython, kStalled, endpoint, "3", "1.5"}, "stalled");
    std::this_thread::sleep_for(500ms);
    const Outcome published = runProgram({kKelvo, "publish", sim.paths[0], sim.paths[1], "--config",
                                          "CONFigure:DEVice 3", "--bind", endpoint, "--hwm", "50", "--seconds", "5"});
    ASSERT_EQ(published.status, 0) << published.out << published.err;
    EXPECT_EQ(steady.wait(), 0) << steady.output();
    EXPECT_EQ(stalled.wait(), 0) << stalled.output();
    const std::string fine = steady.output();
    for (const std::string &serial : serials) {
        const size_t at = fine.find("kelvo/" + serial);
        ASSERT_NE(at, std::string::npos) << fine;
        EXPECT_EQ(fine.find("lost 0 messages", at), fine.find('\n', at) - std::string("lost 0 messages").size())
            << fine;
    }
    // "kelvo/SERIAL messages M lost L whole"
    std::istringstream lines(stalled.output());
    int devices = 0;
    for (std::string text; std::getline(lines, text);) {
        std::istringstream fields(text);
        std::string topic, word, whole;
        uint64_t messages = 0, lost = 0;
        fields >> topic >> word >> messages >> word >> lost >> whole;
        ASSERT_TRUE(fields) << text;
        ++devices;
        EXPECT_GT(lost, 0u) << "the stall shows as a gap in the sequence: " << text;
        EXPECT_EQ(whole, "whole") << "messages are lost whole, never in part: " << text;
    }
    EXPECT_EQ(devices, 2) << stalled.output();
}

// A publisher made by hand sends a device's samples with a jump in their
// index, the gap message that explains it, two markers and, between them,
// broken gap and marker messages. kelvo subscribe takes the sound ones and
// skips the broken; a subscriber written for data messages alone decodes
// every data message and skips the rest.
TEST(PublishSubscribe, GapAndMarkerMessagesAreTakenBrokenOnesSkippedAndOldSubscribersIgnoreThem) {
    const std::string endpoint = "ipc://" + tempPath("notices.sock");
    const std::string file = tempPath("notices.h5");
    Background publisher({kPython, kNoticePublisher, endpoint, "2"}, "notices");
    Background subscriber({kKelvo, "subscribe", endpoint, "--seconds", "5", "--out", file}, "subscriber");
    Background old({kPython, kVersionOne, endpoint, "5"}, "old");
    ASSERT_EQ(publisher.wait(), 0) << publisher.output();
    ASSERT_EQ(subscriber.wait(), 0) << subscriber.output();
    ASSERT_EQ(old.wait(), 0) << old.output();

    const std::string sent = publisher.output();
    const std::vector<std::string> broken = linesOf(sent, "broken");
    ASSERT_EQ(broken.size(), 1u) << sent;
    const std::string out = subscriber.out();
    EXPECT_NE(out.find("kelvo/HM0001                  3 messages          300 samples"), std::string::npos) << out;
    EXPECT_NE(out.find("  gaps: 1 (2.41 s, 24100 samples, disconnected)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nmarkers: 2\n"), std::string::npos) << out;
    EXPECT_NE(subscriber.err().find(broken[0].substr(7) + " messages not understood"), std::string::npos)
        << subscriber.err() << "\n"
        << sent;

    // The file holds the gap and the markers as they were sent, and the
    // counters jump exactly over the gap.
    const std::string notes = notesInFile(file);
    EXPECT_EQ(linesOf(notes, "gap"), std::vector<std::string>{"gap HM0001 200 24299 5 24100005 24100 disconnected"})
        << notes;
    const std::vector<std::string> markers = linesOf(notes, "marker");
    ASSERT_EQ(markers.size(), 2u) << notes;
    EXPECT_EQ(markers[0], "marker 123456789 api \u0394t ok");
    EXPECT_EQ(markers[1], "marker 223456789 bus " + std::string(4096, 'x'));
    const std::vector<uint32_t> counters = countersThroughTheCApi(file, "HM0001");
    ASSERT_EQ(counters.size(), 300u);
    EXPECT_EQ(counters[199], 199u);
    EXPECT_EQ(counters[200], 24300u);

    // 2 meta documents, the 2 good markers, the good gap and the broken.
    EXPECT_EQ(old.out(), "kelvo/HM0001 messages 3 samples 300 first 0 last 24399\nskipped " +
                             std::to_string(5 + std::stoi(broken[0].substr(7))) + "\n")
        << old.output();
    std::filesystem::remove(file);
}

// Markers put through kelvoCaptureMark reach every kind of subscriber of a
// real publisher: kelvo subscribe counts and records them, the Python
// example decodes them, and a subscriber of data messages alone, written
// for version 1 and given it, is not disturbed.
TEST(PublishSubscribe, MarkersOfTheCaptureLibraryReachEverySubscriber) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string serial = serialOf(sim.paths[0]);
    const std::string endpoint = "ipc://" + tempPath("markers.sock");
    const std::string file = tempPath("markers.h5");
    Background subscriber({kKelvo, "subscribe", endpoint, "--seconds", "6", "--out", file}, "subscriber");
    Background example({kPython, kExample, endpoint, "6"}, "example");
    Background old({kPython, kVersionOne, endpoint, "6"}, "old");
    std::this_thread::sleep_for(500ms);

    std::unique_ptr<kelvoCapture, decltype(&kelvoCaptureDestroy)> capture(kelvoCaptureCreate(), kelvoCaptureDestroy);
    ASSERT_EQ(kelvoCaptureAddDevice(capture.get(), sim.paths[0].c_str()), KELVO_OK);
    ASSERT_EQ(kelvoCaptureAddConfig(capture.get(), "CONFigure:DEVice 3"), KELVO_OK);
    ASSERT_EQ(kelvoCaptureSetPublish(capture.get(), endpoint.c_str(), nullptr, 0), KELVO_OK);
    ASSERT_EQ(kelvoCaptureSetPublishVersion(capture.get(), 1), KELVO_OK);
    ASSERT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    ASSERT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    // A second of samples first: the subscribers reconnect to the bound
    // socket within a tenth of one.
    kelvoCaptureStats stats{};
    for (int i = 0; i < 500 && stats.received < 1000; ++i) {
        std::this_thread::sleep_for(10ms);
        kelvoCaptureGetStats(capture.get(), 0, &stats);
    }
    const int64_t ticks = kelvoGetTicks();
    const std::string texts[] = {"first", "zweite Marke \u00e4", "third"};
    for (int k = 0; k < 3; ++k) EXPECT_EQ(kelvoCaptureMark(capture.get(), texts[k].c_str(), ticks + k), KELVO_OK);
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    capture.reset();

    ASSERT_EQ(subscriber.wait(), 0) << subscriber.output();
    ASSERT_EQ(example.wait(), 0) << example.output();
    ASSERT_EQ(old.wait(), 0) << old.output();
    EXPECT_NE(subscriber.out().find("\nmarkers: 3\n"), std::string::npos) << subscriber.output();
    EXPECT_NE(subscriber.out().find("  gaps: 0\n"), std::string::npos) << subscriber.output();
    EXPECT_EQ(subscriber.err(), "");
    std::vector<std::string> expected;
    for (int k = 0; k < 3; ++k) expected.push_back("marker " + std::to_string(ticks + k) + " api " + texts[k]);
    EXPECT_EQ(linesOf(notesInFile(file), "marker"), expected);
    expected.clear();
    for (int k = 0; k < 3; ++k) {
        expected.push_back("marker ticks " + std::to_string(ticks + k) + " source api text '" + texts[k] + "'");
    }
    EXPECT_EQ(linesOf(example.output(), "marker"), expected) << example.output();

    // "kelvo/SERIAL messages M samples S first F last L", every sample in order.
    std::istringstream fields(old.out());
    std::string topic, word;
    uint64_t messages = 0, samples = 0, first = 0, last = 0, skipped = 0;
    fields >> topic >> word >> messages >> word >> samples >> word >> first >> word >> last >> word >> skipped;
    ASSERT_TRUE(fields) << old.output();
    EXPECT_EQ(topic, "kelvo/" + serial);
    EXPECT_GE(samples, 1000u) << old.output();
    EXPECT_EQ(samples, last - first + 1) << old.output();
    EXPECT_GE(skipped, 3u) << "the markers, and the meta documents: " << old.output();
    std::filesystem::remove(file);
}

// The device is unplugged for a second once both subscribers decode its
// stream, and comes back: the gap message names the very samples the data
// messages' index jumps over, and kelvo subscribe keeps it.
TEST(PublishSubscribe, AReconnectedDevicesGapMessageSpansItsIndexJump) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string serial = serialOf(sim.paths[0]);
    const std::string endpoint = "ipc://" + tempPath("replug.sock");
    const std::string file = tempPath("replug.h5");
    Background subscriber({kKelvo, "subscribe", endpoint, "--seconds", "9", "--out", file}, "subscriber");
    Background example({kPython, kExample, endpoint, "9"}, "example");
    Background publisher({kKelvo, "publish", sim.paths[0], "--config", "CONFigure:DEVice 3", "--bind", endpoint,
                          "--seconds", "6"},
                         "publisher");
    ASSERT_TRUE(publisher.awaitThread("kelvo-sender")) << publisher.output();
    // The meta message, once a second, lets both decode from the next one.
    std::this_thread::sleep_for(2500ms);
    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(kill(sim.pid(), SIGUSR2), 0);
    EXPECT_EQ(publisher.wait(), 0) << publisher.output();
    ASSERT_EQ(subscriber.wait(), 0) << subscriber.output();
    ASSERT_EQ(example.wait(), 0) << example.output();

    // "gap TOPIC first F last L samples N seconds S cause C" against
    // "missing TOPIC first F last L".
    const std::vector<std::string> gaps = linesOf(example.output(), "gap");
    const std::vector<std::string> jumps = linesOf(example.output(), "missing");
    ASSERT_EQ(gaps.size(), 1u) << example.output();
    ASSERT_EQ(jumps.size(), 1u) << example.output();
    const std::string bounds = jumps[0].substr(std::string("missing ").size());
    EXPECT_EQ(gaps[0].rfind("gap " + bounds + " samples ", 0), 0u) << gaps[0] << " against " << jumps[0];
    EXPECT_NE(gaps[0].find(" cause disconnected"), std::string::npos) << gaps[0];

    std::istringstream fields(bounds);
    std::string topic, word;
    int64_t first = 0, last = 0;
    fields >> topic >> word >> first >> word >> last;
    EXPECT_NE(subscriber.out().find(" samples, disconnected)\n"), std::string::npos) << subscriber.output();
    const std::vector<std::string> stored = linesOf(notesInFile(file), "gap");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].rfind("gap " + serial + " " + std::to_string(first) + " " + std::to_string(last) + " ", 0), 0u)
        << stored[0];
    std::filesystem::remove(file);
}

// A subscriber written for version 1 skips the data messages of version 3
// as the format tells it to, and decodes every one once the publisher is
// asked for version 1; no other version is taken.
TEST(PublishSubscribe, WireVersionOneServesSubscribersWrittenForIt) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string endpoint = "ipc://" + tempPath("version.sock");
    const std::vector<std::string> publish = {kKelvo,   "publish", sim.paths[0], "--config", "CONFigure:DEVice 3",
                                              "--bind", endpoint,  "--seconds",  "2"};
    for (const std::string version : {"3", "1"}) {
        Background old({kPython, kVersionOne, endpoint, "4"}, "old");
        std::this_thread::sleep_for(500ms);
        std::vector<std::string> argv = publish;
        argv.insert(argv.end(), {"--wire-version", version});
        const Outcome published = runProgram(argv);
        ASSERT_EQ(published.status, 0) << published.out << published.err;
        ASSERT_EQ(old.wait(), 0) << old.output();
        const std::vector<std::string> decoded = linesOf(old.out(), "kelvo/" + serialOf(sim.paths[0]));
        if (version == "3") {
            EXPECT_TRUE(decoded.empty()) << old.output();
            continue;
        }
        // "kelvo/SERIAL messages M samples S first F last L", every sample in order.
        ASSERT_EQ(decoded.size(), 1u) << old.output();
        std::istringstream fields(decoded[0]);
        std::string topic, word;
        uint64_t messages = 0, samples = 0, first = 0, last = 0;
        fields >> topic >> word >> messages >> word >> samples >> word >> first >> word >> last;
        ASSERT_TRUE(fields) << decoded[0];
        EXPECT_GE(samples, 1000u) << decoded[0];
        EXPECT_EQ(samples, last - first + 1) << decoded[0];
    }
    std::vector<std::string> argv = publish;
    argv.insert(argv.end(), {"--wire-version", "2"});
    const Outcome refused = runProgram(argv);
    EXPECT_EQ(refused.status, 2) << refused.out << refused.err;
    EXPECT_NE(refused.err.find("--wire-version takes 1 or 3"), std::string::npos) << refused.err;
}
