// SPDX-License-Identifier: MIT
#include "clockTracker.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>

#include "kelvo.h"
#include "timeProtocol.h"
#include "wireFormat.h"

namespace kelvo::recording {

namespace {

using Clock = std::chrono::steady_clock;

// A reply later than this is no use for timing: the next request goes.
constexpr std::chrono::milliseconds kReplyTimeout{250};
// Until the first estimate a burst that got nothing is tried again soon:
// the publisher may just be starting.
constexpr std::chrono::milliseconds kFirstRetry{200};
// About two days of estimates; the oldest go beyond.
constexpr size_t kMostEstimates = 100'000;

std::string fitName(std::string name) {
    if (name.size() > kMaxSubscriberNameBytes) name.resize(kMaxSubscriberNameBytes);
    // Cut back to a whole character.
    while (!name.empty() && !isUtf8Text(name)) name.pop_back();
    return name;
}

// Reads one message without waiting, stamped the moment it is in;
// `reply` stays empty unless it is one frame that is a reply. False when
// nothing was there.
bool takeReply(void *socket, std::optional<TimeReply> &reply, int64_t &receivedTicks) {
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    if (zmq_msg_recv(&frame, socket, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&frame);
        return false;
    }
    receivedTicks = kelvoGetTicks();
    const bool single = zmq_msg_more(&frame) == 0;
    if (single) reply = decodeReply(zmq_msg_data(&frame), zmq_msg_size(&frame));
    // The rest of a message of more frames, which no reply has.
    while (zmq_msg_more(&frame) != 0 && zmq_msg_recv(&frame, socket, 0) >= 0) {
    }
    zmq_msg_close(&frame);
    return true;
}

int pollTimeout(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

ClockTracker::ClockTracker(const std::string &timeEndpoint, std::string name,
                           const std::function<void(ZmqSocket &)> &secure)
    : socket_(ZMQ_DEALER), name_(fitName(std::move(name))) {
    socket_.setInt(ZMQ_LINGER, 0);
    // Requests wait for no connection: one that cannot go now is not sent
    // later with a stale stamp.
    socket_.setInt(ZMQ_IMMEDIATE, 1);
    const int64_t largest = 1024;
    zmq_setsockopt(socket_.handle(), ZMQ_MAXMSGSIZE, &largest, sizeof largest);
    if (secure) secure(socket_);
    socket_.connect(timeEndpoint);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::runtime_error("cannot follow the clock of " + timeEndpoint + ": no eventfd");
    thread_ = std::thread([this] { run(); });
}

ClockTracker::~ClockTracker() {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) != sizeof one) {
        // Cannot fail short of 2^64 - 1 writes.
    }
    thread_.join();
    close(wakeFd_);
}

bool ClockTracker::waitForFirst(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return firstCame_.wait_for(lock, timeout, [this] { return !history_.empty(); });
}

std::optional<ClockEstimate> ClockTracker::estimate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (history_.empty()) return std::nullopt;
    return history_.back();
}

std::vector<ClockEstimate> ClockTracker::history() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return history_;
}

int64_t ClockTracker::toLocal(int64_t remoteTicks) const {
    const std::optional<ClockEstimate> now = estimate();
    return now ? localAt(*now, remoteTicks) : remoteTicks;
}

void ClockTracker::report(uint64_t received, uint64_t lost) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_ = {received, lost};
}

uint64_t ClockTracker::exchanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exchanges_;
}

uint64_t ClockTracker::unanswered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unanswered_;
}

void ClockTracker::run() {
    pthread_setname_np(pthread_self(), "kelvo-clocksync");
    try {
        follow();
    } catch (const std::exception &) {
        // Out of memory: the estimates stop where they are.
    }
}

void ClockTracker::follow() {
    auto next = Clock::now();
    for (;;) {
        const bool hadOne = estimate().has_value();
        if (!burst()) return;
        const bool hasOne = estimate().has_value();
        next = hasOne || hadOne ? next + kBurstInterval : Clock::now() + kFirstRetry;
        // After a long stall (a suspended machine) the bursts go on from
        // now rather than in a rush to catch up.
        if (next < Clock::now()) next = Clock::now();
        if (!idleUntil(next)) return;
    }
}

bool ClockTracker::burst() {
    std::array<TimeExchange, kExchangesPerBurst> exchanges;
    size_t answered = 0;
    for (int k = 0; k < kExchangesPerBurst; ++k) {
        std::optional<TimeExchange> exchange;
        if (!exchangeOnce(nextId_++, k == 0, exchange)) return false;
        if (exchange) exchanges[answered++] = *exchange;
    }
    const bool fitted = answered > 0 && fit_.addBurst(std::span(exchanges.data(), answered));
    std::lock_guard<std::mutex> lock(mutex_);
    exchanges_ += answered;
    unanswered_ += kExchangesPerBurst - answered;
    if (fitted) {
        if (history_.size() >= kMostEstimates) history_.erase(history_.begin(), history_.begin() + kMostEstimates / 2);
        history_.push_back(*fit_.estimate());
        firstCame_.notify_all();
    }
    return true;
}

bool ClockTracker::exchangeOnce(uint64_t id, bool withReport, std::optional<TimeExchange> &exchange) {
    std::string reportFrame;
    if (withReport) {
        std::lock_guard<std::mutex> lock(mutex_);
        reportFrame = encodeReport({counts_.received, counts_.lost, name_});
    }
    const auto deadline = Clock::now() + kReplyTimeout;
    const int64_t sent = kelvoGetTicks();
    const auto request = encodeRequest({id, sent});
    const int flags = ZMQ_DONTWAIT | (withReport ? ZMQ_SNDMORE : 0);
    bool gone = zmq_send(socket_.handle(), request.data(), request.size(), flags) >= 0;
    if (gone && withReport)
        gone = zmq_send(socket_.handle(), reportFrame.data(), reportFrame.size(), ZMQ_DONTWAIT) >= 0;
    if (!gone) return idleUntil(deadline);  // no connection yet: this exchange is lost
    for (;;) {
        bool stopped = false;
        if (!waitReadable(deadline, stopped)) return !stopped;
        std::optional<TimeReply> reply;
        int64_t receivedBack = 0;
        if (!takeReply(socket_.handle(), reply, receivedBack)) continue;
        // Replies to requests given up on come late: not this one's.
        if (!reply || reply->id != id || reply->clientTicks != sent) continue;
        exchange = TimeExchange{sent, reply->receivedTicks, reply->repliedTicks, receivedBack};
        return true;
    }
}

bool ClockTracker::idleUntil(Clock::time_point deadline) {
    for (;;) {
        bool stopped = false;
        if (!waitReadable(deadline, stopped)) return !stopped;
        std::optional<TimeReply> late;
        int64_t ticks = 0;
        takeReply(socket_.handle(), late, ticks);
    }
}

bool ClockTracker::waitReadable(Clock::time_point deadline, bool &stopped) {
    zmq_pollitem_t items[2] = {{socket_.handle(), 0, ZMQ_POLLIN, 0}, {nullptr, wakeFd_, ZMQ_POLLIN, 0}};
    for (;;) {
        const int ready = zmq_poll(items, 2, pollTimeout(deadline));
        if (ready < 0 && zmq_errno() == EINTR) continue;
        stopped = ready < 0 || (items[1].revents & ZMQ_POLLIN) != 0;
        return !stopped && ready > 0 && (items[0].revents & ZMQ_POLLIN) != 0;
    }
}

}  // namespace kelvo::recording
