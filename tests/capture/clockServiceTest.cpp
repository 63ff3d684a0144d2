// SPDX-License-Identifier: MIT
// The time service and its tracker over real ZeroMQ sockets: in one
// process (the same clock: an offset of 0), against hostile peers, and
// across a time namespace, where the truth is exactly the namespace's
// offset, the physical clock being the same.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "clockService.h"
#include "clockTracker.h"
#include "kelvo.h"
#include "timeProtocol.h"
#include "zmqSocket.h"

using namespace kelvo::recording;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kSecond = 10'000'000;  // ticks

// Waits, for what happens on another thread, far longer than it takes.
template <class Done>
bool eventually(Done done, std::chrono::seconds patience = 30s) {
    const auto end = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool runsThread(const std::string &name) {
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) return true;
    }
    return false;
}

// A DEALER of the test's own, to send what it likes.
struct Peer {
    explicit Peer(const std::string &endpoint) : socket(ZMQ_DEALER) {
        socket.setInt(ZMQ_LINGER, 0);
        socket.connect(endpoint);
    }
    void send(const std::vector<std::string> &frames) {
        std::vector<std::pair<const void *, size_t>> parts;
        for (const auto &f : frames) parts.emplace_back(f.data(), f.size());
        ASSERT_TRUE(socket.sendWaiting(parts));
    }
    // A good request answered: its reply, checked.
    void expectAnswered(uint64_t id) {
        const auto request = encodeRequest({id, kelvoGetTicks()});
        send({std::string(reinterpret_cast<const char *>(request.data()), request.size())});
        std::vector<std::string> frames;
        ASSERT_TRUE(socket.receive(frames, 30s)) << "no reply";
        ASSERT_EQ(frames.size(), 1u);
        const auto reply = decodeReply(frames[0].data(), frames[0].size());
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->id, id);
    }
    ZmqSocket socket;
};

std::string requestFrame(uint64_t id) {
    const auto frame = encodeRequest({id, kelvoGetTicks()});
    return std::string(reinterpret_cast<const char *>(frame.data()), frame.size());
}

// The port of "tcp://127.0.0.1:PORT".
int portOf(const std::string &endpoint) { return std::stoi(endpoint.substr(endpoint.rfind(':') + 1)); }

// The service alone (clockServer) in a time namespace whose monotonic
// clocks run `offsetSeconds` ahead; it serves until the pipe to it closes.
class ServerInNamespace {
public:
    ServerInNamespace(long offsetSeconds) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            const std::string offset = std::to_string(offsetSeconds);
            execlp("unshare", "unshare", "--time", "--monotonic", offset.c_str(), KELVO_CLOCK_SERVER,
                   "tcp://127.0.0.1:0", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
        // Its first line: the endpoint and its ticks.
        std::string line;
        pollfd ready{fromChild_, POLLIN, 0};
        char c = 0;
        while (poll(&ready, 1, 30000) > 0 && read(fromChild_, &c, 1) == 1 && c != '\n') line += c;
        const size_t space = line.find(' ');
        if (space == std::string::npos) return;
        endpoint = line.substr(0, space);
        ticks = std::stoll(line.substr(space + 1));
    }
    ~ServerInNamespace() {
        close(toChild_);
        int status = 0;
        if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10s)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        close(fromChild_);
    }
    std::string endpoint;  // empty when it did not start
    int64_t ticks = 0;     // its clock when it said so

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

bool timeNamespacesAllowed() { return std::system("unshare --time --monotonic 1 true >/dev/null 2>&1") == 0; }

