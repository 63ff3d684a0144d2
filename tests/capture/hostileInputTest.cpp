// SPDX-License-Identifier: MIT
// What a capture session's marker socket does with senders that mean it
// harm, through kelvo_capture.h against kelvo-sim: thousands of random
// messages that cannot be markers are each counted as dropped, none stalls
// the socket, and a good marker sent after them is still recorded. With
// CURVE keys only a sender that holds the authorized key gets a marker in.
#include <gtest/gtest.h>
#include <zmq.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "curveKeys.h"
#include "kelvo_capture.h"
#include "programRunner.h"
#include "zmqSocket.h"

using namespace kelvo::test;
using namespace std::chrono_literals;
using kelvo::recording::ZmqSocket;
namespace fs = std::filesystem;

namespace {

const std::string kSim = KELVO_SIM;
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

using CapturePtr = std::unique_ptr<kelvoCapture, decltype(&kelvoCaptureDestroy)>;
using Message = std::vector<std::string>;

std::string tempPath(const std::string &name) {
    return (fs::temp_directory_path() / ("kelvo-" + std::to_string(getpid()) + "-" + name)).string();
}

CapturePtr startedCapture(const std::string &device, const std::string &markers, const std::string &keys = "") {
    CapturePtr capture(kelvoCaptureCreate(), kelvoCaptureDestroy);
    EXPECT_EQ(kelvoCaptureAddDevice(capture.get(), device.c_str()), KELVO_OK);
    EXPECT_EQ(kelvoCaptureAddConfig(capture.get(), "CONFigure:DEVice 2"), KELVO_OK);
    EXPECT_EQ(kelvoCaptureEnableRead(capture.get()), KELVO_OK);
    EXPECT_EQ(kelvoCaptureAddMarkerSource(capture.get(), markers.c_str()), KELVO_OK);
    if (!keys.empty()) EXPECT_EQ(kelvoCaptureSetCurveKeys(capture.get(), keys.c_str()), KELVO_OK);
    EXPECT_EQ(kelvoCaptureOpen(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    EXPECT_EQ(kelvoCaptureStart(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    return capture;
}

std::pair<uint64_t, uint64_t> markerCounts(const CapturePtr &capture) {
    uint64_t received = 0, dropped = 0;
    kelvoCaptureGetMarkerStats(capture.get(), &received, &dropped);
    return {received, dropped};
}

bool until(const std::function<bool()> &done, std::chrono::seconds most = 60s) {
    const auto end = std::chrono::steady_clock::now() + most;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

void send(ZmqSocket &socket, const Message &frames) {
    std::vector<std::pair<const void *, size_t>> parts;
    for (const std::string &f : frames) parts.emplace_back(f.data(), f.size());
    ASSERT_TRUE(socket.sendWaiting(parts));
}

// Messages that cannot be markers, of every kind the socket must refuse.
class Hostile {
public:
    explicit Hostile(uint32_t seed) : random_(seed) {}

    Message next() {
        switch (pick(0, 7)) {
            case 0: return frames(pick(3, 12));                                       // too many frames
            case 1: return {"\xff" + bytes(pick(0, 200))};                            // not UTF-8
            case 2: return {std::string(4097 + pick(0, 5000), 'x')};                  // over 4096 bytes
            case 3: return {"text", bytes(static_cast<int64_t>(pickOtherThan(8)))};   // a stamp of the wrong size
            case 4: return {"text", littleEndian(-pick(0, 1000000))};                 // a stamp of tick 0 or before
            case 5: return {std::string("nul\0inside", 10)};                          // a zero byte
            case 6: return {"\xed\xa0\x80" + bytes(pick(0, 20)), bytes(int64_t{8})};  // a surrogate, with a stamp
            default: return {"\xc3" + bytes(pick(0, 3000)) + "\xc3"};                 // cut inside a sequence
        }
    }

private:
    int64_t pick(int64_t low, int64_t high) { return std::uniform_int_distribution<int64_t>(low, high)(random_); }
    size_t pickOtherThan(size_t size) {
        const auto n = static_cast<size_t>(pick(0, 20));
        return n == size ? size + 1 : n;
    }
    std::string bytes(int64_t n) {
        std::string out(static_cast<size_t>(n), '\0');
        for (char &c : out) c = static_cast<char>(pick(0, 255));
        return out;
    }
    Message frames(int64_t n) {
        Message out;
        for (int64_t k = 0; k < n; ++k) out.push_back(bytes(pick(0, 64)));
        return out;
    }
    static std::string littleEndian(int64_t value) {
        std::string out(8, '\0');
        for (size_t k = 0; k < 8; ++k) out[k] = static_cast<char>(static_cast<uint64_t>(value) >> (8 * k));
        return out;
    }
    std::mt19937 random_;
};

}  // namespace

TEST(HostileMarkers, RandomMessagesAreEachCountedAsDroppedAndAGoodMarkerStillGetsThrough) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    const std::string endpoint = "ipc://" + tempPath("hostile.sock");
    CapturePtr capture = startedCapture(sim.paths[0], endpoint);

    // Over ZeroMQ's own limit: the sender's connection is cut, and nothing
    // of it reaches the session. Another sender is not disturbed by it.
    {
        ZmqSocket huge(ZMQ_PUSH);
        huge.connect(endpoint);
        const std::string frame(20 << 20, 'x');
        send(huge, {frame});
    }
    ZmqSocket sender(ZMQ_PUSH);
    sender.connect(endpoint);
    Hostile hostile(20240601);
    constexpr uint64_t kHostile = 3000;
    for (uint64_t k = 0; k < kHostile; ++k) send(sender, hostile.next());
    send(sender, {"after the storm"});

    ASSERT_TRUE(until([&] {
        const auto [received, dropped] = markerCounts(capture);
        return received >= 1 && dropped >= kHostile;
    })) << markerCounts(capture).first
        << " received, " << markerCounts(capture).second << " dropped";
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK) << kelvoCaptureGetError(capture.get());
    EXPECT_EQ(markerCounts(capture), std::make_pair(uint64_t{1}, kHostile));
}

// A sender without the keys is refused at the handshake and counted; its
// marker never arrives. The authorized one's does.
TEST(HostileMarkers, WithCurveKeysOnlyTheAuthorizedSenderGetsAMarkerIn) {
    SimProcess sim(kSim, {"--rate", "1000", "--block", "50"});
    const std::string keys = tempPath("keys");
    fs::remove_all(keys);
    kelvo::recording::makeCurveKeys(keys);
    const std::string endpoint = "ipc://" + tempPath("curve-markers.sock");
    CapturePtr capture = startedCapture(sim.paths[0], endpoint, keys);
    kelvoCaptureListener listener{};
    ASSERT_EQ(kelvoCaptureGetListener(capture.get(), 0, &listener), KELVO_OK);
    EXPECT_STREQ(listener.role, "markers");
    EXPECT_EQ(listener.endpoint, endpoint);
    EXPECT_EQ(listener.curve, 1);
    EXPECT_EQ(kelvoCaptureGetListener(capture.get(), 1, &listener), KELVO_REFUSED);

    ZmqSocket stranger(ZMQ_PUSH);
    stranger.setInt(ZMQ_LINGER, 0);
    stranger.setInt(ZMQ_SNDTIMEO, 0);
    stranger.connect(endpoint);
    const std::string text = "from a stranger";
    ASSERT_TRUE(stranger.sendWaiting({{text.data(), text.size()}})) << "queued for a handshake that never succeeds";
    const auto refused = [&] {
        kelvoCaptureListener l{};
        return kelvoCaptureGetListener(capture.get(), 0, &l) == KELVO_OK ? l.refused : 0;
    };
    ASSERT_TRUE(until([&] { return refused() >= 1; }));

    ZmqSocket friendly(ZMQ_PUSH);
    friendly.secureAsClient(kelvo::recording::loadCurveKeys(keys));
    friendly.connect(endpoint);
    send(friendly, {"from a friend"});
    ASSERT_TRUE(until([&] { return markerCounts(capture).first >= 1; }));
    ASSERT_EQ(kelvoCaptureStop(capture.get()), KELVO_OK);
    EXPECT_EQ(markerCounts(capture), std::make_pair(uint64_t{1}, uint64_t{0}));
    fs::remove_all(keys);
}

TEST(HostileMarkers, CurveKeysWithoutTheServersSecretAreRefusedBeforeTheOpen) {
    const std::string keys = tempPath("client-keys");
    fs::remove_all(keys);
    kelvo::recording::makeCurveKeys(keys);
    fs::remove(keys + "/server.key_secret");
    CapturePtr capture(kelvoCaptureCreate(), kelvoCaptureDestroy);
    EXPECT_EQ(kelvoCaptureSetCurveKeys(capture.get(), keys.c_str()), KELVO_REFUSED);
    EXPECT_NE(std::string(kelvoCaptureGetError(capture.get())).find("server.key_secret"), std::string::npos)
        << kelvoCaptureGetError(capture.get());
    EXPECT_EQ(kelvoCaptureSetCurveKeys(capture.get(), (keys + "/none").c_str()), KELVO_REFUSED);
    EXPECT_NE(std::string(kelvoCaptureGetError(capture.get())).find("is no directory"), std::string::npos)
        << kelvoCaptureGetError(capture.get());
    fs::remove_all(keys);
}
