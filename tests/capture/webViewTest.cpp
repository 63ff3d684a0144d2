// SPDX-License-Identifier: MIT
// The browser view's server side: the reduction to columns, and the
// server over real sockets with a client that stops reading while the
// feeder pushes far faster than any capture needs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kelvo.h"
#include "webColumns.h"
#include "webServer.h"

namespace {

using kelvo::recording::ColumnDecimator;
using kelvo::recording::ColumnRing;
using kelvo::recording::ColumnUpdate;
using kelvo::recording::WebServer;
using kelvo::recording::WebViewSettings;
using namespace std::chrono_literals;

struct Taken {
    ColumnUpdate update;
    std::vector<float> minMax;
};

std::vector<Taken> drain(ColumnRing &ring) {
    std::vector<Taken> taken;
    Taken t{{}, std::vector<float>(ring.channels() * 2)};
    while (ring.pop(t.update, t.minMax.data())) taken.push_back(t);
    return taken;
}

// Ten ticks per column, two channels: the second channel is the first
// negated, so each column's extremes are known.
TEST(WebColumns, EachColumnHoldsTheExtremesOfItsSamplesAndTheFillingOneIsSentAgain) {
    ColumnRing ring(2, 64);
    ColumnDecimator decimator(ring, 1000, 10);
    const std::vector<int64_t> ticks = {985, 995, 1000, 1004, 1009, 1010, 1013};
    const std::vector<float> values = {0.5f, -0.5f, 0.1f,  -0.1f, 0.2f,  -0.2f, -0.3f,
                                       0.3f, 0.9f,  -0.9f, 0.4f,  -0.4f, 0.6f,  -0.6f};
    decimator.add(values.data(), ticks.data(), 4, 77);
    decimator.add(values.data() + 8, ticks.data() + 4, 3, 88);
    const std::vector<Taken> taken = drain(ring);
    std::vector<int64_t> indexes;
    for (const Taken &t : taken) indexes.push_back(t.update.index);
    // Before the origin the columns count down (floor); column 0 is handed
    // on after the first batch while still filling, and again complete.
    EXPECT_EQ(indexes, (std::vector<int64_t>{-2, -1, 0, 0, 1}));
    const Taken &zero = taken[3];
    EXPECT_EQ(zero.update.samples, 3u);
    EXPECT_EQ(zero.update.arrivalTicks, 88);
    EXPECT_EQ(zero.minMax, (std::vector<float>{-0.3f, 0.9f, -0.9f, 0.3f}));
    EXPECT_EQ(taken[2].update.samples, 2u);
    EXPECT_EQ(taken[4].minMax, (std::vector<float>{0.4f, 0.6f, -0.6f, -0.4f}));
}

TEST(WebColumns, AFullRingDropsUpdatesAndCountsThem) {
    ColumnRing ring(1, 4);
    const float v[2] = {0, 0};
    for (int64_t i = 0; i < 10; ++i) ring.push({i, 1, 0}, v);
    EXPECT_EQ(ring.dropped(), 6u);
    const std::vector<Taken> taken = drain(ring);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken.back().update.index, 3);
}

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return -1;
    return fd;
}

// Upgrades to a WebSocket and then never reads again.
int openStalledSocket(int port) {
    const int fd = connectTo(port);
    const std::string request =
        "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (fd < 0 || write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return -1;
    return fd;
}

int portOf(const std::string &url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

long statusField(const std::string &status, const std::string &name) {
    const size_t at = status.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + name.size() + 3));
}

// 64 channels of 256 columns every millisecond: megabytes a second for
// each socket, which fill a stalled one's buffers at once. The feeder
// never waits, the stalled socket's frames are dropped and counted, and
// the server stops with it still open.
TEST(WebServer, ASocketThatStopsReadingLosesFramesWhileTheFeederNeverWaits) {
    WebViewSettings settings;
    settings.bind = "127.0.0.1:0";
    auto server = std::make_unique<WebServer>(settings);
    server->setOrigin(kelvoGetTicks(), 0);
    const int id = server->addDevice({"SIM0042", "SIM0042", "/dev/null", 0, std::vector<std::string>(64, "ch")});
    ASSERT_EQ(id, 0);
    const int stalled = openStalledSocket(portOf(server->url()));
    ASSERT_GE(stalled, 0);

    std::atomic<bool> feeding{true};
    std::atomic<uint64_t> pushes{0};
    std::thread feeder([&] {
        std::vector<float> minMax(128, 0.5f);
        int64_t index = 0;
        while (feeding.load()) {
            for (int i = 0; i < 256; ++i) server->columns(id).push({index++, 10, kelvoGetTicks()}, minMax.data());
            pushes.fetch_add(256);
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    long dropped = 0;
    while (std::chrono::steady_clock::now() < deadline &&
           (dropped = statusField(server->status(), "frames_dropped")) < 50) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(dropped, 50) << server->status();
    EXPECT_EQ(server->sockets(), 1);
    feeding = false;
    feeder.join();
    EXPECT_GT(pushes.load(), 0u);
    server.reset();  // returns with the stalled socket still open
    close(stalled);
}

TEST(WebServer, AnAddressThatIsNotOneIsRefusedAndABusyPortNamed) {
    for (const char *bad : {"8080", "localhost", "example.org:80", "127.0.0.1:99999", "127.0.0.1:-1", ":80"}) {
        WebViewSettings settings;
        settings.bind = bad;
        EXPECT_THROW(WebServer{settings}, std::invalid_argument) << bad;
    }
    WebViewSettings first;
    first.bind = "127.0.0.1:0";
    WebServer taken(first);
    WebViewSettings second;
    second.bind = "127.0.0.1:" + std::to_string(portOf(taken.url()));
    try {
        WebServer again(second);
        ADD_FAILURE() << "bound a port in use";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find(second.bind), std::string::npos) << e.what();
    }
}

}  // namespace