// The tracker's estimates against a namespace `offsetSeconds` ahead.
void followAcrossNamespace(long offsetSeconds) {
    if (!timeNamespacesAllowed()) GTEST_SKIP() << "unshare --time is not permitted here";
    const int64_t before = kelvoGetTicks();
    ServerInNamespace server(offsetSeconds);
    ASSERT_FALSE(server.endpoint.empty()) << "clockServer did not start";
    const int64_t truth = offsetSeconds * kSecond;
    // The setup itself: the child's clock is ahead by the offset.
    ASSERT_NEAR(static_cast<double>(server.ticks - before), static_cast<double>(truth), 30.0 * kSecond);

    ClockTracker tracker(server.endpoint, "namespace test");
    ASSERT_TRUE(tracker.waitForFirst(30s));
    ASSERT_TRUE(eventually([&] { return tracker.history().size() >= 6; }, 60s));
    const std::vector<ClockEstimate> history = tracker.history();
    for (const ClockEstimate &e : history) {
        // 1 ms: a loaded machine's scheduling, far above what loopback needs.
        EXPECT_NEAR(e.offsetTicks, static_cast<double>(truth), 1e4) << "at " << e.localTicks;
        EXPECT_GT(e.uncertaintyTicks, 0);
        EXPECT_GT(e.roundTripTicks, 0);
    }
    const ClockEstimate &last = history.back();
    // A drift is known to about the uncertainty over the span it was seen.
    const auto span = static_cast<double>(last.localTicks - history.front().localTicks);
    EXPECT_NEAR(last.driftPpm, 0, 5 + 2e6 * last.uncertaintyTicks / span);
    const int64_t remoteNow = kelvoGetTicks() + truth;
    EXPECT_NEAR(static_cast<double>(tracker.toLocal(remoteNow)), static_cast<double>(remoteNow - truth), 1e4);
}

}  // namespace

TEST(ClockTracker, AgainstAServiceOfTheSameClockFindsNoOffsetAndReportsItsCounts) {
    ClockService service("tcp://127.0.0.1:0");
    ASSERT_NE(service.endpoint().find("tcp://127.0.0.1:"), std::string::npos);
    ASSERT_GT(portOf(service.endpoint()), 0) << "the port the system picked";
    ClockTracker tracker(service.endpoint(), "in-process");
    tracker.report(1000, 3);
    ASSERT_TRUE(tracker.waitForFirst(30s));
    EXPECT_TRUE(runsThread("kelvo-clock"));
    EXPECT_TRUE(runsThread("kelvo-clocksync"));
    const ClockEstimate e = *tracker.estimate();
    EXPECT_NEAR(e.offsetTicks, 0, 1e4);
    EXPECT_LE(std::fabs(e.offsetTicks), 2 * e.uncertaintyTicks + 10) << "the truth lies near the uncertainty";
    EXPECT_NEAR(static_cast<double>(tracker.toLocal(5 * kSecond)), 5.0 * kSecond, 1e4);
    EXPECT_GE(tracker.exchanges(), 1u);

    // The counts go with the next burst, two seconds on.
    tracker.report(2000, 5);
    ASSERT_TRUE(eventually([&] {
        const auto reports = service.reports();
        return reports.size() == 1 && reports[0].received == 2000;
    }));
    const SubscriberReport r = service.reports()[0];
    EXPECT_EQ(r.name, "in-process");
    EXPECT_EQ(r.peer, "127.0.0.1");
    EXPECT_EQ(r.lost, 5u);
    EXPECT_GT(r.lastTicks, 0);
    EXPECT_EQ(service.rejected(), 0u);
}

TEST(ClockTracker, WithoutAServiceHasNoEstimateAndStopsAtOnce) {
    const int port = [] {
        ClockService probe("tcp://127.0.0.1:0");
        return portOf(probe.endpoint());
    }();
    ClockTracker tracker("tcp://127.0.0.1:" + std::to_string(port), "alone");
    EXPECT_FALSE(tracker.waitForFirst(300ms));
    EXPECT_FALSE(tracker.estimate());
    EXPECT_EQ(tracker.toLocal(12345), 12345) << "unchanged before any estimate";
    EXPECT_THROW(ClockTracker("nonsense", "x"), std::runtime_error);
}

TEST(ClockTracker, FindsAServiceThatStartsLater) {
    const std::string endpoint =
        "ipc://" + (std::filesystem::temp_directory_path() / ("clock-" + std::to_string(getpid()) + ".time")).string();
    ClockTracker tracker(endpoint, "early");
    EXPECT_FALSE(tracker.waitForFirst(100ms));
    ClockService service(endpoint);
    EXPECT_TRUE(tracker.waitForFirst(30s));
}

TEST(ClockService, ABusyEndpointIsRefusedByName) {
    ClockService first("tcp://127.0.0.1:0");
    try {
        ClockService second(first.endpoint());
        FAIL() << "bound twice";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find(first.endpoint()), std::string::npos) << e.what();
    }
}

