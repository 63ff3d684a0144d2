// SPDX-License-Identifier: MIT
// A session's streams on a ZeroMQ PUB socket (docs/wire-format.md): each
// device's consecutive samples batched into messages, each gap and marker
// as one, and the meta document at the start, once a second and at the end.
//
// A message holds what came within kBatchPeriodTicks of the arrival of its
// first chunk, or kBatchBytes of whole samples, whichever comes first: at
// most 100 messages a second per device and one per 64 KiB, however small
// the device's chunks. A break in the index and the end send what is held.
#pragma once

#include <atomic>
#include <cstdint>
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
    static constexpr int64_t kBatchPeriodTicks = 100'000;  // 10 ms
    static constexpr size_t kBatchBytes = 65536;
    // kelvo's send high-water mark: at most 100 messages a second per
    // device plus one per 64 KiB, about 460 a second for four devices at
    // 1 MB/s, so about ten seconds of them.
    static constexpr int kDefaultHighWaterMark = 5000;
    static constexpr int kEndLingerMs = 5000;

    // Binds the socket through `listeners`; throws CaptureError with
    // ZeroMQ's text when it cannot. A high-water mark of 0 takes
    // kDefaultHighWaterMark.
    PublishSink(const std::string &endpoint, const std::string &topicPrefix, int highWaterMark, const Session &session,
                recording::Listeners &listeners);

    // The format version of the data messages, 1 or 3 (the default); before
    // the session starts.
    void setWireVersion(uint32_t version) { wireVersion_ = version; }

    bool wantsValues() const override { return false; }
    const char *threadName() const override { return "kelvo-sender"; }
    void started(const Session &session) override { sendMeta(session); }
    void take(const SessionBatch &batch) override;
    void everySecond(const Session &session) override { sendMeta(session); }
    int64_t flushDue(int64_t nowTicks) override;
    void finished(const Session &session) override;
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
    // A device's samples waiting to go out as one message; the consumer
    // thread's. The buffer is allocated once, for kBatchBytes of whole
    // samples.
    struct Pending {
        std::unique_ptr<unsigned char[]> bytes;
        uint32_t capacity = 0;  // samples
        uint32_t count = 0;
        uint64_t firstIndex = 0;
        int64_t arrivalTicks = 0;  // of the first chunk
        int64_t firstTicks = 0;    // the first sample's on the device's clock
        double periodTicks = 0;
    };

    void hold(size_t device, const SessionBatch &batch, uint32_t from, uint32_t count);
    void flush(size_t device);
    void sendMeta(const Session &session);

    std::unique_ptr<recording::ZmqSocket> socket_;
    const Session &session_;
    uint32_t wireVersion_;
    std::vector<std::string> topics_;
    std::vector<Pending> pending_;
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
