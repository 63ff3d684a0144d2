// SPDX-License-Identifier: MIT
// Publishers on other machines' clocks: each `kelvo publish` runs in a time
// namespace (its CLOCK_MONOTONIC_RAW offset by a known amount, as a second
// host's would be) and `kelvo subscribe` records them all on its own clock.
// The truth is the namespaces' offsets and the simulators' truth logs; the
// simulators run beside the subscriber, so their logs are on its clock.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "programRunner.h"
#include "toolTesting.h"

using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;
const std::string kPython = KELVO_PYTHON;
const std::string kUnshare = "/usr/bin/unshare";
const std::string kChecker = KELVO_SOURCE_DIR "/tests/tools/checkTimeAxis.py";

bool timeNamespacesWork() { return runProgram({kUnshare, "--time", "--monotonic", "1", "/bin/true"}).status == 0; }

// `argv` in a time namespace whose monotonic clocks run `seconds` ahead.
std::vector<std::string> inTimeNamespace(int seconds, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {kUnshare, "--time", "--monotonic", std::to_string(seconds), "--"});
    return argv;
}

// Sends one single-frame marker to each endpoint back to back: each
// publisher times it as it arrives, so the markers are of one moment.
// Returns when they were sent, in ticks of this machine.
int64_t markAtOnce(const std::vector<std::string> &endpoints, const std::string &text) {
    std::vector<std::string> argv = {kPython, "-c", R"(
import sys, time, zmq
context = zmq.Context()
sockets = []
for endpoint in sys.argv[2:]:
    s = context.socket(zmq.PUSH)
    s.setsockopt(zmq.LINGER, 2000)
    s.connect(endpoint)
    sockets.append(s)
for s in sockets:
    s.poll(2000, zmq.POLLOUT)
print(time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 100)
for s in sockets:
    s.send(sys.argv[1].encode())
# A context left to the interpreter's exit may drop what is still queued.
for s in sockets:
    s.close(linger=5000)
context.term()
)",
                                     text};
    argv.insert(argv.end(), endpoints.begin(), endpoints.end());
    const Outcome sent = runProgram(argv);
    EXPECT_EQ(sent.status, 0) << sent.err;
    return std::stoll(sent.out);
}

struct Publisher {
    int offsetSeconds;
    std::string endpoint;
    std::string markers;
    std::string truth;
};

// Two publishers a second machine's clock apart each (+1000 s and -500 s),
// three devices, one subscriber recording all of them for a minute: every
// device's samples on the subscriber's time axis where the truth puts them,
// every clock estimate within a millisecond of the namespace's offset from
// the first ones (10 s) to the last (60 s), the drift near zero, and a
// marker sent to both publishers at one moment at one time in the file.
// The machine is loaded: two publishers, a subscriber and two simulators
// share its two cores with whatever ctest runs beside.
TEST(NetworkClocks, TwoPublishersInOtherTimeNamespacesRecordOnTheSubscribersTimeAxis) {
    if (!timeNamespacesWork()) GTEST_SKIP() << "unshare --time is not permitted here";
    std::vector<Publisher> publishers = {{1000, "", "", tempPath("truth-a.log")},
                                         {-500, "", "", tempPath("truth-b.log")}};
    SimProcess simA(kSim, {"--rate", "1000", "--block", "50", "--truth", publishers[0].truth}, 2);
    SimProcess simB(kSim, {"--rate", "2000", "--block", "100", "--truth", publishers[1].truth}, 1);
    const std::vector<std::vector<std::string>> paths = {simA.paths, simB.paths};
    std::vector<std::unique_ptr<Background>> running;
    std::vector<std::string> truthOptions, offsetOptions;
    for (size_t k = 0; k < publishers.size(); ++k) {
        Publisher &p = publishers[k];
        p.endpoint = "tcp://127.0.0.1:" + std::to_string(freeTcpPortPair());
        p.markers = "tcp://127.0.0.1:" + std::to_string(freeTcpPort());
        std::vector<std::string> argv = {kKelvo, "publish"};
        argv.insert(argv.end(), paths[k].begin(), paths[k].end());
        argv.insert(argv.end(), {"--config", "CONFigure:DEVice 0,2,1", "--bind", p.endpoint, "--markers", p.markers,
                                 "--seconds", "70"});
        running.push_back(
            std::make_unique<Background>(inTimeNamespace(p.offsetSeconds, argv), "publisher" + std::to_string(k)));
        // A simulator with several devices logs each one's truth to LOG.N.
        for (size_t d = 0; d < paths[k].size(); ++d) {
            const std::string log = paths[k].size() > 1 ? p.truth + "." + std::to_string(d + 1) : p.truth;
            truthOptions.insert(truthOptions.end(), {"--truth", paths[k][d] + "=" + log});
        }
        offsetOptions.insert(offsetOptions.end(), {"--offset", p.endpoint + "=" + std::to_string(p.offsetSeconds)});
    }
    for (const auto &publisher : running) ASSERT_TRUE(publisher->awaitThread("kelvo-sender")) << publisher->output();

    const std::string file = tempPath("two-publishers.h5");
    Background subscriber({kKelvo, "subscribe", publishers[0].endpoint, publishers[1].endpoint, "--seconds", "62",
                           "--json", "--out", file},
                          "subscriber");
    std::this_thread::sleep_for(20s);  // well into the run, and before its end
    const int64_t markedAt = markAtOnce({publishers[0].markers, publishers[1].markers}, "one moment");
    ASSERT_EQ(subscriber.wait(), 0) << subscriber.output();
    for (const auto &publisher : running) EXPECT_EQ(publisher->wait(), 0) << publisher->output();

    const std::string summary = tempPath("summary.json");
    std::ofstream(summary) << subscriber.out();
    std::vector<std::string> argv = {
        kPython,     kChecker, file, "--same-marker", "one moment", "--sent-ticks", std::to_string(markedAt),
        "--summary", summary};
    argv.insert(argv.end(), truthOptions.begin(), truthOptions.end());
    argv.insert(argv.end(), offsetOptions.begin(), offsetOptions.end());
    const Outcome checked = runProgram(argv);
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err << subscriber.output();
    std::printf("%s", checked.out.c_str());
    for (const std::string &path :
         {file, summary, publishers[0].truth + ".1", publishers[0].truth + ".2", publishers[1].truth}) {
        std::filesystem::remove(path);
    }
}

}  // namespace
