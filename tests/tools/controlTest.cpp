// SPDX-License-Identifier: MIT
// Recordings steered from scripts: a real 'kelvo record' (and publish) on
// simulated devices with --control, driven by 'kelvo control' and by the
// test's own ZeroMQ sockets, its files read back with h5py. Whatever a
// client sends, the capture must lose no sample and keep serving others.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zmq.h>

#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "backgroundProgram.h"
#include "programRunner.h"
#include "toolTesting.h"
#include "zmqSocket.h"

using namespace kelvo::test;
using namespace std::chrono_literals;
using kelvo::recording::ZmqSocket;

namespace {

::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

const std::string kKelvo = KELVO_CLI;
const std::string kSim = KELVO_SIM;
const std::string kPython = KELVO_PYTHON;
const std::string kChainChecker = KELVO_SOURCE_DIR "/tests/tools/checkFileChain.py";
const std::vector<std::string> kLayout = {"--config", "CONFigure:DEVice 3"};
// Far longer than any answer takes on a loaded machine: only a recorder
// that does not answer at all runs into it.
constexpr auto kPatience = 60s;

Json::Value parsed(const std::string &text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        ADD_FAILURE() << "not JSON: " << text;
    }
    return value;
}

// A 'kelvo record' or 'kelvo publish' of the simulated devices, for as long
// as the test lets it run, listening for control on `control`.
class Recorder : public BackgroundProgram {
public:
    Recorder(const std::vector<std::string> &devices, const std::vector<std::string> &sink, const std::string &control)
        : BackgroundProgram(argv(devices, sink, control), tempPath("recorder")) {}

    // Where it says it listens; empty when it never says so.
    std::string endpoint() const {
        const std::regex said("control on (\\S+)\n");
        const auto end = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < end) {
            std::smatch m;
            const std::string text = err();
            if (std::regex_search(text, m, said)) return m[1];
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }
    std::string output() const { return out() + err(); }

private:
    static std::vector<std::string> argv(const std::vector<std::string> &devices, const std::vector<std::string> &sink,
                                         const std::string &control) {
        std::vector<std::string> a = {kKelvo, sink.front()};
        a.insert(a.end(), devices.begin(), devices.end());
        a.insert(a.end(), kLayout.begin(), kLayout.end());
        a.insert(a.end(), sink.begin() + 1, sink.end());
        a.insert(a.end(), {"--seconds", "600", "--control", control});
        return a;
    }
};

Outcome control(const std::string &endpoint, std::vector<std::string> words) {
    words.insert(words.begin(), {kKelvo, "control", endpoint});
    return runProgram(words);
}

// One request on a REQ socket of the test's own, and its answer.
Json::Value ask(const std::string &endpoint, const std::string &request) {
    ZmqSocket socket(ZMQ_REQ);
    socket.setInt(ZMQ_LINGER, 0);
    socket.connect(endpoint);
    EXPECT_TRUE(socket.sendWaiting({{request.data(), request.size()}}));
    std::vector<std::string> frames;
    if (!socket.receive(frames, kPatience)) {
        ADD_FAILURE() << "no answer to " << request.substr(0, 80);
        return {};
    }
    EXPECT_EQ(frames.size(), 1u);
    return parsed(frames.front());
}

Json::Value status(const std::string &endpoint) { return ask(endpoint, R"({"cmd": "status"})"); }

// The samples each device had handed over, by status.
std::vector<uint64_t> received(const Json::Value &status) {
    std::vector<uint64_t> counts;
    for (const Json::Value &d : status["devices"]) counts.push_back(d["received"].asUInt64());
    return counts;
}

// Until every device handed over more than `than`; the status then.
Json::Value statusOnceGrown(const std::string &endpoint, const std::vector<uint64_t> &than) {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    Json::Value now;
    do {
        now = status(endpoint);
        const std::vector<uint64_t> counts = received(now);
        bool grown = counts.size() == than.size();
        for (size_t d = 0; grown && d < counts.size(); ++d) grown = counts[d] > than[d];
        if (grown) return now;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < end);
    ADD_FAILURE() << "the counts did not grow past the last status";
    return now;
}

// "SERIAL ROWS a+b" per device and "marker FILE TICKS SOURCE TEXT" per
// marker, from checkFileChain.py.
Outcome checkChain(const std::vector<std::string> &files) {
    std::vector<std::string> argv = {kPython, kChainChecker};
    argv.insert(argv.end(), files.begin(), files.end());
    return runProgram(argv);
}

