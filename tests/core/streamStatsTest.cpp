// SPDX-License-Identifier: MIT
// The stream counts (kelvoGetStreamStats) against a simulated device on a
// pseudo-terminal: exact counts of what the device sent and of what was lost.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "atomics.h"
#include "byteRing.h"
#include "errors.h"
#include "slots.h"
#include "streamSource.h"

using namespace kelvo;
using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

kelvoStreamStats statsOf(int dev) {
    kelvoStreamStats stats{};
    EXPECT_EQ(kelvoGetStreamStats(dev, &stats), 0);
    return stats;
}

// Stops the stream and waits until the device is done and the I/O thread
// left streaming, so every block the device sent has been counted.
void stopAndSettle(int dev, const NumberedStream &stream) {
    ASSERT_EQ(kelvoSendCmdWhileStreaming(dev, "abort"), 0);
    ASSERT_TRUE(eventually([&] { return stream.silent(); }, 10s));
    ASSERT_TRUE(eventually([dev] { return loadAcquire(slots[dev].isStreaming) == 0; }, 10s));
}

// Takes whole samples from the stream queue until it is empty.
void pullAll(int dev, SequenceChecker &checker) {
    std::vector<unsigned char> buffer(65536);
    int got = 0;
    while ((got = kelvoGetStreamingData(dev, buffer.data(), kSampleBytes, static_cast<unsigned>(buffer.size()))) > 0) {
        checker.take(buffer.data(), static_cast<size_t>(got));
    }
}

TEST(StreamStats, CountBlocksPayloadAndArrivalOfAPulledStream) {
    OpenDevice open(0);
    NumberedStream stream(open.device, 128, 2ms);
    const int64_t before = kelvoGetTicks();
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "init"), 0);
    SequenceChecker checker;
    ASSERT_TRUE(eventually(
        [&] {
            pullAll(0, checker);
            return checker.samples() >= 128 * 200;
        },
        20s));
    stopAndSettle(0, stream);
    pullAll(0, checker);

    const kelvoStreamStats stats = statsOf(0);
    EXPECT_TRUE(checker.ok());
    EXPECT_EQ(checker.samples(), stream.sent());
    EXPECT_EQ(stats.blocks, stream.sent() / 128);
    EXPECT_EQ(stats.payloadBytes, uint64_t{stream.sent()} * kSampleBytes);
    EXPECT_EQ(stats.samplesDropped, 0u);
    EXPECT_EQ(stats.framingErrors, 0u);
    EXPECT_EQ(stats.bytesSkipped, 0u);
    EXPECT_GT(stats.lastDataTicks, before);
    EXPECT_LE(stats.lastDataTicks, kelvoGetTicks());
}

TEST(StreamStats, ACallbackStreamIsCountedAlike) {
    static std::atomic<uint64_t> calledBack;
    calledBack = 0;
    OpenDevice open(1);
    NumberedStream stream(open.device, 100, 2ms);
    ASSERT_EQ(kelvoSetCallbackData(1, [](const unsigned char *, int count) { calledBack += count; }), 0);
    ASSERT_EQ(kelvoSendCmdWhileStreaming(1, "init"), 0);
    ASSERT_TRUE(eventually([] { return calledBack.load() >= 100 * 100 * kSampleBytes; }, 20s));
    stopAndSettle(1, stream);
    kelvoSetCallbackData(1, nullptr);

    const kelvoStreamStats stats = statsOf(1);
    EXPECT_EQ(stats.blocks, stream.sent() / 100);
    EXPECT_EQ(stats.payloadBytes, uint64_t{stream.sent()} * kSampleBytes);
    // The payload of blocks that arrive while the stop is pending is decoded
    // but not called back.
    EXPECT_LE(calledBack.load(), stats.payloadBytes);
    EXPECT_EQ(stats.samplesDropped, 0u);
}

