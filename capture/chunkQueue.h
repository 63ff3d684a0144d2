// SPDX-License-Identifier: MIT
// A single-producer single-consumer queue of stream chunks: the library's
// sample callback (on its I/O thread) puts each run of whole samples in
// with its stream index and the moment it arrived; one consumer thread takes
// them out and does the slow work (HDF5, sockets). Nothing is allocated
// after construction and neither side ever waits for the other: a chunk that
// finds no room is dropped whole and the gap shows in the stream indices of
// the chunks that follow.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace kelvo::recording {

struct Chunk {
    int64_t firstIndex = 0;  // the stream index of its first sample
    int64_t ticks = 0;       // kelvoGetTicks() when the chunk arrived
    uint32_t length = 0;     // bytes
};

class ChunkQueue {
public:
    // Capacities are rounded up to powers of two.
    ChunkQueue(size_t byteCapacity, size_t chunkCapacity);
    ~ChunkQueue();
    ChunkQueue(const ChunkQueue &) = delete;
    ChunkQueue &operator=(const ChunkQueue &) = delete;

    // Producer: false (and nothing queued) when either ring lacks room.
    bool push(const unsigned char *bytes, uint32_t length, int64_t firstIndex, int64_t ticks);
    // Consumer: the oldest chunk's record and bytes (copied out); false when empty.
    // `bytes` must hold at least maxChunk() bytes.
    bool pop(Chunk &chunk, unsigned char *bytes);
    size_t maxChunk() const { return bytes_.capacity; }

    // Bytes the producer has been offered, and those it had to drop.
    uint64_t offered() const { return offered_.load(std::memory_order_acquire); }
    uint64_t droppedBytes() const { return dropped_.load(std::memory_order_acquire); }

    // The consumer sleeps on this descriptor (POLLIN) after armWakeup()
    // returned true; the producer writes it only while the consumer is armed,
    // so a busy consumer costs the I/O thread no system call.
    int wakeupFd() const { return wakeup_; }
    // Consumer: arms the wake-up; false when something is already queued.
    bool armWakeup();
    // Consumer: clears the descriptor after waking.
    void drainWakeup() const;

private:
    struct Ring {
        size_t capacity = 0;
        std::unique_ptr<unsigned char[]> data;
    };
    Ring bytes_;
    std::unique_ptr<Chunk[]> chunks_;
    size_t chunkCapacity_;
    // The producer owns the heads, the consumer the tails.
    std::atomic<uint64_t> byteHead_{0}, byteTail_{0}, chunkHead_{0}, chunkTail_{0};
    std::atomic<uint64_t> offered_{0}, dropped_{0};
    std::atomic<bool> armed_{false};
    int wakeup_ = -1;
};

}  // namespace kelvo::recording
