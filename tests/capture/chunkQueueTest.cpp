// SPDX-License-Identifier: MIT
// The chunk queue between the library's sample callback and the consumer,
// the way it fails: a producer thread pushing a numbered stream in runs of
// whole samples of random length into a queue too small to keep up, a
// consumer taking them out at its own pace.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <random>
#include <thread>

#include "chunkQueue.h"

using kelvo::recording::Chunk;
using kelvo::recording::ChunkQueue;

namespace {

constexpr int kSampleBytes = 7;

// Byte `at` of sample `index`: its index in the first four bytes, then a
// pattern that depends on the index and the position.
unsigned char sampleByte(uint64_t index, uint64_t at) {
    return at < 4 ? static_cast<unsigned char>(index >> (8 * at)) : static_cast<unsigned char>(index * 31 + at);
}

}  // namespace

TEST(ChunkQueue, NumberedSamplesArriveIntactUnderTheirIndexAcrossDropsAndWraps) {
    ChunkQueue queue(4096, 64);
    constexpr uint64_t kSamples = 3'000'000;
    std::atomic<bool> finished{false};
    std::atomic<uint64_t> droppedSamples{0};
    std::atomic<uint64_t> produced{0};
    std::thread producer([&] {
        std::mt19937 random(7);
        std::vector<unsigned char> chunk(430 * kSampleBytes);
        uint64_t index = 0;
        while (index < kSamples) {
            const uint32_t n = std::uniform_int_distribution<uint32_t>(1, 430)(random);
            for (uint32_t s = 0; s < n; ++s) {
                for (int at = 0; at < kSampleBytes; ++at) chunk[s * kSampleBytes + at] = sampleByte(index + s, at);
            }
            const auto first = static_cast<int64_t>(index);
            // The ticks carry the index too, to show that a record stays with its bytes.
            if (!queue.push(chunk.data(), n * kSampleBytes, first, -first)) droppedSamples += n;
            index += n;
            // Now and then a pause, so that the consumer catches up and sleeps.
            if (random() % 512 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        produced = index;
        finished = true;
    });

    std::vector<unsigned char> bytes(queue.maxChunk());
    uint64_t nextIndex = 0;
    uint64_t delivered = 0;
    uint64_t skipped = 0;
    bool intact = true;
    bool recordsMatch = true;
    bool inOrder = true;
    Chunk chunk;
    while (true) {
        const bool wasFinished = finished.load();
        if (queue.pop(chunk, bytes.data())) {
            // A failure here only marks the run: the producer must be joined.
            recordsMatch = recordsMatch && chunk.ticks == -chunk.firstIndex && chunk.length % kSampleBytes == 0;
            const auto first = static_cast<uint64_t>(chunk.firstIndex);
            inOrder = inOrder && first >= nextIndex;
            if (!inOrder) continue;
            skipped += first - nextIndex;
            const uint32_t count = chunk.length / kSampleBytes;
            for (uint32_t s = 0; s < count && intact; ++s) {
                for (int at = 0; at < kSampleBytes; ++at) {
                    intact = intact && bytes[s * kSampleBytes + at] == sampleByte(first + s, at);
                }
            }
            nextIndex = first + count;
            delivered += count;
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
    ASSERT_TRUE(recordsMatch) << "a record (index, ticks, whole samples) does not belong to its bytes";
    ASSERT_TRUE(inOrder) << "chunks came out of order";
    ASSERT_TRUE(intact) << "a sample came out cut, shifted or under the wrong index";
    EXPECT_EQ(queue.offered(), produced.load() * kSampleBytes);
    EXPECT_EQ(queue.droppedBytes(), droppedSamples.load() * kSampleBytes);
    EXPECT_GT(droppedSamples.load(), 0u) << "the queue was meant to overflow";
    // Every sample is delivered, or lost whole where the index jumps.
    EXPECT_EQ(delivered + droppedSamples.load(), produced.load());
    EXPECT_EQ(skipped + (produced.load() - nextIndex), droppedSamples.load());
}