TEST(StreamStats, AFullStreamQueueCountsEverySampleItDrops) {
    OpenDevice open(2);
    NumberedStream stream(open.device, 2048, 2ms);                // 16 kB blocks, not drained at first
    storeRelease(slots[2].filteredSampleSize, kSampleBytes / 2);  // as "CONF:DEV 0,4" would
    ASSERT_EQ(kelvoSendCmdWhileStreaming(2, "init"), 0);
    ASSERT_TRUE(eventually([] { return (loadAcquire(slots[2].isFatal) & kFaultStreamQueueFull) != 0; }, 20s));
    // Samples are lost while nobody pulls; some more arrive while this
    // thread pulls.
    std::this_thread::sleep_for(100ms);
    uint64_t pulled = 0;
    uint32_t last = 0;
    std::vector<uint32_t> words(8192);
    const auto take = [&] {
        int got = 0;
        while ((got = kelvoGetStreamingData(2, words.data(), kSampleBytes, 4 * 8192)) > 0) {
            for (int i = 0; i + 1 < got / 4; i += 2, ++pulled) {
                ASSERT_EQ(words[i + 1], ~words[i]) << "sample " << pulled << " mixes two samples";
                if (pulled > 0) {
                    ASSERT_GT(words[i], last);
                }
                last = words[i];
            }
        }
    };
    for (int round = 0; round < 20; ++round, std::this_thread::sleep_for(5ms)) take();
    stopAndSettle(2, stream);
    take();
    storeRelease(slots[2].filteredSampleSize, 0);

    const kelvoStreamStats stats = statsOf(2);
    EXPECT_GT(stats.samplesDropped, 0u);
    EXPECT_EQ(pulled + stats.samplesDropped, stream.sent()) << "each sample is either pulled or counted lost";
    EXPECT_EQ(stats.payloadBytes, uint64_t{stream.sent()} * kSampleBytes);
    kelvoClearSystemErrors();
}

TEST(StreamStats, CountsRestartWhenAStreamStarts) {
    OpenDevice open(3);
    {
        NumberedStream stream(open.device, 64, 2ms);
        ASSERT_EQ(kelvoSendCmdWhileStreaming(3, "init"), 0);
        ASSERT_TRUE(eventually([] { return statsOf(3).blocks >= 20; }, 20s));
        stopAndSettle(3, stream);
    }
    EXPECT_GE(statsOf(3).blocks, 20u) << "the counts outlive the stream";
    open.answerEveryLineWith("");  // the second start brings no data
    ASSERT_EQ(kelvoSendCmdWhileStreaming(3, "init"), 0);
    ASSERT_TRUE(eventually([] { return loadAcquire(slots[3].isStreaming) != 0; }));
    const kelvoStreamStats stats = statsOf(3);
    EXPECT_EQ(stats.blocks, 0u);
    EXPECT_EQ(stats.payloadBytes, 0u);
    EXPECT_EQ(stats.samplesDropped, 0u);
    EXPECT_EQ(stats.framingErrors, 0u);
    EXPECT_EQ(stats.bytesSkipped, 0u);
    EXPECT_EQ(stats.lastDataTicks, 0);
    kelvoSendCmdWhileStreaming(3, "abort");
}

TEST(StreamStats, RefusalsAndTheirTexts) {
    kelvoStreamStats stats{};
    EXPECT_EQ(kelvoGetStreamStats(4, &stats), -1);
    EXPECT_EQ(kelvoGetStreamStats(-1, &stats), -1);
    EXPECT_EQ(kelvoGetStreamStats(4, nullptr), -1);
    storeWholeErrorText(1, "");
    EXPECT_EQ(kelvoGetStreamStats(1, nullptr), -1);
    EXPECT_STREQ(slots[1].lastErrorMsg, "kelvoGetStreamStats(dev=1):stats must not be NULL");
    // A closed slot still tells the counts of its last stream.
    EXPECT_EQ(kelvoGetStreamStats(1, &stats), 0);
}

}  // namespace
