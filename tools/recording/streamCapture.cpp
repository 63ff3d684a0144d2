// SPDX-License-Identifier: MIT
#include "streamCapture.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "kelvo.h"

namespace kelvo::recording {

namespace {

// The library's callback carries no slot, so each slot has its own
// trampoline; the queue pointers are read on the I/O thread.
std::atomic<ChunkQueue *> gQueues[4];
std::atomic<uint64_t> gFramingErrors[4];

// A framing error makes the library resynchronise at the next block, which
// begins a new sample; the chunk after it is marked so that the consumer
// aligns there.
bool framingErrorSince(int slot) {
    kelvoStreamStats stats{};
    if (kelvoGetStreamStats(slot, &stats) != 0) return false;
    return gFramingErrors[slot].exchange(stats.framingErrors, std::memory_order_relaxed) != stats.framingErrors;
}

template <int Slot>
void onData(const unsigned char *data, int count) {
    ChunkQueue *queue = gQueues[Slot].load(std::memory_order_acquire);
    if (queue == nullptr || count <= 0) return;
    queue->push(data, static_cast<uint32_t>(count), kelvoGetTicks(), framingErrorSince(Slot));
}

constexpr kelvoDataCallback kTrampolines[4] = {onData<0>, onData<1>, onData<2>, onData<3>};

// Room for about four seconds of a device streaming at 1 MB/s.
constexpr size_t kQueueBytes = size_t{4} << 20;
constexpr size_t kQueueChunks = 32768;

}  // namespace

StreamCapture::StreamCapture(const std::vector<Source> &sources) {
    for (const Source &source : sources) {
        if (source.slot < 0 || source.slot > 3 || source.sampleBytes <= 0) {
            throw std::invalid_argument("a stream needs a slot 0..3 and a sample size");
        }
        auto queue = std::make_unique<ChunkQueue>(kQueueBytes, kQueueChunks);
        const size_t maxChunk = queue->maxChunk();
        devices_.push_back(Device{source, std::move(queue), std::vector<unsigned char>(maxChunk),
                                  SampleAssembler(static_cast<int>(devices_.size()), source.sampleBytes, maxChunk)});
    }
}

StreamCapture::~StreamCapture() { detach(); }

void StreamCapture::attach() {
    for (const Device &d : devices_) {
        const int slot = d.source.slot;
        kelvoStreamStats stats{};
        gFramingErrors[slot].store(kelvoGetStreamStats(slot, &stats) == 0 ? stats.framingErrors : 0);
        gQueues[slot].store(d.queue.get(), std::memory_order_release);
        kelvoSetCallbackData(slot, kTrampolines[slot]);
    }
    attached_ = true;
}

void StreamCapture::detach() {
    if (!attached_) return;
    for (const Device &d : devices_) {
        kelvoSetCallbackData(d.source.slot, nullptr);
        gQueues[d.source.slot].store(nullptr, std::memory_order_release);
    }
    attached_ = false;
    // The I/O thread may be inside a callback that loaded the queue just
    // before; kelvoGetTicks-sized work, so a short pause lets it finish
    // before the queues can be destroyed.
    struct timespec pause = {0, 20000000};
    nanosleep(&pause, nullptr);
}

bool StreamCapture::drain(std::chrono::milliseconds timeout, const std::function<void(const Batch &)> &sink) {
    bool any = false;
    Chunk chunk;
    for (size_t i = 0; i < devices_.size(); ++i) {
        Device &d = devices_[i];
        while (d.queue->pop(chunk, d.chunk.data())) {
            d.assembler.take(chunk, d.chunk.data(), sink);
            any = true;
        }
    }
    if (any || timeout.count() <= 0) return any;
    pollfd fds[4];
    nfds_t n = 0;
    for (Device &d : devices_) {
        if (!d.queue->armWakeup()) return drain(std::chrono::milliseconds(0), sink);
        fds[n++] = {d.queue->wakeupFd(), POLLIN, 0};
    }
    poll(fds, n, static_cast<int>(timeout.count()));
    for (Device &d : devices_) d.queue->drainWakeup();
    return drain(std::chrono::milliseconds(0), sink);
}

SampleAssembler::SampleAssembler(int device, int sampleBytes, size_t maxChunk)
    : device_(device), size_(static_cast<uint64_t>(sampleBytes)), out_(maxChunk + static_cast<size_t>(sampleBytes)) {}

void SampleAssembler::take(const Chunk &chunk, const unsigned char *bytes,
                           const std::function<void(const Batch &)> &sink) {
    if (chunk.resync) {
        // The library dropped the partial sample and counts it itself.
        pending_ = 0;
        skip_ = 0;
        alignBase_ = chunk.offset;
        baseIndex_ = nextSample_;
    } else if (chunk.offset != expected_) {
        // Chunks were dropped: the partial sample is lost, and so is every
        // sample up to the next one that begins within this chunk or later.
        pending_ = 0;
        const uint64_t boundary = alignBase_ + (chunk.offset - alignBase_ + size_ - 1) / size_ * size_;
        const uint64_t resumeAt = baseIndex_ + (boundary - alignBase_) / size_;
        lost_ += resumeAt - nextSample_;
        nextSample_ = resumeAt;
        skip_ = boundary - chunk.offset;
    }
    expected_ = chunk.offset + chunk.length;

    const size_t skipped = static_cast<size_t>(std::min<uint64_t>(skip_, chunk.length));
    const unsigned char *p = bytes + skipped;
    const size_t n = chunk.length - skipped;
    skip_ -= skipped;
    if (n == 0) return;

    const int64_t ticks = pending_ > 0 ? pendingTicks_ : chunk.ticks;
    std::memcpy(out_.data() + pending_, p, n);
    const size_t total = pending_ + n;
    const size_t whole = total / size_;
    if (whole > 0) {
        sink(Batch{device_, nextSample_, static_cast<uint32_t>(whole), out_.data(), ticks});
        nextSample_ += whole;
    }
    pending_ = total - whole * size_;
    if (pending_ > 0) {
        // What is left came from this chunk alone when a sample was completed.
        std::memmove(out_.data(), out_.data() + whole * size_, pending_);
        pendingTicks_ = whole > 0 ? chunk.ticks : ticks;
    }
}

}  // namespace kelvo::recording
