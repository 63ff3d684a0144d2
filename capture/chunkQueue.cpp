// SPDX-License-Identifier: MIT
#include "chunkQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <stdexcept>

namespace kelvo::recording {

ChunkQueue::ChunkQueue(size_t byteCapacity, size_t chunkCapacity)
    : chunks_(new Chunk[std::bit_ceil(chunkCapacity)]), chunkCapacity_(std::bit_ceil(chunkCapacity)) {
    bytes_.capacity = std::bit_ceil(byteCapacity);
    bytes_.data.reset(new unsigned char[bytes_.capacity]);
    wakeup_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeup_ < 0) throw std::runtime_error("eventfd failed");
}

ChunkQueue::~ChunkQueue() { close(wakeup_); }

bool ChunkQueue::push(const unsigned char *bytes, uint32_t length, int64_t firstIndex, int64_t ticks) {
    offered_.store(offered_.load(std::memory_order_relaxed) + length, std::memory_order_release);
    const uint64_t byteHead = byteHead_.load(std::memory_order_relaxed);
    const uint64_t chunkHead = chunkHead_.load(std::memory_order_relaxed);
    if (byteHead + length - byteTail_.load(std::memory_order_acquire) > bytes_.capacity ||
        chunkHead - chunkTail_.load(std::memory_order_acquire) >= chunkCapacity_) {
        dropped_.fetch_add(length, std::memory_order_acq_rel);
        return false;
    }
    const size_t at = byteHead & (bytes_.capacity - 1);
    const size_t first = std::min<size_t>(length, bytes_.capacity - at);
    std::memcpy(bytes_.data.get() + at, bytes, first);
    std::memcpy(bytes_.data.get(), bytes + first, length - first);
    chunks_[chunkHead & (chunkCapacity_ - 1)] = Chunk{firstIndex, ticks, length};
    byteHead_.store(byteHead + length, std::memory_order_release);
    // Sequentially consistent with armWakeup(): either the consumer sees
    // this chunk, or this side sees the consumer armed.
    chunkHead_.store(chunkHead + 1, std::memory_order_seq_cst);
    if (armed_.exchange(false, std::memory_order_seq_cst)) {
        const uint64_t one = 1;
        (void)!write(wakeup_, &one, sizeof one);
    }
    return true;
}

bool ChunkQueue::pop(Chunk &chunk, unsigned char *bytes) {
    const uint64_t chunkTail = chunkTail_.load(std::memory_order_relaxed);
    if (chunkHead_.load(std::memory_order_acquire) == chunkTail) return false;
    chunk = chunks_[chunkTail & (chunkCapacity_ - 1)];
    // The chunk's bytes were published before its record.
    const uint64_t byteTail = byteTail_.load(std::memory_order_relaxed);
    const size_t at = byteTail & (bytes_.capacity - 1);
    const size_t first = std::min<size_t>(chunk.length, bytes_.capacity - at);
    std::memcpy(bytes, bytes_.data.get() + at, first);
    std::memcpy(bytes + first, bytes_.data.get(), chunk.length - first);
    byteTail_.store(byteTail + chunk.length, std::memory_order_release);
    chunkTail_.store(chunkTail + 1, std::memory_order_release);
    return true;
}

bool ChunkQueue::armWakeup() {
    armed_.store(true, std::memory_order_seq_cst);
    // A chunk pushed before the store above found the wake-up unarmed.
    if (chunkHead_.load(std::memory_order_seq_cst) != chunkTail_.load(std::memory_order_relaxed)) {
        armed_.store(false, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void ChunkQueue::drainWakeup() const {
    uint64_t count = 0;
    (void)!read(wakeup_, &count, sizeof count);
}

}  // namespace kelvo::recording
