// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "byteRing.h"

using namespace kelvo;

namespace {

struct Ring {
    explicit Ring(uint32_t size) : memory(size), ring{0, 0, memory.data(), size} {}
    std::vector<uint8_t> memory;
    ByteRing ring;
};

std::vector<uint8_t> counting(uint32_t n, uint8_t from = 0) {
    std::vector<uint8_t> bytes(n);
    for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(from + i);
    return bytes;
}

TEST(ByteRing, KeepsOneByteFree) {
    Ring r(8192);
    EXPECT_EQ(ringFree(r.ring), 8191u);
    EXPECT_FALSE(ringPut(r.ring, counting(8192).data(), 8192));
    EXPECT_EQ(ringFill(r.ring), 0u);
    // A put of exactly the free space is accepted (the stream queue's rule).
    EXPECT_TRUE(ringPut(r.ring, counting(8191).data(), 8191));
    EXPECT_EQ(ringFill(r.ring), 8191u);
    EXPECT_EQ(ringFree(r.ring), 0u);
    EXPECT_FALSE(ringPut(r.ring, counting(1).data(), 1));
}

TEST(ByteRing, PutEndingAtTheEndOfTheBufferWrapsHeadToZero) {
    Ring r(16);
    std::vector<uint8_t> out(16);
    ASSERT_TRUE(ringPut(r.ring, counting(10).data(), 10));
    ringTake(r.ring, out.data(), 10);
    ASSERT_TRUE(ringPut(r.ring, counting(6).data(), 6));
    EXPECT_EQ(r.ring.head, 0u);
    EXPECT_EQ(ringFill(r.ring), 6u);
}

TEST(ByteRing, BytesCrossingTheEndComeOutInOrder) {
    Ring r(16);
    std::vector<uint8_t> out(16);
    ASSERT_TRUE(ringPut(r.ring, counting(12).data(), 12));
    ringTake(r.ring, out.data(), 12);
    const auto data = counting(13, 100);
    ASSERT_TRUE(ringPut(r.ring, data.data(), 13));
    EXPECT_LT(r.ring.head, r.ring.tail);
    EXPECT_EQ(ringFill(r.ring), 13u);
    EXPECT_EQ(ringFree(r.ring), 2u);
    ringTake(r.ring, out.data(), 13);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    EXPECT_EQ(ringFill(r.ring), 0u);
}

TEST(ByteRing, RefusedPutChangesNothing) {
    Ring r(16);
    ASSERT_TRUE(ringPut(r.ring, counting(10).data(), 10));
    const ByteRing before = r.ring;
    const auto memoryBefore = r.memory;
    EXPECT_FALSE(ringPut(r.ring, counting(6, 50).data(), 6));
    EXPECT_EQ(r.ring.head, before.head);
    EXPECT_EQ(r.memory, memoryBefore);
}

TEST(ByteRing, SkipReleasesBytesAcrossTheEndWithoutCopying) {
    Ring r(16);
    std::vector<uint8_t> out(16);
    ASSERT_TRUE(ringPut(r.ring, counting(12).data(), 12));
    ringTake(r.ring, out.data(), 12);
    ASSERT_TRUE(ringPut(r.ring, counting(10, 50).data(), 10));
    ringSkip(r.ring, 6);
    EXPECT_EQ(r.ring.tail, 2u);
    ringTake(r.ring, out.data(), 4);
    EXPECT_EQ(out[0], 56);
    EXPECT_EQ(out[3], 59);
    EXPECT_EQ(ringFill(r.ring), 0u);
}

TEST(ByteRing, DiscardEmptiesTheQueue) {
    Ring r(16);
    ASSERT_TRUE(ringPut(r.ring, counting(7).data(), 7));
    ringDiscard(r.ring);
    EXPECT_EQ(ringFill(r.ring), 0u);
    EXPECT_EQ(ringFree(r.ring), 15u);
}

// A producer and a consumer thread move sequence-numbered bytes in random
// chunk sizes that keep crossing the wrap point; every byte must arrive once,
// in order.
TEST(ByteRing, ProducerAndConsumerThreadsKeepEveryByteInOrder) {
    Ring r(257);
    constexpr uint32_t kTotal = 2'000'000;
    std::thread producer([&] {
        std::mt19937 random(1);
        uint32_t sent = 0;
        std::vector<uint8_t> chunk(300);
        while (sent < kTotal) {
            const uint32_t n = std::min<uint32_t>(kTotal - sent, 1 + random() % 200);
            for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((sent + i) * 7);
            if (ringPut(r.ring, chunk.data(), n)) {
                sent += n;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::mt19937 random(2);
    std::vector<uint8_t> chunk(300);
    uint32_t received = 0;
    bool inOrder = true;
    while (received < kTotal) {
        const uint32_t n = std::min<uint32_t>(ringFill(r.ring), 1 + random() % 200);
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        ringTake(r.ring, chunk.data(), n);
        for (uint32_t i = 0; i < n; ++i) inOrder = inOrder && chunk[i] == static_cast<uint8_t>((received + i) * 7);
        received += n;
    }
    producer.join();
    EXPECT_TRUE(inOrder) << "at byte " << received;
    EXPECT_EQ(ringFill(r.ring), 0u);
}

}  // namespace
