// SPDX-License-Identifier: MIT
// A queue of samples fed in chunks of any length stays a run of whole,
// unmixed samples however often it overflows.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "byteRing.h"
#include "sampleFeed.h"

using namespace kelvo;

namespace {

// Sample i is three 16-bit words that only fit together as i, ~i, i ^ 0x5A5A.
constexpr uint32_t kSample = 6;

std::vector<uint8_t> samples(uint32_t first, uint32_t count) {
    std::vector<uint8_t> bytes(count * kSample);
    for (uint32_t i = 0; i < count; ++i) {
        const auto n = static_cast<uint16_t>(first + i);
        const uint16_t words[3] = {n, static_cast<uint16_t>(~n), static_cast<uint16_t>(n ^ 0x5A5A)};
        std::memcpy(&bytes[i * kSample], words, sizeof words);
    }
    return bytes;
}

// Takes every whole sample queued; each must be intact and come after the last.
class Drain {
public:
    void take(ByteRing &ring) {
        const uint32_t count = ringFill(ring) / kSample;
        for (uint32_t k = 0; k < count; ++k) {
            uint16_t words[3];
            ringTake(ring, words, kSample);
            EXPECT_EQ(words[1], static_cast<uint16_t>(~words[0])) << "sample " << taken;
            EXPECT_EQ(words[2], words[0] ^ 0x5A5A) << "sample " << taken;
            if (taken > 0) {
                EXPECT_GT(words[0], last) << "samples out of order";
            }
            last = words[0];
            ++taken;
        }
    }
    uint32_t taken = 0;
    uint16_t last = 0;
};

struct FedRing {
    std::vector<uint8_t> memory = std::vector<uint8_t>(61);
    ByteRing ring{0, 0, memory.data(), 61};
    SampleFeed feed;
};

TEST(SampleFeed, OverflowsDropWholeSamplesNeverMixTwoAndCountEveryLoss) {
    FedRing q;
    Drain drain;
    const std::vector<uint8_t> stream = samples(0, 4000);
    std::mt19937 random(7);
    uint32_t dropped = 0;
    for (size_t at = 0; at < stream.size();) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(random() % 23 + 1, stream.size() - at));
        dropped += feedSamples(q.ring, nullptr, q.feed, stream.data() + at, n, kSample);
        at += n;
        if (random() % 4 == 0) drain.take(q.ring);
    }
    drain.take(q.ring);
    EXPECT_GT(dropped, 50u);
    EXPECT_GT(drain.taken, 500u);
    EXPECT_EQ(drain.taken + dropped, 4000u) << "every sample either arrives or is counted lost";
}

TEST(SampleFeed, WithRoomEveryByteArrives) {
    FedRing q;
    Drain drain;
    const std::vector<uint8_t> stream = samples(0, 1000);
    for (size_t at = 0; at < stream.size(); at += 7) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(7, stream.size() - at));
        EXPECT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data() + at, n, kSample), 0u);
        drain.take(q.ring);
    }
    EXPECT_EQ(drain.taken, 1000u);
}

TEST(SampleFeed, AfterBytesWentToACallbackTheQueueResumesAtASampleStart) {
    FedRing q;
    Drain drain;
    const std::vector<uint8_t> stream = samples(0, 100);
    ASSERT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data(), 10, kSample), 0u);  // ends inside sample 1
    // The callback got bytes 10 to 32: the queue finishes sample 1 with two
    // of them and takes up the stream again at sample 6 (byte 36).
    bypassFeed(q.ring, nullptr, q.feed, stream.data() + 10, 23, kSample);
    ASSERT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data() + 33, 40, kSample), 0u);
    drain.take(q.ring);
    EXPECT_EQ(drain.taken, 8u);  // 0, 1, 6 to 11
    EXPECT_EQ(drain.last, 11);
}

TEST(SampleFeed, NoLayoutOrASampleLargerThanTheQueueKeepsPlainChunks) {
    for (int64_t size : {int64_t{0}, int64_t{-4}, int64_t{61}, int64_t{1} << 40}) {
        FedRing q;
        const std::vector<uint8_t> bytes(60, 1);
        EXPECT_EQ(feedSamples(q.ring, nullptr, q.feed, bytes.data(), 7, size), 0u) << size;
        EXPECT_EQ(feedSamples(q.ring, nullptr, q.feed, bytes.data(), 53, size), 0u) << size;
        EXPECT_EQ(feedSamples(q.ring, nullptr, q.feed, bytes.data(), 1, size), 1u) << size;
        EXPECT_EQ(ringFill(q.ring), 60u) << size;
        ringSkip(q.ring, 1);
        EXPECT_EQ(feedSamples(q.ring, nullptr, q.feed, bytes.data(), 1, size), 0u) << size << ": nothing skipped";
    }
}

