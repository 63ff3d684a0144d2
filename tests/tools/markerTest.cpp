// SPDX-License-Identifier: MIT
// Markers from other programs into kelvo record: 'kelvo mark' over the
// message bus (a real kelvo-busd) and 'kelvo mark --to' over ZeroMQ (tcp on
// 127.0.0.1 and ipc), with simulated devices on pseudo-terminals that log
// when they measured each sample. The recording must hold every marker
// once, in order, at the very tick it was sent with, placed within a sample
// of the one truly nearest; whatever cannot be a marker is counted, never
// kept and never fatal.
#include <gtest/gtest.h>
#include <zmq.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "backgroundProgram.h"
#include "busHarness.h"
#include "kelvo.h"
#include "programRunner.h"
#include "toolTesting.h"
#include "zmqSocket.h"

using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;
const std::string kPython = KELVO_PYTHON;
const std::string kChecker = KELVO_SOURCE_DIR "/tests/tools/checkMarkers.py";
const std::vector<std::string> kLayout = {"--config", "CONFigure:DEVice 3"};

// A marker as the recording must hold it; a range of ticks for one timed
// at its arrival.
struct Expected {
    int64_t ticks = 0;
    int64_t latest = 0;  // 0: exactly `ticks`
    std::string text;
    std::string source;
};