// What the summary of a run counts for each device: "samples", "dropped".
std::vector<std::string> summaryCounts(const std::string &out, const std::string &what) {
    std::vector<std::string> counts;
    const std::regex line("  " + what + " +(\\d+)\n");
    for (std::sregex_iterator m(out.begin(), out.end(), line), end; m != end; ++m) counts.push_back((*m)[1]);
    return counts;
}

// A plain TCP connection to the control socket's port, which speaks no
// ZeroMQ at all.
class RawConnection {
public:
    explicit RawConnection(const std::string &endpoint) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1))));
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << endpoint;
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;
    void send(const std::string &bytes) const { (void)!::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

private:
    int fd_;
};

// A DEALER speaks to a REP as a REQ does, an empty frame before the
// request, but need not wait for each answer.
void sendRequest(ZmqSocket &dealer, const std::vector<std::string> &frames) {
    std::vector<std::pair<const void *, size_t>> parts = {{"", 0}};
    for (const std::string &f : frames) parts.emplace_back(f.data(), f.size());
    ASSERT_TRUE(dealer.sendWaiting(parts));
}

Json::Value receiveAnswer(ZmqSocket &dealer) {
    std::vector<std::string> frames;
    if (!dealer.receive(frames, kPatience)) {
        ADD_FAILURE() << "no answer";
        return {};
    }
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames.front(), "");
    return parsed(frames.back());
}

}  // namespace

