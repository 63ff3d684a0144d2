// SPDX-License-Identifier: MIT
#include "streamCapture.h"

#include <poll.h>

#include <ctime>
#include <stdexcept>

#include "kelvo.h"

namespace kelvo::recording {

namespace {

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
        devices_.push_back(
            std::make_unique<Device>(Device{source, std::move(queue), std::vector<unsigned char>(maxChunk)}));
    }
}

StreamCapture::~StreamCapture() { detach(); }

// The I/O thread: a copy into the queue, nothing more. The arrival tick is
// what the published header carries; the sample clock's time of the first
// sample is asked for later, by those that need it.
void StreamCapture::onSamples(void *user, const void *samples, int count, int64_t firstIndex, int64_t) {
    Device &d = *static_cast<Device *>(user);
    if (count <= 0) return;
    const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(d.source.sampleBytes);
    d.queue->push(static_cast<const unsigned char *>(samples), static_cast<uint32_t>(bytes), firstIndex,
                  kelvoGetTicks());
}

void StreamCapture::attach() {
    for (const std::unique_ptr<Device> &d : devices_) kelvoSetSampleCallback(d->source.slot, onSamples, d.get());
    attached_ = true;
}

void StreamCapture::attach(int device) {
    Device &d = *devices_[static_cast<size_t>(device)];
    kelvoSetSampleCallback(d.source.slot, onSamples, &d);
}

void StreamCapture::detach() {
    if (!attached_) return;
    for (const std::unique_ptr<Device> &d : devices_) kelvoSetSampleCallback(d->source.slot, nullptr, nullptr);
    attached_ = false;
    // The I/O thread may be inside a callback that it entered just before;
    // a copy's worth of work, so a short pause lets it finish before the
    // queues can be destroyed.
    struct timespec pause = {0, 20000000};
    nanosleep(&pause, nullptr);
}

uint64_t StreamCapture::lostSamples(int device) const {
    const Device &d = *devices_[static_cast<size_t>(device)];
    return d.queue->droppedBytes() / static_cast<uint64_t>(d.source.sampleBytes);
}

bool StreamCapture::drain(std::chrono::milliseconds timeout, const std::function<void(const Batch &)> &sink,
                          int alsoWake) {
    bool any = false;
    Chunk chunk;
    for (size_t i = 0; i < devices_.size(); ++i) {
        Device &d = *devices_[i];
        const auto size = static_cast<uint32_t>(d.source.sampleBytes);
        while (d.queue->pop(chunk, d.chunk.data())) {
            sink(Batch{static_cast<int>(i), static_cast<uint64_t>(chunk.firstIndex), chunk.length / size,
                       d.chunk.data(), chunk.ticks});
            any = true;
        }
    }
    if (any || timeout.count() <= 0) return any;
    pollfd fds[5];
    nfds_t n = 0;
    if (alsoWake >= 0) fds[n++] = {alsoWake, POLLIN, 0};
    for (const std::unique_ptr<Device> &d : devices_) {
        if (!d->queue->armWakeup()) return drain(std::chrono::milliseconds(0), sink);
        fds[n++] = {d->queue->wakeupFd(), POLLIN, 0};
    }
    poll(fds, n, static_cast<int>(timeout.count()));
    for (const std::unique_ptr<Device> &d : devices_) d->queue->drainWakeup();
    return drain(std::chrono::milliseconds(0), sink);
}

}  // namespace kelvo::recording
