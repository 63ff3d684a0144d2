// SPDX-License-Identifier: MIT
#include "clockService.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <tuple>

#include "kelvo.h"
#include "timeProtocol.h"

namespace kelvo::recording {

namespace {

// A request with a report is well below this; a peer that sends a bigger
// frame is cut off by ZeroMQ before it is read at all.
constexpr int64_t kLargestFrame = 1024;
// Routing id, request, report, and the empty frame a REQ socket puts
// before its message: the most frames a request has. A message of more is
// read to its end and dropped.
constexpr size_t kMostFrames = 4;

// The frames of one message, the first kMostFrames of them kept.
class Message {
public:
    Message() {
        for (zmq_msg_t &frame : frames_) zmq_msg_init(&frame);
    }
    ~Message() {
        for (zmq_msg_t &frame : frames_) zmq_msg_close(&frame);
    }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;

    // Reads one whole message without waiting; false when none is queued.
    // Frames past kMostFrames are read and let go, however many.
    bool receive(void *socket, int64_t &firstFrameTicks) {
        zmq_msg_t spill;
        zmq_msg_init(&spill);
        count_ = 0;
        bool more = true;
        while (more) {
            zmq_msg_t *into = count_ < kMostFrames ? &frames_[count_] : &spill;
            if (zmq_msg_recv(into, socket, count_ == 0 ? ZMQ_DONTWAIT : 0) < 0) {
                zmq_msg_close(&spill);
                return false;  // a message is delivered whole: only its first frame can be missing
            }
            if (count_ == 0) firstFrameTicks = kelvoGetTicks();
            more = zmq_msg_more(into) != 0;
            ++count_;
        }
        zmq_msg_close(&spill);
        return true;
    }

    size_t count() const { return count_; }
    const void *data(size_t k) { return zmq_msg_data(&frames_[k]); }
    size_t size(size_t k) { return zmq_msg_size(&frames_[k]); }
    // The peer's address, as ZeroMQ tells it for the frame.
    std::string peer(size_t k) {
        const char *address = zmq_msg_gets(&frames_[k], "Peer-Address");
        return address != nullptr ? address : "";
    }

private:
    zmq_msg_t frames_[kMostFrames];
    size_t count_ = 0;
};

// Without waiting and without throwing: a reply that cannot go now is
// dropped, and the subscriber asks again.
bool sendNow(void *socket, const std::vector<std::pair<const void *, size_t>> &frames) {
    for (size_t i = 0; i < frames.size(); ++i) {
        const int flags = ZMQ_DONTWAIT | (i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
        while (zmq_send(socket, frames[i].first, frames[i].second, flags) < 0) {
            if (zmq_errno() != EINTR) return false;
        }
    }
    return true;
}

std::string boundEndpoint(void *socket) {
    char text[512] = {};
    size_t size = sizeof text;
    if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, text, &size) != 0) return "";
    return text;
}

}  // namespace

ClockService::ClockService(const std::string &endpoint)
    : ClockService([&endpoint](ZmqSocket &socket) {
          socket.bind(endpoint);  // throws naming it
          return boundEndpoint(socket.handle());
      }) {}

ClockService::ClockService(const std::function<std::string(ZmqSocket &)> &bind) : socket_(ZMQ_ROUTER) {
    socket_.setInt(ZMQ_LINGER, 0);
    const int64_t largest = kLargestFrame;
    zmq_setsockopt(socket_.handle(), ZMQ_MAXMSGSIZE, &largest, sizeof largest);
    endpoint_ = bind(socket_);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::runtime_error("cannot serve the time on " + endpoint_ + ": no eventfd");
    thread_ = std::thread([this] { serve(); });
}

ClockService::~ClockService() {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) != sizeof one) {
        // Cannot happen short of 2^64 - 1 writes; the thread would stay.
    }
    thread_.join();
    close(wakeFd_);
}

std::vector<SubscriberReport> ClockService::reports() const {
    std::vector<SubscriberReport> all;
    {
        std::lock_guard<std::mutex> lock(reportsMutex_);
        for (const auto &entry : reports_) all.push_back(entry.second);
    }
    std::sort(all.begin(), all.end(), [](const SubscriberReport &a, const SubscriberReport &b) {
        return std::tie(a.name, a.peer) < std::tie(b.name, b.peer);
    });
    return all;
}

// Sleeps in zmq_poll until requests come or the destructor writes the
// eventfd: no timeout, nothing to do in between.
void ClockService::serve() {
    pthread_setname_np(pthread_self(), "kelvo-clock");
    while (socket_.awaitMessageOrStop(wakeFd_)) {
        try {
            takeMessages();
        } catch (const std::exception &) {
            // Out of memory for a report: the requests go on being answered.
        }
    }
}

void ClockService::takeMessages() {
    Message message;
    int64_t receivedTicks = 0;
    while (message.receive(socket_.handle(), receivedTicks)) {
        // [routing id, (empty,) request, (report)]
        const size_t requestAt = message.count() > 2 && message.size(1) == 0 ? 2 : 1;
        const size_t frames = message.count();
        const bool shaped = frames <= kMostFrames && frames > requestAt && frames <= requestAt + 2;
        const std::optional<TimeRequest> request =
            shaped ? decodeRequest(message.data(requestAt), message.size(requestAt)) : std::nullopt;
        const bool reportFits = !shaped || frames == requestAt + 1 ||
                                decodeReport(message.data(requestAt + 1), message.size(requestAt + 1)).has_value();
        if (!request || !reportFits) {
            rejected_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        // Before the reply: what the subscriber said is kept by the time it
        // has its answer. The reply's stamp comes after, so the time taken
        // here is no part of the round trip.
        if (frames == requestAt + 2) {
            keepReport(message.data(requestAt + 1), message.size(requestAt + 1), message.peer(requestAt));
        }
        TimeReply reply{request->id, request->clientTicks, receivedTicks, 0};
        std::vector<std::pair<const void *, size_t>> envelope;
        for (size_t k = 0; k < requestAt; ++k) envelope.emplace_back(message.data(k), message.size(k));
        reply.repliedTicks = kelvoGetTicks();
        const auto frame = encodeReply(reply);
        envelope.emplace_back(frame.data(), frame.size());
        // A peer that does not read its replies loses them rather than
        // holding up the others.
        if (sendNow(socket_.handle(), envelope)) answered_.fetch_add(1, std::memory_order_relaxed);
    }
}

void ClockService::keepReport(const void *frame, size_t length, std::string peer) {
    std::optional<TimeReport> report = decodeReport(frame, length);
    if (!report) return;
    SubscriberReport kept{report->name, std::move(peer), report->received, report->lost, kelvoGetTicks()};
    std::lock_guard<std::mutex> lock(reportsMutex_);
    auto key = std::make_pair(kept.peer, kept.name);
    if (reports_.find(key) == reports_.end() && reports_.size() >= kMostSubscribers) {
        const auto stalest = std::min_element(reports_.begin(), reports_.end(), [](const auto &a, const auto &b) {
            return a.second.lastTicks < b.second.lastTicks;
        });
        reports_.erase(stalest);
    }
    reports_[std::move(key)] = std::move(kept);
}

}  // namespace kelvo::recording