// status grows, mark lands in /markers, split gives two files that hold the
// run once, stop ends the run with its summary and status 0.
TEST(ControlCommand, EveryCommandSteersARealRecording) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 2);
    const std::string first = tempPath("first.h5");
    const std::string second = tempPath("second.h5");
    Recorder recorder(sim.paths, {"record", "--out", first}, "0");
    const std::string endpoint = recorder.endpoint();
    ASSERT_NE(endpoint, "") << recorder.output();
    EXPECT_EQ(endpoint.rfind("tcp://127.0.0.1:", 0), 0u) << "a bare port listens on the loopback only";

    const Json::Value before = status(endpoint);
    EXPECT_TRUE(before["ok"].asBool()) << before;
    EXPECT_EQ(before["file"].asString(), first);
    ASSERT_EQ(before["devices"].size(), 2u) << before;
    EXPECT_EQ(before["devices"][0]["serial"].asString().rfind("SIM", 0), 0u) << before;
    const Json::Value grown = statusOnceGrown(endpoint, received(before));
    EXPECT_EQ(grown["state"].asString(), "running");
    EXPECT_GT(grown["seconds"].asDouble(), 0.0);
    EXPECT_EQ(grown["devices"][0]["dropped"].asUInt64(), 0u);

    const Outcome text = control(endpoint, {"status"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("state     running\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("file      " + first + "\n"), std::string::npos) << text.out;

    const Outcome marked = control(endpoint, {"mark", "stimulus \"on\", grüß"});
    ASSERT_EQ(marked.status, 0) << marked.out << marked.err;
    std::smatch tick;
    ASSERT_TRUE(std::regex_search(marked.out, tick, std::regex("marked at tick (\\d+)\n"))) << marked.out;
    const Json::Value stamped = ask(endpoint, R"({"cmd": "mark", "text": "stamped", "ticks": 12345})");
    EXPECT_EQ(stamped["ticks"].asInt64(), 12345) << stamped;

    const Outcome split = control(endpoint, {"split", second, "--json"});
    ASSERT_EQ(split.status, 0) << split.out << split.err;
    const Json::Value splitAnswer = parsed(split.out);
    EXPECT_EQ(splitAnswer["closed"].asString(), first) << split.out;
    EXPECT_EQ(splitAnswer["file"].asString(), second) << split.out;
    const Json::Value after = status(endpoint);
    EXPECT_EQ(after["file"].asString(), second) << after;
    EXPECT_EQ(after["markers"]["received"].asUInt64(), 2u) << after;
    statusOnceGrown(endpoint, received(after));

    const Outcome stopped = control(endpoint, {"stop"});
    EXPECT_EQ(stopped.status, 0) << stopped.out << stopped.err;
    EXPECT_EQ(stopped.out, "stopping (the run was running)\n");
    ASSERT_EQ(recorder.wait(kPatience), 0) << recorder.output();
    const std::string summary = recorder.out();
    EXPECT_NE(summary.find("markers           2 recorded\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("written to " + first + " and, split on command, on to " + second + "\n"), std::string::npos)
        << summary;

    const Outcome chain = checkChain({first, second});
    ASSERT_EQ(chain.status, 0) << chain.out << chain.err;
    // Every sample the run counted is in the two files, once.
    const std::vector<std::string> samples = summaryCounts(summary, "samples");
    ASSERT_EQ(samples.size(), 2u) << summary;
    std::istringstream lines(chain.out);
    for (const std::string &count : samples) {
        std::string device, rows, parts;
        lines >> device >> rows >> parts;
        EXPECT_EQ(rows, count) << chain.out << summary;
    }
    EXPECT_NE(chain.out.find("marker " + first + " " + tick[1].str() + " control stimulus \"on\", grüß\n"),
              std::string::npos)
        << chain.out;
    EXPECT_NE(chain.out.find("marker " + first + " 12345 control stamped\n"), std::string::npos) << chain.out;
    for (const std::string &file : {first, second}) std::filesystem::remove(file);
}

// Each kind of request that is not a command gets {"ok": false} with its
// reason and is counted; so is a split the recording cannot do, which
// leaves the current file going on. kelvo control's exit statuses follow.
TEST(ControlCommand, EveryMalformedOrImpossibleRequestIsRefusedWithItsReasonAndCounted) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string file = tempPath("refusals.h5");
    const int port = freeTcpPort();
    Recorder recorder(sim.paths, {"record", "--out", file}, std::to_string(port));
    const std::string endpoint = recorder.endpoint();
    ASSERT_EQ(endpoint, "tcp://127.0.0.1:" + std::to_string(port)) << recorder.output();

    struct Case {
        std::vector<std::string> frames;
        std::string error;
    };
    const std::string deep = std::string(1000, '[') + std::string(1000, ']');
    const std::vector<Case> cases = {
        {{"status"}, "not a JSON document"},
        {{""}, "not a JSON document"},
        {{R"({"cmd": "status"} trailing)"}, "not a JSON document"},
        {{"[1, 2]"}, "a command is a JSON object"},
        {{deep}, "nested deeper"},
        {{R"({"cmd": "fly"})"}, "unknown cmd 'fly'"},
        {{R"({"cmd": 5})"}, "'cmd' must be a string"},
        {{R"({"text": "no cmd"})"}, "'cmd' must be a string"},
        {{R"({"cmd": "status", "verbose": true})"}, "takes no member 'verbose'"},
        {{R"({"cmd": "mark"})"}, "'text' must be a string"},
        {{R"({"cmd": "mark", "text": 7})"}, "'text' must be a string"},
        {{R"({"cmd": "mark", "text": "x", "ticks": -1})"}, "'ticks' must be a whole number"},
        {{R"({"cmd": "mark", "text": "x", "ticks": "soon"})"}, "'ticks' must be a whole number"},
        {{"{\"cmd\": \"mark\", \"text\": \"\xff\xfe\"}"}, "not valid UTF-8"},
        {{R"({"cmd": "mark", "text": "a\u0000b"})"}, "NUL"},
        {{R"({"cmd": "mark", "text": ")" + std::string(5000, 'x') + "\"}"}, "over the limit of 4096"},
        {{R"({"cmd": "split"})"}, "'path' must be a string"},
        {{R"({"cmd": "split", "path": ""})"}, "'path' is empty"},
        {{R"({"cmd": "split", "path": "/nonexistent-folder/next.h5"})"}, "cannot create /nonexistent-folder"},
        {{R"({"cmd": "split", "path": ")" + file + "\"}"}, "is a file of this recording already"},
        {{R"({"cmd": "mark", "text": ")" + std::string(70000, 'x') + "\"}"}, "at most 65536 bytes"},
        {{R"({"cmd": "status"})", "second frame"}, "one frame; this one has 2"},
        {{"", "", ""}, "one frame; this one has 3"},
    };
    ZmqSocket dealer(ZMQ_DEALER);
    dealer.setInt(ZMQ_LINGER, 0);
    dealer.connect(endpoint);
    for (const Case &c : cases) {
        sendRequest(dealer, c.frames);
        const Json::Value answer = receiveAnswer(dealer);
        EXPECT_FALSE(answer["ok"].asBool()) << c.frames.front().substr(0, 80);
        EXPECT_NE(answer["error"].asString().find(c.error), std::string::npos)
            << c.frames.front().substr(0, 80) << ": " << answer;
    }
    const Json::Value counted = status(endpoint);
    EXPECT_EQ(counted["refused"].asUInt64(), cases.size()) << counted;
    EXPECT_EQ(counted["state"].asString(), "running") << counted;
    EXPECT_EQ(counted["file"].asString(), file) << "a refused split leaves the file going on";
    EXPECT_EQ(counted["markers"]["received"].asUInt64(), 0u) << counted;
    EXPECT_FALSE(std::filesystem::exists("/nonexistent-folder"));

    const Outcome refused = control(endpoint, {"split", file});
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_EQ(refused.err, "kelvo: the recorder refused: " + file + " is a file of this recording already\n");
    const Outcome refusedJson = control(endpoint, {"split", file, "--json"});
    EXPECT_EQ(refusedJson.status, 1) << refusedJson.out << refusedJson.err;
    EXPECT_FALSE(parsed(refusedJson.out)["ok"].asBool()) << "the answer as it came: " << refusedJson.out;
    for (const std::vector<std::string> &usage : std::vector<std::vector<std::string>>{
             {}, {"fly"}, {"mark"}, {"mark", ""}, {"split"}, {"status", "now"}, {"stop", "x"}}) {
        const Outcome o = control(endpoint, usage);
        EXPECT_EQ(o.status, 2) << o.out << o.err;
    }
    const Outcome nobody = control("tcp://127.0.0.1:" + std::to_string(freeTcpPort()), {"status", "--timeout", "300"});
    EXPECT_EQ(nobody.status, 1) << nobody.out << nobody.err;
    EXPECT_NE(nobody.err.find("no answer within 300 ms"), std::string::npos) << nobody.err;

    EXPECT_EQ(control(endpoint, {"stop"}).status, 0);
    ASSERT_EQ(recorder.wait(kPatience), 0) << recorder.output();
    EXPECT_EQ(summaryCounts(recorder.out(), "dropped"), std::vector<std::string>{"0"}) << recorder.output();
    EXPECT_EQ(checkChain({file}).status, 0);
    std::filesystem::remove(file);
}