std::string jsonText(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The recording's markers against `expected`, and, for the devices with a
// truth log, their marker_index against the truth.
Outcome checkMarkers(const std::string &file, const std::vector<Expected> &expected,
                     const std::vector<std::string> &truths) {
    const std::string list = tempPath("expected.json");
    {
        std::ofstream out(list);
        out << "[";
        for (size_t i = 0; i < expected.size(); ++i) {
            const Expected &e = expected[i];
            const std::string ticks = e.latest == 0
                                          ? std::to_string(e.ticks)
                                          : "[" + std::to_string(e.ticks) + "," + std::to_string(e.latest) + "]";
            out << (i == 0 ? "" : ",") << "[" << ticks << "," << jsonText(e.text) << "," << jsonText(e.source) << "]";
        }
        out << "]";
    }
    std::vector<std::string> argv = {kPython, kChecker, file, list};
    for (const std::string &t : truths) argv.insert(argv.end(), {"--truth", t});
    Outcome o = runProgram(argv);
    std::filesystem::remove(list);
    return o;
}

// The tick 'kelvo mark' says it sent.
int64_t sentTick(const Outcome &o) {
    std::smatch m;
    if (!std::regex_search(o.out, m, std::regex("marked at tick (\\d+)"))) return -1;
    return std::stoll(m[1]);
}

class Recording : public BackgroundProgram {
public:
    Recording(const std::string &device, const std::string &file, const std::string &markers)
        : BackgroundProgram(argv(device, file, markers), tempPath("record")) {}
    // Ends the run as Ctrl-C does; its exit status.
    int interrupt() {
        signal(SIGINT);
        return wait(60s);
    }
    std::string output() const { return out() + err(); }

private:
    static std::vector<std::string> argv(const std::string &device, const std::string &file,
                                         const std::string &markers) {
        std::vector<std::string> a = {kKelvo, "record", device};
        a.insert(a.end(), kLayout.begin(), kLayout.end());
        a.insert(a.end(), {"--seconds", "600", "--out", file, "--markers", markers});
        return a;
    }
};

Outcome record(const std::string &device, const std::string &file, const std::string &markers) {
    std::vector<std::string> a = {kKelvo, "record", device};
    a.insert(a.end(), kLayout.begin(), kLayout.end());
    a.insert(a.end(), {"--seconds", "1", "--out", file, "--markers", markers});
    return runProgram(a);
}

// Waits until the truth log holds a block measured after `ticks`.
bool awaitTruthBeyond(const std::string &truth, int64_t ticks) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::ifstream log(truth);
        std::string line;
        int64_t last = 0;
        while (std::getline(log, line)) {
            std::istringstream fields(line);
            uint64_t index = 0;
            if (!line.empty() && line.front() != '#' && fields >> index >> last && last > ticks) return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string littleEndian(int64_t ticks) {
    std::string bytes(8, '\0');
    for (size_t k = 0; k < 8; ++k) bytes[k] = static_cast<char>(static_cast<uint64_t>(ticks) >> (8 * k));
    return bytes;
}

void sendFrames(kelvo::recording::ZmqSocket &socket, const std::vector<std::string> &frames) {
    std::vector<std::pair<const void *, size_t>> parts;
    for (const std::string &f : frames) parts.emplace_back(f.data(), f.size());
    ASSERT_TRUE(socket.sendWaiting(parts));
}

}  // namespace

// The bus announcement is machine-wide: these tests run alone (RUN_SERIAL).
TEST(BusMarkers, EachMarkOfAnotherProgramIsRecordedOnceInOrderAtItsSendStamp) {
    bustest::AnnouncementGuard announcement;
    bustest::Server busd;
    const std::string truth = tempPath("bus-truth.log");
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50", "--truth", truth}, 1);
    const std::string file = tempPath("bus.h5");
    Recording run(sim.paths[0], file, "bus");
    ASSERT_TRUE(run.awaitThread("kelvo-writer")) << run.output();

    std::vector<Expected> sent;
    for (const std::string text : {"stimulus on", "zwei Grüße, \"quoted\"", "stimulus off"}) {
        const Outcome o = runProgram({kKelvo, "mark", text});
        ASSERT_EQ(o.status, 0) << o.out << o.err;
        sent.push_back({sentTick(o), 0, text, "bus"});
        ASSERT_GT(sent.back().ticks, 0) << o.out;
    }
    ASSERT_EQ(run.interrupt(), 0) << run.output();
    EXPECT_NE(run.out().find("markers           3 recorded\n"), std::string::npos) << run.output();

    const Outcome checked = checkMarkers(file, sent, {sim.paths[0] + "=" + truth});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_NE(checked.out.find(" 3 of 3\n"), std::string::npos) << checked.out;
    // The master's place went with the run.
    const Outcome late = runProgram({kKelvo, "mark", "after the end"});
    EXPECT_EQ(late.status, 1) << late.out << late.err;
    EXPECT_NE(late.err.find("no master on the message bus"), std::string::npos) << late.err;
    for (const std::string &path : {file, truth}) std::filesystem::remove(path);
}

TEST(BusMarkers, NoBusOrATakenMastersPlaceIsRefusedWithTheReasonAndNoFile) {
    bustest::AnnouncementGuard announcement;
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::string file = tempPath("refused.h5");

    const Outcome noBus = record(sim.paths[0], file, "bus");
    EXPECT_EQ(noBus.status, 1) << noBus.out << noBus.err;
    EXPECT_NE(noBus.err.find("kelvo-busd is not running"), std::string::npos) << noBus.err;
    EXPECT_FALSE(std::filesystem::exists(file));
    const Outcome markWithoutBus = runProgram({kKelvo, "mark", "nobody listens"});
    EXPECT_EQ(markWithoutBus.status, 1) << markWithoutBus.out << markWithoutBus.err;
    EXPECT_NE(markWithoutBus.err.find("kelvo-busd is not running"), std::string::npos) << markWithoutBus.err;

    bustest::Server busd;
    const Outcome noMaster = runProgram({kKelvo, "mark", "nobody records"});
    EXPECT_EQ(noMaster.status, 1) << noMaster.out << noMaster.err;
    EXPECT_NE(noMaster.err.find("no master on the message bus"), std::string::npos) << noMaster.err;
    const Outcome tooLong = runProgram({kKelvo, "mark", std::string(300, 'x')});
    EXPECT_EQ(tooLong.status, 2) << tooLong.err;
    EXPECT_NE(tooLong.err.find("at most 255 bytes"), std::string::npos) << tooLong.err;

    const std::string first = tempPath("master.h5");
    Recording master(sim.paths[0], first, "bus");
    ASSERT_TRUE(master.awaitThread("kelvo-writer")) << master.output();
    const Outcome second = record(sim.paths[1], file, "bus");
    EXPECT_EQ(second.status, 1) << second.out << second.err;
    EXPECT_NE(second.err.find("the message bus has a master already"), std::string::npos) << second.err;
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(master.interrupt(), 0) << master.output();
    std::filesystem::remove(first);
}

// 'kelvo mark --to' first; then, on one connection of the test's own (so
// their order holds), messages that cannot be markers between good ones of
// one and two frames.
TEST(ZmqMarkers, MarksAndGoodMessagesAreRecordedExactlyAndEveryMalformedOneIsCounted) {
    const std::string endpoints[] = {"tcp://127.0.0.1:" + std::to_string(freeTcpPort()),
                                     "ipc://" + tempPath("marks.sock")};
    for (const std::string &endpoint : endpoints) {
        const std::string truth = tempPath("zmq-truth.log");
        SimProcess sim(kSim, {"--rate", "1000", "--block", "50", "--truth", truth}, 1);
        const std::string file = tempPath("zmq.h5");
        Recording run(sim.paths[0], file, endpoint);
        ASSERT_TRUE(run.awaitThread("kelvo-writer")) << run.output();

        std::vector<Expected> sent;
        for (const std::string text : {"first", "second, ü"}) {
            const Outcome o = runProgram({kKelvo, "mark", "--to", endpoint, text});
            ASSERT_EQ(o.status, 0) << endpoint << ": " << o.out << o.err;
            sent.push_back({sentTick(o), 0, text, "zmq"});
        }
        const Outcome tooLong = runProgram({kKelvo, "mark", "--to", endpoint, std::string(5000, 'x')});
        EXPECT_EQ(tooLong.status, 2) << tooLong.err;
        {
            kelvo::recording::ZmqSocket push(ZMQ_PUSH);
            push.setInt(ZMQ_LINGER, 5000);
            push.connect(endpoint);
            sendFrames(push, {"three", "frames", "here"});
            sendFrames(push, {"short stamp", std::string(7, '\1')});
            sendFrames(push, {"long stamp", std::string(9, '\1')});
            sendFrames(push, {"tick zero", littleEndian(0)});
            sendFrames(push, {"\xff\xfe not UTF-8"});
            sendFrames(push, {"\xc0\xaf overlong"});
            sendFrames(push, {std::string("a NUL\0inside", 12)});
            sendFrames(push, {std::string(1 << 20, 'm')});
            sendFrames(push, {"a time of its own", littleEndian(123456789)});
            const int64_t before = kelvoGetTicks();
            sendFrames(push, {"timed on arrival"});
            sent.push_back({123456789, 0, "a time of its own", "zmq"});
            sent.push_back({before, 0, "timed on arrival", "zmq"});
        }
        // The socket closed once it had sent everything.
        const int64_t after = kelvoGetTicks();
        // The last marker lies inside the logged samples only once a block
        // measured after it was logged.
        ASSERT_TRUE(awaitTruthBeyond(truth, after)) << truth;
        ASSERT_EQ(run.interrupt(), 0) << endpoint << ": " << run.output();
        sent.back().latest = kelvoGetTicks();
        EXPECT_GT(sent.back().latest, after);
        EXPECT_NE(run.out().find("markers           4 recorded, 8 dropped\n"), std::string::npos)
            << endpoint << ": " << run.output();

        // The marker at tick 123456789 lies before the run: the other three
        // are placed against the truth.
        const Outcome checked = checkMarkers(file, sent, {sim.paths[0] + "=" + truth});
        EXPECT_EQ(checked.status, 0) << endpoint << ": " << checked.out << checked.err;
        EXPECT_NE(checked.out.find(" 3 of 4\n"), std::string::npos) << checked.out;
        for (const std::string &path : {file, truth}) std::filesystem::remove(path);
    }
}

TEST(ZmqMarkers, AnEndpointInUseIsRefusedNamingItAndLeavesNoFile) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(freeTcpPort());
    kelvo::recording::ZmqSocket holder(ZMQ_PULL);
    holder.bind(endpoint);
    const std::string file = tempPath("in-use.h5");
    const Outcome o = record(sim.paths[0], file, endpoint);
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    EXPECT_NE(o.err.find(endpoint + ": Address already in use"), std::string::npos) << o.err;
    EXPECT_FALSE(std::filesystem::exists(file));
    const Outcome published =
        runProgram({kKelvo, "publish", sim.paths[0], kLayout[0], kLayout[1], "--bind",
                    "tcp://127.0.0.1:" + std::to_string(freeTcpPort()), "--seconds", "1", "--markers", endpoint});
    EXPECT_EQ(published.status, 1) << published.out << published.err;
    EXPECT_NE(published.err.find(endpoint + ": Address already in use"), std::string::npos) << published.err;
    const Outcome nobody =
        runProgram({kKelvo, "mark", "--to", "tcp://127.0.0.1:" + std::to_string(freeTcpPort()), "x"});
    EXPECT_EQ(nobody.status, 1) << nobody.out << nobody.err;
    EXPECT_NE(nobody.err.find("nothing took the marker"), std::string::npos) << nobody.err;
}
