// SPDX-License-Identifier: MIT
// The browser view's server (docs/web-protocol.md): one port for the page
// and the WebSocket, through civetweb, which does all of HTTP and of the
// WebSocket's framing. The page's files are built into the library, so no
// request reaches the file system.
//
// Whoever feeds the view (a capture session's sink, a subscriber) adds its
// devices and pushes each device's columns into the device's ring
// (webColumns.h) and its gaps, markers and counters through the calls
// below. The thread "kelvo-web" takes them every kFramePeriod (kIdlePeriod
// while no browser watches), writes the frames once and offers each socket
// a copy; a socket has its own bounded queue and its own writer thread, so
// a browser that is slow or gone only misses frames, counted, and costs
// neither the feeder nor the other browsers anything.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "latencyHistogram.h"
#include "webColumns.h"
#include "webFrames.h"

struct mg_context;
struct mg_connection;

namespace kelvo::recording {

struct WebViewSettings {
    std::string bind = "127.0.0.1:8080";  // HOST:PORT; port 0 picks a free one
    enum class Token { automatic, on, off };
    Token token = Token::automatic;  // automatic: one unless bound to loopback
    // The C interface's and the command line's choice: 1 on, 0 off, else automatic.
    static Token tokenFrom(int choice) { return choice == 1 ? Token::on : choice == 0 ? Token::off : Token::automatic; }
    std::string source = "capture";  // or "subscriber"
    std::string title;
    double columnSeconds = 0.01;
    double windowSeconds = 10;
    // A marker from a page: its text. False when it was not taken. Empty:
    // the pages cannot send markers.
    std::function<bool(const std::string &text)> mark;
};

struct WebDevice {
    std::string name, serial, path;
    double rateHz = 0;
    std::vector<std::string> channels;
};

class WebSocketClient;

class WebServer {
public:
    static constexpr size_t kMostDevices = 16;
    static constexpr int kMostSockets = 16;
    static constexpr int64_t kTicksPerSecond = 10'000'000;  // kelvoGetTicks units
    static constexpr auto kFramePeriod = std::chrono::milliseconds(20);
    static constexpr auto kIdlePeriod = std::chrono::milliseconds(100);
    static constexpr size_t kLongestPageMessage = 4096;
    static constexpr size_t kLongestMarker = 1000;
    // Column updates a device's ring holds: 40 frame periods of a device
    // whose chunks come every 0.2 ms.
    static constexpr size_t kRingColumns = 4096;

    // Listens; throws std::runtime_error with civetweb's reason when it
    // cannot, or std::invalid_argument for a malformed bind address.
    explicit WebServer(WebViewSettings settings);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // "http://127.0.0.1:8080/", with "?token=..." when it has one.
    std::string url() const;

    // The feeder's calls. addDevice is the feeder's thread's; it returns
    // the device's id, -1 beyond kMostDevices. The ring is the feeder's to
    // push into; the rest may come from any thread.
    int addDevice(const WebDevice &info);
    ColumnRing &columns(int device) { return *devices_[static_cast<size_t>(device)].ring; }
    void gap(int device, double startSeconds, double endSeconds, int64_t samplesLost, const std::string &cause);
    void marker(double seconds, const std::string &text, const std::string &source);
    void counters(int device, const DeviceCounters &counters);
    // 0 on the view's time axis, in kelvoGetTicks units, and the same
    // moment on the wall clock (ns since 1970); before any device is added.
    void setOrigin(int64_t ticks, int64_t unixNs);
    // The view's time of `ticks`.
    double secondsAt(int64_t ticks) const;
    int64_t columnTicks() const { return columnTicks_; }

    // The counters of /status, as JSON text.
    std::string status() const;
    // WebSockets open now.
    int sockets() const { return sockets_.load(std::memory_order_relaxed); }
    // A page's latency from the arrival of a sample to its drawing, ms.
    struct Latency {
        uint64_t count = 0;
        double median = 0, p99 = 0;
    };
    Latency latency() const;

private:
    friend class WebSocketClient;
    struct Device {
        WebDevice info;
        std::unique_ptr<ColumnRing> ring;
        // The view thread's: columns taken since the last frame, the newest
        // update of each, and the window's worth kept for a browser that
        // comes later.
        std::vector<ColumnUpdate> pending;
        std::vector<float> pendingValues;
        int64_t oldestPendingArrival = 0;
        std::vector<ColumnUpdate> history;  // a ring of windowColumns, by index
        std::vector<float> historyValues;
        std::vector<float> popped;
        bool hasCounters = false;
        DeviceCounters lastCounters;
    };
    // What the feeders told besides columns, waiting for the view thread.
    struct Notice {
        enum class Kind { gap, marker, counters } kind;
        int device = 0;
        double start = 0, end = 0;
        int64_t samples = 0;
        std::string text, source;
        DeviceCounters counters;
    };

    static int beginRequest(mg_connection *conn);
    static int handleRequest(mg_connection *conn, void *self);
    static int connectSocket(const mg_connection *conn, void *self);
    static void readySocket(mg_connection *conn, void *self);
    static int dataFromSocket(mg_connection *conn, int opcode, char *data, size_t length, void *self);
    static void closeSocket(const mg_connection *conn, void *self);
    static int logMessage(const mg_connection *conn, const char *message);

    int gate(mg_connection *conn);
    bool tokenGiven(const mg_connection *conn) const;
    void takePageMessage(WebSocketClient &client, const char *data, size_t length);

    void run();
    void takeColumns(Device &device);
    size_t slotOf(int64_t index) const;
    void keep(Device &device, const ColumnUpdate &update, const float *minMax);
    void sendColumns(int id, Device &device);
    void sendNotices();
    void welcomeNewcomers();
    void welcome(WebSocketClient &client);
    std::string description() const;
    void broadcast(FrameWriter &frame, int64_t oldestArrival);
    void endGoneClients();

    WebViewSettings settings_;
    std::string token_;
    std::string host_;
    int port_ = 0;
    std::atomic<int64_t> originTicks_{0}, originUnixNs_{0};
    size_t windowColumns_;
    int64_t columnTicks_;

    Device devices_[kMostDevices];
    std::atomic<size_t> deviceCount_{0};
    std::atomic<bool> described_{false};  // false: the description changed

    std::mutex noticeMutex_;
    std::vector<Notice> notices_;
    // Kept for browsers that come later: the newest markers and gaps.
    static constexpr size_t kNoticesKept = 256;
    std::vector<Notice> keptNotices_;  // the view thread's

    // Sockets: opened by civetweb's threads, then welcomed and fed by the
    // view thread, which alone deletes them once closed.
    std::mutex arrivalMutex_;
    std::vector<WebSocketClient *> arrivals_;
    std::vector<std::unique_ptr<WebSocketClient>> clients_;  // the view thread's
    std::atomic<int> sockets_{0};

    FrameWriter frame_;  // the view thread's
    std::string descriptionText_;

    std::atomic<uint64_t> framesSent_{0}, framesDropped_{0}, messagesIgnored_{0}, refusedToken_{0}, refusedBusy_{0};
    mutable std::mutex latencyMutex_;
    LatencyHistogram latency_;

    int stopFd_ = -1;
    std::thread thread_;
    mg_context *context_ = nullptr;
};

// A random token for the URL: 128 bits as 32 hexadecimal digits.
std::string randomToken();

}  // namespace kelvo::recording