// A publishing run takes every command but split, which it cannot do.
TEST(ControlCommand, APublishingRunIsSteeredButHasNoFileToSplit) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string socketPath = tempPath("control.sock");
    Recorder recorder(sim.paths, {"publish", "--bind", "tcp://127.0.0.1:" + std::to_string(freeTcpPort())},
                      "ipc://" + socketPath);
    const std::string endpoint = recorder.endpoint();
    ASSERT_EQ(endpoint, "ipc://" + socketPath) << recorder.output();
    const Json::Value answer = status(endpoint);
    EXPECT_TRUE(answer["file"].isNull()) << answer;
    const Outcome split = control(endpoint, {"split", tempPath("never.h5")});
    EXPECT_EQ(split.status, 1);
    EXPECT_NE(split.err.find("records no HDF5 file"), std::string::npos) << split.err;
    EXPECT_FALSE(std::filesystem::exists(tempPath("never.h5")));
    EXPECT_EQ(control(endpoint, {"mark", "published"}).status, 0);
    EXPECT_EQ(control(endpoint, {"stop"}).status, 0);
    ASSERT_EQ(recorder.wait(kPatience), 0) << recorder.output();
    EXPECT_NE(recorder.out().find("markers           1 recorded\n"), std::string::npos) << recorder.output();
}

// Clients that connect and say nothing, speak no ZeroMQ, or never read
// their answers: another is served all the same, and the capture goes on.
TEST(ControlCommand, SilentAndDeafClientsHoldNoOtherUp) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"}, 1);
    const std::string file = tempPath("silent.h5");
    Recorder recorder(sim.paths, {"record", "--out", file}, "0");
    const std::string endpoint = recorder.endpoint();
    ASSERT_NE(endpoint, "") << recorder.output();

    RawConnection silent(endpoint);
    RawConnection halfGreeting(endpoint);
    halfGreeting.send(std::string("\xff\0\0\0\0\0\0\0", 8));
    ZmqSocket quiet(ZMQ_DEALER);
    quiet.setInt(ZMQ_LINGER, 0);
    quiet.connect(endpoint);
    ZmqSocket deaf(ZMQ_REQ);
    deaf.setInt(ZMQ_LINGER, 0);
    deaf.connect(endpoint);
    const std::string request = R"({"cmd": "status"})";
    ASSERT_TRUE(deaf.sendWaiting({{request.data(), request.size()}}));
    ZmqSocket flooding(ZMQ_DEALER);
    flooding.setInt(ZMQ_LINGER, 0);
    flooding.connect(endpoint);
    for (int k = 0; k < 2000; ++k) sendRequest(flooding, {request});

    std::vector<uint64_t> counts = received(status(endpoint));
    for (int round = 0; round < 3; ++round) {
        const Outcome o = control(endpoint, {"status", "--json"});
        ASSERT_EQ(o.status, 0) << o.out << o.err;
        counts = received(statusOnceGrown(endpoint, counts));
    }
    EXPECT_EQ(control(endpoint, {"stop"}).status, 0);
    ASSERT_EQ(recorder.wait(kPatience), 0) << recorder.output();
    EXPECT_EQ(checkChain({file}).status, 0);
    std::filesystem::remove(file);
}

