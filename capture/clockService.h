// SPDX-License-Identifier: MIT
// The publisher's side of the time service (timeProtocol.h): a ROUTER
// socket answered by a thread of its own the moment a request comes in,
// stamped on receipt and on reply. What the subscribers report of their
// data messages on the way is kept for the meta document.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zmqSocket.h"

namespace kelvo::recording {

// What a subscriber last said of the data messages it got and lost.
struct SubscriberReport {
    std::string name;
    std::string peer;  // its address, as ZeroMQ tells it
    uint64_t received = 0;
    uint64_t lost = 0;
    int64_t lastTicks = 0;  // this machine's clock when the report came
};

class ClockService {
public:
    // The subscribers whose reports are kept; a new one beyond them
    // pushes out the one heard from least recently.
    static constexpr size_t kMostSubscribers = 64;

    // Binds and starts answering; throws std::runtime_error naming the
    // endpoint when it cannot bind.
    explicit ClockService(const std::string &endpoint);
    // Binds with `bind` (which secures the socket as every listener of the
    // process is, and returns the endpoint as bound) and starts answering.
    explicit ClockService(const std::function<std::string(ZmqSocket &)> &bind);
    ~ClockService();
    ClockService(const ClockService &) = delete;
    ClockService &operator=(const ClockService &) = delete;

    // As bound (ZMQ_LAST_ENDPOINT): the port the system picked for
    // tcp://HOST:0 or :* included.
    std::string endpoint() const { return endpoint_; }
    // By name.
    std::vector<SubscriberReport> reports() const;
    // Messages dropped as malformed: wrong frame counts, sizes or magic.
    uint64_t rejected() const { return rejected_.load(std::memory_order_relaxed); }
    // Requests answered.
    uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }

private:
    void serve();
    void takeMessages();
    void keepReport(const void *frame, size_t length, std::string peer);

    ZmqSocket socket_;
    std::string endpoint_;
    int wakeFd_ = -1;  // an eventfd: written once to stop the thread
    std::atomic<uint64_t> rejected_{0};
    std::atomic<uint64_t> answered_{0};
    mutable std::mutex reportsMutex_;
    std::map<std::pair<std::string, std::string>, SubscriberReport> reports_;  // by peer and name
    std::thread thread_;
};

}  // namespace kelvo::recording