// A stream that breaks off mid-sample: the queue never shows the bytes of
// the cut sample, and the sample after the break starts afresh.
TEST(SampleFeed, ACutDropsTheUnfinishedSampleUnseen) {
    FedRing q;
    Drain drain;
    const std::vector<uint8_t> stream = samples(0, 10);
    ASSERT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data(), 14, kSample), 0u);  // samples 0, 1 and 2 bytes of 2
    EXPECT_EQ(ringFill(q.ring), 12u) << "only whole samples are queued";
    EXPECT_TRUE(cutFeed(q.feed));
    EXPECT_FALSE(cutFeed(q.feed)) << "nothing left to drop";
    ASSERT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data() + 30, 30, kSample), 0u);  // samples 5 to 9
    drain.take(q.ring);
    EXPECT_EQ(drain.taken, 7u);
    EXPECT_EQ(drain.last, 9);
    EXPECT_EQ(ringFill(q.ring), 0u);
}

// After an overflow the feed owes the rest of a lost sample; a cut then
// drops nothing more (the loss was counted) and the next byte starts a sample.
TEST(SampleFeed, ACutWhileSkippingCountsNothingTwice) {
    FedRing q;
    const std::vector<uint8_t> stream = samples(0, 20);
    ASSERT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data(), 60, kSample), 0u);  // fills the ring
    EXPECT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data() + 60, 9, kSample), 2u);
    EXPECT_FALSE(cutFeed(q.feed));
    ringSkip(q.ring, 60);
    ASSERT_EQ(feedSamples(q.ring, nullptr, q.feed, stream.data() + 90, 12, kSample), 0u);
    Drain drain;
    drain.take(q.ring);
    EXPECT_EQ(drain.taken, 2u);
    EXPECT_EQ(drain.last, 16);
}

std::vector<uint8_t> calledBack;
std::vector<int> callSizes;
void record(const unsigned char *data, int count) {
    calledBack.insert(calledBack.end(), data, data + count);
    callSizes.push_back(count);
}

void callWithWholeSamples(void (*callback)(const unsigned char *, int), SampleCarry &carry, const uint8_t *bytes,
                          uint32_t n, uint32_t sampleBytes) {
    takeWholeSamples(carry, bytes, n, sampleBytes,
                     [&](const uint8_t *run, uint32_t count) { callback(run, static_cast<int>(count * sampleBytes)); });
}

// A callback sees whole samples only, however the bytes are cut, and a cut
// sample never reaches it.
TEST(SampleCarry, CallsBackWithWholeSamplesAndDropsACutOne) {
    static SampleCarry carry;
    calledBack.clear();
    callSizes.clear();
    const std::vector<uint8_t> stream = samples(0, 500);
    std::mt19937 random(3);
    for (size_t at = 0; at < stream.size();) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(random() % 40 + 1, stream.size() - at));
        callWithWholeSamples(record, carry, stream.data() + at, n, kSample);
        at += n;
    }
    EXPECT_EQ(calledBack, stream);
    for (const int size : callSizes) EXPECT_EQ(size % static_cast<int>(kSample), 0);

    calledBack.clear();
    callWithWholeSamples(record, carry, stream.data(), 8, kSample);  // sample 0 and 2 bytes of 1
    EXPECT_TRUE(cutCarry(carry));
    callWithWholeSamples(record, carry, stream.data() + 18, 12, kSample);  // samples 3 and 4
    std::vector<uint8_t> expected(stream.begin(), stream.begin() + 6);
    expected.insert(expected.end(), stream.begin() + 18, stream.begin() + 30);
    EXPECT_EQ(calledBack, expected) << "samples 0, 3 and 4: the cut sample 1 never came";
    EXPECT_FALSE(cutCarry(carry));
    callWithWholeSamples(record, carry, stream.data() + 30, 0, kSample);
    calledBack.clear();
    callWithWholeSamples(record, carry, stream.data() + 30, 6, kSample);
    EXPECT_EQ(calledBack, std::vector<uint8_t>(stream.begin() + 30, stream.begin() + 36));
}

}  // namespace