// Random frames, many and of random sizes, valid requests with bytes
// changed, and bytes that are no ZeroMQ at all: every one that reaches the
// socket as a request is answered (refused, unless the change left a
// command), counted exactly, and the capture loses nothing.
TEST(ControlCommand, FuzzedFramesAreAnsweredAndCountedAndTheCaptureLosesNothing) {
    SimProcess sim(kSim, {"--rate", "2000", "--block", "50"}, 2);
    const std::string file = tempPath("fuzzed.h5");
    Recorder recorder(sim.paths, {"record", "--out", file}, "0");
    const std::string endpoint = recorder.endpoint();
    ASSERT_NE(endpoint, "") << recorder.output();

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    const auto bytes = [&](size_t n) {
        std::string b(n, '\0');
        for (char &c : b) c = static_cast<char>(below(256));
        return b;
    };
    const std::string seeds[] = {R"({"cmd": "status"})", R"({"cmd": "mark", "text": "fuzz", "ticks": 42})"};
    const auto frame = [&] {
        switch (below(4)) {
            case 0: {  // a command with bytes changed
                std::string f = seeds[below(2)];
                for (size_t k = 1 + below(3); k > 0; --k) f[below(f.size())] = static_cast<char>(below(256));
                return f;
            }
            case 1: return bytes(below(64));
            case 2: return bytes(below(4096));
            default: return bytes(below(100) < 3 ? 60000 + below(10000) : below(600));
        }
    };

    ZmqSocket dealer(ZMQ_DEALER);
    dealer.setInt(ZMQ_LINGER, 0);
    dealer.connect(endpoint);
    uint64_t refusals = 0;
    uint64_t marks = 0;
    for (int batch = 0; batch < 30; ++batch) {
        for (int k = 0; k < 100; ++k) {
            std::vector<std::string> frames(below(10) < 8 ? 1 : 2 + below(4));
            for (std::string &f : frames) f = frame();
            sendRequest(dealer, frames);
        }
        for (int k = 0; k < 100; ++k) {
            const Json::Value answer = receiveAnswer(dealer);
            ASSERT_TRUE(answer.isObject() && answer["ok"].isBool()) << answer;
            if (!answer["ok"].asBool()) {
                ++refusals;
                EXPECT_TRUE(answer["error"].isString()) << answer;
            } else if (answer.isMember("ticks")) {
                ++marks;
            }
        }
    }
    const Json::Value counted = status(endpoint);
    EXPECT_EQ(counted["refused"].asUInt64(), refusals) << counted;

    // Bytes that are not ZeroMQ to the same port, which an old ZeroMQ peer's
    // framing may read as anything; messages without the envelope a REQ
    // gives them, which are no requests; and one over 1 MiB, which costs
    // its sender the connection. None of them may hold up the others.
    for (int k = 0; k < 30; ++k) {
        RawConnection garbage(endpoint);
        garbage.send(bytes(below(2000)));
        ZmqSocket bare(ZMQ_DEALER);
        bare.setInt(ZMQ_LINGER, 200);
        bare.connect(endpoint);
        const std::string noEnvelope = frame();
        ASSERT_TRUE(bare.sendWaiting({{noEnvelope.data(), noEnvelope.size()}}));
        sendRequest(dealer, {R"({"cmd": "status"})"});
        EXPECT_TRUE(receiveAnswer(dealer)["ok"].asBool());
    }
    ZmqSocket huge(ZMQ_DEALER);
    huge.setInt(ZMQ_LINGER, 1000);
    huge.connect(endpoint);
    sendRequest(huge, {bytes(2 << 20)});

    const Json::Value after = status(endpoint);
    EXPECT_EQ(after["state"].asString(), "running") << after;
    statusOnceGrown(endpoint, received(after));
    EXPECT_EQ(control(endpoint, {"stop"}).status, 0);
    ASSERT_EQ(recorder.wait(kPatience), 0) << "exit 3 would be samples dropped: " << recorder.output();
    const std::string summary = recorder.out();
    EXPECT_EQ(summaryCounts(summary, "dropped"), (std::vector<std::string>{"0", "0"})) << summary;
    std::smatch recorded;
    const bool any = std::regex_search(summary, recorded, std::regex("markers +(\\d+) recorded\n"));
    EXPECT_EQ(any ? std::stoull(recorded[1]) : 0, marks) << "every mark answered ok is in the recording: " << summary;
    const Outcome chain = checkChain({file});
    EXPECT_EQ(chain.status, 0) << chain.out << chain.err;
    std::filesystem::remove(file);
}
