// SPDX-License-Identifier: MIT
// The chunk queue between the library's callback and the consumer, and the
// cutting of its chunks into whole samples, the way they fail: a producer
// thread pushing a numbered stream in chunks of random size into a queue
// too small to keep up, a consumer taking them out at its own pace.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "chunkQueue.h"
#include "streamCapture.h"

using kelvo::recording::Batch;
using kelvo::recording::Chunk;
using kelvo::recording::ChunkQueue;
using kelvo::recording::SampleAssembler;

namespace {

constexpr int kSampleBytes = 7;

// Byte k of the stream: sample k / 7 carries its index in its first four
// bytes, then a pattern that depends on the index and the position.
unsigned char streamByte(uint64_t k) {
    const uint64_t sample = k / kSampleBytes;
    const uint64_t at = k % kSampleBytes;
    return at < 4 ? static_cast<unsigned char>(sample >> (8 * at)) : static_cast<unsigned char>(sample * 31 + at);
}

}  // namespace

TEST(ChunkQueue, ANumberedStreamArrivesAsWholeIndexedSamplesAcrossDropsAndWraps) {
    ChunkQueue queue(4096, 64);
    constexpr uint64_t kBytes = 20'000'000;
    std::atomic<bool> finished{false};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> lastQueuedEnd{0};
    std::thread producer([&] {
        std::mt19937 random(7);
        std::vector<unsigned char> chunk(3000);
        uint64_t offset = 0;
        while (offset < kBytes) {
            const uint32_t n = std::uniform_int_distribution<uint32_t>(1, 3000)(random);
            for (uint32_t i = 0; i < n; ++i) chunk[i] = streamByte(offset + i);
            if (queue.push(chunk.data(), n, static_cast<int64_t>(offset), false)) {
                lastQueuedEnd = offset + n;
            } else {
                dropped += n;
            }
            offset += n;
            // Now and then a pause, so that the consumer catches up and sleeps.
            if (random() % 512 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        finished = true;
    });

    SampleAssembler assembler(0, kSampleBytes, queue.maxChunk());
    std::vector<unsigned char> bytes(queue.maxChunk());
    uint64_t nextIndex = 0;
    uint64_t delivered = 0;
    bool intact = true;
    const auto sink = [&](const Batch &b) {
        intact = intact && b.firstSample >= nextIndex;
        for (uint32_t s = 0; s < b.count && intact; ++s) {
            const uint64_t index = b.firstSample + s;
            for (int i = 0; i < kSampleBytes; ++i) {
                intact = intact && b.bytes[s * kSampleBytes + i] == streamByte(index * kSampleBytes + i);
            }
        }
        nextIndex = b.firstSample + b.count;
        delivered += b.count;
    };
    Chunk chunk;
    while (true) {
        const bool wasFinished = finished.load();
        if (queue.pop(chunk, bytes.data())) {
            EXPECT_EQ(chunk.ticks, static_cast<int64_t>(chunk.offset)) << "the record belongs to its bytes";
            assembler.take(chunk, bytes.data(), sink);
            continue;
        }
        if (wasFinished) break;
        if (queue.armWakeup()) {
            pollfd fd = {queue.wakeupFd(), POLLIN, 0};
            poll(&fd, 1, 100);
            queue.drainWakeup();
        }
    }
    producer.join();
    ASSERT_TRUE(intact) << "a sample came out cut, shifted or under the wrong index";
    EXPECT_GE(queue.offered(), kBytes);
    EXPECT_EQ(queue.droppedBytes(), dropped.load());
    EXPECT_GT(dropped.load(), 0u) << "the queue was meant to overflow";
    // Every sample up to the end of the last queued chunk is either
    // delivered or counted lost.
    EXPECT_EQ(assembler.samples(), lastQueuedEnd.load() / kSampleBytes);
    EXPECT_EQ(delivered + assembler.lost(), assembler.samples());
}