TEST(ClockService, DropsAndCountsMalformedMessagesAndStillAnswers) {
    ClockService service("tcp://127.0.0.1:0");
    Peer peer(service.endpoint());
    peer.expectAnswered(1);

    std::mt19937 random(5);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> size(0, 200);
    std::uniform_int_distribution<int> frames(1, 6);
    uint64_t bad = 0;
    auto randomBytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char &c : s) c = static_cast<char>(byte(random));
        return s;
    };
    // Random frames, of random counts and sizes.
    for (int k = 0; k < 300; ++k) {
        std::vector<std::string> message;
        const int count = frames(random);
        for (int f = 0; f < count; ++f) message.push_back(randomBytes(size(random)));
        peer.send(message);
        ++bad;
    }
    // Good requests spoilt: cut, lengthened, a header byte changed, a report
    // that does not decode, an empty frame alone, too many frames.
    const std::string good = requestFrame(2);
    peer.send({good.substr(0, 31)});
    peer.send({good + "x"});
    std::string flipped = good;
    flipped[9] = 7;  // the type
    peer.send({flipped});
    peer.send({good, "not a report"});
    peer.send({""});
    peer.send({good, encodeReport({1, 1, "x"}), "third"});
    bad += 6;
    peer.expectAnswered(3);
    EXPECT_EQ(service.rejected(), bad);
    // A message of very many frames: read to its end, dropped, no stall.
    // From a peer of its own, whose queue is empty: ZeroMQ splits a
    // message that meets a full queue half-way.
    {
        Peer many(service.endpoint());
        many.send(std::vector<std::string>(100'000, "f"));
        many.expectAnswered(4);
        ++bad;
        EXPECT_EQ(service.rejected(), bad);
    }

    // A frame beyond the service's limit cuts its sender off before it is
    // read (and so is not counted). Bytes that are no ZeroMQ greeting are
    // taken for the oldest ZeroMQ framing: what they decode to is dropped
    // like any message. Neither holds up anyone else.
    {
        Peer huge(service.endpoint());
        huge.send({std::string(1'000'000, 'k')});
        const int raw = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(portOf(service.endpoint())));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        const std::string garbage = randomBytes(4096);
        EXPECT_GT(write(raw, garbage.data(), garbage.size()), 0);
        peer.expectAnswered(5);
        close(raw);
    }
    EXPECT_GE(service.rejected(), bad);
    // A REQ socket's empty frame before the request is answered in kind.
    ZmqSocket req(ZMQ_REQ);
    req.setInt(ZMQ_LINGER, 0);
    req.connect(service.endpoint());
    const std::string request = requestFrame(6);
    ASSERT_TRUE(req.sendWaiting({{request.data(), request.size()}}));
    std::vector<std::string> reply;
    ASSERT_TRUE(req.receive(reply, 30s));
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_TRUE(decodeReply(reply[0].data(), reply[0].size()));
}

TEST(ClockService, KeepsTheReportsOfTheLatestSubscribersOnly) {
    ClockService service("tcp://127.0.0.1:0");
    Peer peer(service.endpoint());
    for (int k = 0; k < 70; ++k) {
        peer.send({requestFrame(static_cast<uint64_t>(k)),
                   encodeReport({static_cast<uint64_t>(k), 0, "subscriber " + std::to_string(k)})});
        std::vector<std::string> reply;
        ASSERT_TRUE(peer.socket.receive(reply, 30s));
    }
    const std::vector<SubscriberReport> reports = service.reports();
    ASSERT_EQ(reports.size(), ClockService::kMostSubscribers);
    for (const SubscriberReport &r : reports) {
        EXPECT_GE(r.received, 70u - ClockService::kMostSubscribers) << r.name << ": an early one stayed";
    }
    // The same subscriber again is one entry, with its newest counts.
    peer.send({requestFrame(99), encodeReport({1234, 1, "subscriber 69"})});
    std::vector<std::string> reply;
    ASSERT_TRUE(peer.socket.receive(reply, 30s));
    EXPECT_EQ(service.reports().size(), ClockService::kMostSubscribers);
    bool found = false;
    for (const SubscriberReport &r : service.reports())
        found = found || (r.name == "subscriber 69" && r.received == 1234);
    EXPECT_TRUE(found);
}

TEST(ClockTracker, AcrossATimeNamespaceAheadFindsItsOffset) { followAcrossNamespace(1000); }

TEST(ClockTracker, AcrossATimeNamespaceBehindFindsItsOffset) { followAcrossNamespace(-500); }
