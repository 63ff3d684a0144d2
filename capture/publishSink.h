// SPDX-License-Identifier: MIT
// A session's streams on a ZeroMQ PUB socket (docs/wire-format.md): each
// batch of whole samples as one message, each gap and marker as one, and
// the meta document at the start, once a second and at the end.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "clockService.h"
#include "listeners.h"
#include "session.h"
#include "zmqSocket.h"

namespace kelvo::capture {

class PublishSink : public Sink {
public:
    // Binds the socket through `listeners`; throws CaptureError with
    // ZeroMQ's text when it cannot.
    PublishSink(const std::string &endpoint, const std::string &topicPrefix, int highWaterMark, const Session &session,
                recording::Listeners &listeners);

    bool wantsValues() const override { return false; }
    const char *threadName() const override { return "kelvo-sender"; }
    void started(const Session &session) override { sendMeta(session); }
    void take(const SessionBatch &batch) override;
    void everySecond(const Session &session) override { sendMeta(session); }
    void finished(const Session &session) override { sendMeta(session); }
    void gap(const Session &session, const Gap &gap) override;
    void mark(const Session &session, const Marker &marker) override;

    uint64_t messagesSent(int device) const override {
        return sequence_[static_cast<size_t>(device)].load(std::memory_order_relaxed);
    }

    // Gap and marker messages ZeroMQ refused; any thread. Those a PUB
    // socket drops at a subscriber's high-water mark are not among them:
    // ZeroMQ does not tell of those.
    uint64_t noticesUnsent() const { return noticesUnsent_.load(std::memory_order_relaxed); }

    // Serves this machine's clock on `timeEndpoint`, or next to
    // `dataEndpoint` when it is empty (recording::defaultTimeEndpoint);
    // throws CaptureError naming the endpoint when it cannot bind.
    void serveTime(const std::string &dataEndpoint, const std::string &timeEndpoint, recording::Listeners &listeners);
    // As bound; empty before serveTime.
    std::string timeEndpoint() const { return clock_ ? clock_->endpoint() : ""; }

private:
    void sendMeta(const Session &session);

    std::unique_ptr<recording::ZmqSocket> socket_;
    const Session &session_;
    std::vector<std::string> topics_;
    std::unique_ptr<std::atomic<uint64_t>[]> sequence_;  // the next message's number per device
    // The consumer thread's: the next gap message's number per device, and
    // the next marker message's.
    std::vector<uint64_t> gapSequence_;
    uint64_t markerSequence_ = 0;
    std::vector<std::string> gapTopics_;
    std::atomic<uint64_t> noticesUnsent_{0};
    std::unique_ptr<recording::ClockService> clock_;
};

}  // namespace kelvo::capture
