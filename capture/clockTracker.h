// SPDX-License-Identifier: MIT
// The subscriber's side of the time service: a thread that asks the
// publisher's clock service for its time, a burst of exchanges every two
// seconds, and keeps the estimate of how the publisher's clock runs
// against this machine's (clockFit.h) for any thread to read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clockFit.h"
#include "zmqSocket.h"

namespace kelvo::recording {

class ClockTracker {
public:
    static constexpr int kExchangesPerBurst = 8;
    static constexpr std::chrono::milliseconds kBurstInterval{2000};

    // Connects (ZeroMQ connects in the background: a publisher that comes
    // later is found then) and sends the first burst at once. `name` says
    // who asks in the publisher's list of subscribers; cut to 64 bytes.
    // Throws std::runtime_error for an endpoint ZeroMQ does not take.
    // `secure`, when given, prepares the socket before it connects (CURVE).
    ClockTracker(const std::string &timeEndpoint, std::string name,
                 const std::function<void(ZmqSocket &)> &secure = {});
    ~ClockTracker();
    ClockTracker(const ClockTracker &) = delete;
    ClockTracker &operator=(const ClockTracker &) = delete;

    // True once an estimate exists; false when none came within `timeout`.
    bool waitForFirst(std::chrono::milliseconds timeout);
    std::optional<ClockEstimate> estimate() const;
    // Every estimate so far, oldest first.
    std::vector<ClockEstimate> history() const;
    // The publisher's ticks as this machine's; unchanged before the first
    // estimate.
    int64_t toLocal(int64_t remoteTicks) const;
    // What this subscriber got and lost of the data messages: sent with
    // the next burst.
    void report(uint64_t received, uint64_t lost);

    // Exchanges answered, and those that went unanswered in time.
    uint64_t exchanges() const;
    uint64_t unanswered() const;

private:
    struct Counts {
        uint64_t received = 0;
        uint64_t lost = 0;
    };

    void run();
    void follow();
    // One burst; false when the stop came during it.
    bool burst();
    // One exchange: the request sent, its reply awaited. False when the
    // stop came; `exchange` is filled when the reply came in time.
    bool exchangeOnce(uint64_t id, bool withReport, std::optional<TimeExchange> &exchange);
    // Waits until `deadline` or the stop, throwing away what replies come
    // meanwhile (those that came too late); false on the stop.
    bool idleUntil(std::chrono::steady_clock::time_point deadline);
    // Waits for the socket (true) until `deadline` or the stop; `stopped`
    // tells which.
    bool waitReadable(std::chrono::steady_clock::time_point deadline, bool &stopped);

    ZmqSocket socket_;
    const std::string name_;
    int wakeFd_ = -1;
    uint64_t nextId_ = 1;
    ClockFit fit_;  // the thread's

    mutable std::mutex mutex_;
    std::condition_variable firstCame_;
    std::vector<ClockEstimate> history_;
    Counts counts_;
    uint64_t exchanges_ = 0;
    uint64_t unanswered_ = 0;
    std::thread thread_;
};

}  // namespace kelvo::recording
