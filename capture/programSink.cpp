// SPDX-License-Identifier: MIT
#include "programSink.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

namespace kelvo::capture {

namespace {

// About ten seconds of four devices at 1 MB/s, decoded.
constexpr size_t kQueueBytes = size_t{64} << 20;
constexpr size_t kQueueBatches = 65536;

// A queued batch: this head, the values, then the times at an 8-byte offset.
struct QueuedHead {
    int32_t device;
    int32_t channels;
    int32_t count;
    int32_t unused;
};

size_t timesOffset(size_t values) { return (sizeof(QueuedHead) + values * sizeof(float) + 7) & ~size_t{7}; }

}  // namespace

ProgramSink::ProgramSink(const Session &session, Callback callback)
    : session_(session), callback_(std::move(callback)) {
    const size_t devices = session.devices().size();
    dropped_ = std::make_unique<std::atomic<uint64_t>[]>(devices);
    if (callback_) return;
    queue_ = std::make_unique<recording::ChunkQueue>(kQueueBytes, kQueueBatches);
    taken_ = std::make_unique_for_overwrite<unsigned char[]>(queue_->maxChunk());
    finishedFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ProgramSink::~ProgramSink() {
    if (finishedFd_ >= 0) close(finishedFd_);
}

void ProgramSink::take(const SessionBatch &b) {
    const int channels = static_cast<int>(session_.devices()[static_cast<size_t>(b.device)].channelNames.size());
    if (callback_) {
        const kelvoCaptureBatch batch{b.device, channels, static_cast<int>(b.count), static_cast<int64_t>(b.firstIndex),
                                      b.values, b.ticks};
        callback_(batch);
        return;
    }
    const size_t values = static_cast<size_t>(channels) * b.count;
    const size_t at = timesOffset(values);
    const size_t bytes = at + b.count * sizeof(int64_t);
    if (scratch_.size() < bytes) scratch_.resize(bytes);
    const QueuedHead head{b.device, channels, static_cast<int32_t>(b.count), 0};
    std::memcpy(scratch_.data(), &head, sizeof head);
    std::memcpy(scratch_.data() + sizeof head, b.values, values * sizeof(float));
    std::memcpy(scratch_.data() + at, b.ticks, b.count * sizeof(int64_t));
    if (!queue_->push(scratch_.data(), static_cast<uint32_t>(bytes), static_cast<int64_t>(b.firstIndex), 0)) {
        dropped_[static_cast<size_t>(b.device)].fetch_add(b.count, std::memory_order_relaxed);
    }
}

void ProgramSink::finished(const Session &) {
    finished_.store(true);
    if (finishedFd_ >= 0) {
        const uint64_t one = 1;
        (void)!write(finishedFd_, &one, sizeof one);
    }
}

uint64_t ProgramSink::droppedSamples(int device) const {
    return dropped_[static_cast<size_t>(device)].load(std::memory_order_relaxed);
}

bool ProgramSink::pop(kelvoCaptureBatch &batch) {
    recording::Chunk chunk;
    if (!queue_->pop(chunk, taken_.get())) return false;
    QueuedHead head{};
    std::memcpy(&head, taken_.get(), sizeof head);
    const size_t values = static_cast<size_t>(head.channels) * static_cast<size_t>(head.count);
    batch = {head.device,
             head.channels,
             head.count,
             chunk.firstIndex,
             reinterpret_cast<const float *>(taken_.get() + sizeof head),
             reinterpret_cast<const int64_t *>(taken_.get() + timesOffset(values))};
    return true;
}

ProgramSink::Read ProgramSink::read(kelvoCaptureBatch &batch, std::chrono::milliseconds timeout) {
    if (!queue_) return Read::ended;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // The end is seen before the last look, so nothing queued is missed.
        const bool ended = finished_.load();
        if (pop(batch)) return Read::batch;
        if (ended) return Read::ended;
        if (!queue_->armWakeup()) continue;
        int wait = -1;
        if (timeout.count() >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return pop(batch) ? Read::batch : Read::timedOut;
            wait = static_cast<int>(left.count()) + 1;
        }
        pollfd fds[2] = {{queue_->wakeupFd(), POLLIN, 0}, {finishedFd_, POLLIN, 0}};
        poll(fds, 2, wait);
        queue_->drainWakeup();
    }
}

}  // namespace kelvo::capture
