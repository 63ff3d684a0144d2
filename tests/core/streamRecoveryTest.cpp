// SPDX-License-Identifier: MIT
// A stream recovers from a malformed block: the simulated device on a
// pseudo-terminal breaks every tenth block in one way, and the library must
// count each break, skip exactly the broken stretch, and deliver every other
// sample intact and in order, pulled and through a callback alike.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "atomics.h"
#include "openDevice.h"
#include "simulatedDevice.h"
#include "slots.h"

using namespace kelvo;
using namespace kelvo::test;
using namespace std::chrono_literals;
using sim::FaultKind;

namespace {

constexpr double kRate = 20000;  // a block every 5 ms
constexpr unsigned kSamplesPerBlock = 100;
constexpr unsigned kBlocks = 305;  // then the device falls silent
constexpr unsigned kEvery = 10;    // every tenth block is broken
constexpr unsigned kBroken = kBlocks / kEvery;

// "CONF:DEV 2": a 32-bit sample counter and two 24-bit channels.
constexpr size_t kWideSample = 12;
constexpr size_t kWidePayload = kWideSample * kSamplesPerBlock;  // 1200: header "#41200"
constexpr uint64_t kWideBlockBytes = 6 + kWidePayload + 1;

sim::SampleLayout wideLayout() {
    sim::SampleLayout layout;
    layout.wide = true;
    layout.channel = {0, 1};
    layout.subSample = {0, 0};
    return layout;
}

struct Outcome {
    std::string bytes;  // every payload byte delivered, in order
    kelvoStreamStats stats{};
    uint32_t faultBits = 0;
    bool wholeCalls = true;  // each callback call carried whole samples
};

std::mutex calledMutex;
std::string calledBytes;
bool calledWhole = true;
size_t calledSampleBytes = 1;

void collect(const unsigned char *data, int count) {
    std::lock_guard lock(calledMutex);
    calledWhole = calledWhole && static_cast<size_t>(count) % calledSampleBytes == 0;
    calledBytes.append(reinterpret_cast<const char *>(data), static_cast<size_t>(count));
}

void pull(int slot, size_t sampleBytes, std::string &into) {
    std::vector<unsigned char> buffer(65536);
    int got = 0;
    while ((got = kelvoGetStreamingData(slot, buffer.data(), static_cast<int>(sampleBytes),
                                        static_cast<unsigned>(buffer.size()))) > 0) {
        into.append(reinterpret_cast<char *>(buffer.data()), static_cast<size_t>(got));
    }
}

// Streams kBlocks blocks from a simulated device with `faults`, in the
// layout `config`, and returns what arrived.
Outcome streamFrom(int slot, std::vector<sim::Fault> faults, const char *config, size_t sampleBytes, bool viaCallback,
                   bool framingPayload = false) {
    faults.push_back({FaultKind::silent, kBlocks});
    sim::SimOptions options;
    options.sampleRate = kRate;
    options.samplesPerBlock = kSamplesPerBlock;
    options.faults = faults;
    options.framingPayload = framingPayload;
    sim::SimulatedDevice device(options);
    Outcome out;
    if (kelvoOpen(slot, device.path().c_str()) != 0) {
        ADD_FAILURE() << "kelvoOpen failed";
        return out;
    }
    kelvoClearSystemErrors();
    char answer[8];
    int binary = 0;
    EXPECT_EQ(kelvoQuery(slot, config, answer, sizeof answer, 1000, &binary), 0);
    EXPECT_EQ(kelvoGetSampleSize(slot), static_cast<int>(sampleBytes));
    {
        std::lock_guard lock(calledMutex);
        calledBytes.clear();
        calledWhole = true;
        calledSampleBytes = sampleBytes;
    }
    if (viaCallback) kelvoSetCallbackData(slot, collect);
    EXPECT_EQ(kelvoSendCmdWhileStreaming(slot, "init"), 0);
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (device.blocksSent() < kBlocks && std::chrono::steady_clock::now() < end) {
        pull(slot, sampleBytes, out.bytes);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(device.blocksSent(), kBlocks);
    // The device is silent now. Payload that comes while a stop is pending
    // is not called back, so the stop waits until the last bytes were read.
    int64_t lastData = -1;
    for (auto quietSince = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - quietSince < 300ms && std::chrono::steady_clock::now() < end;) {
        pull(slot, sampleBytes, out.bytes);
        kelvoStreamStats now{};
        kelvoGetStreamStats(slot, &now);
        if (now.lastDataTicks != lastData) {
            lastData = now.lastDataTicks;
            quietSince = std::chrono::steady_clock::now();
        }
        std::this_thread::sleep_for(5ms);
    }
    // The stop ends the stream after 50 ms of quiet.
    kelvoSendCmdWhileStreaming(slot, "abort");
    EXPECT_TRUE(eventually([slot] { return loadAcquire(slots[slot].isStreaming) == 0; }, 10s));
    pull(slot, sampleBytes, out.bytes);
    kelvoSetCallbackData(slot, nullptr);
    if (viaCallback) {
        std::lock_guard lock(calledMutex);
        EXPECT_TRUE(out.bytes.empty()) << "nothing reaches the queue while a callback is set";
        out.bytes = calledBytes;
        out.wholeCalls = calledWhole;
    }
    EXPECT_EQ(kelvoGetStreamStats(slot, &out.stats), 0);
    out.faultBits = kelvoGetFaultBits(slot);
    kelvoClose(slot);
    kelvoClearSystemErrors();
    return out;
}

// Every sample is the device's own for its counter, the counters rise, and
// exactly the blocks `lost` (1-based) are missing.
void expectWideSamples(const std::string &bytes, const std::vector<unsigned> &lost) {
    ASSERT_EQ(bytes.size() % kWideSample, 0u);
    const sim::SampleLayout layout = wideLayout();
    std::vector<uint32_t> expected;
    for (unsigned block = 1, next = 0; block <= kBlocks; ++block) {
        if (next < lost.size() && lost[next] == block) {
            ++next;
            continue;
        }
        for (unsigned i = 0; i < kSamplesPerBlock; ++i) expected.push_back((block - 1) * kSamplesPerBlock + i);
    }
    ASSERT_EQ(bytes.size() / kWideSample, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string sample = bytes.substr(i * kWideSample, kWideSample);
        ASSERT_EQ(sample, sim::SimulatedDevice::samples(layout, kRate, expected[i], 1))
            << "sample " << i << " should be the device's sample " << expected[i];
    }
}

// Blocks k * kEvery + shift, for every broken block k * kEvery.
std::vector<unsigned> lostBlocks(unsigned shift) {
    std::vector<unsigned> lost;
    for (unsigned k = 1; k <= kBroken; ++k) lost.push_back(k * kEvery + shift);
    return lost;
}

TEST(StreamRecovery, ACorruptLengthDigitCutsOneSampleAndTheStreamGoesOn) {
    // "#41200" reads "#41205": the decoder takes the line feed and four bytes
    // of the next header as payload, which leaves five bytes of a sample
    // when the terminator is missing; that sample is dropped, the next block
    // is skipped from the broken byte on (1203 bytes), and the one after it
    // is decoded.
    for (const bool viaCallback : {false, true}) {
        SCOPED_TRACE(viaCallback ? "callback" : "pulled");
        const Outcome o = streamFrom(0, {{FaultKind::corrupt, kEvery}}, "CONF:DEV 2", kWideSample, viaCallback);
        EXPECT_EQ(o.stats.framingErrors, kBroken);
        EXPECT_EQ(o.stats.bytesSkipped, kBroken * uint64_t{1203});
        EXPECT_EQ(o.stats.samplesDropped, kBroken);
        EXPECT_EQ(o.stats.blocks, kBlocks - 2 * kBroken);
        EXPECT_EQ(o.stats.payloadBytes, (kBlocks - 2 * kBroken) * kWidePayload + kBroken * (kWidePayload + 5));
        EXPECT_NE(o.faultBits & KELVO_FAULT_STREAM_FRAMING, 0u);
        EXPECT_TRUE(o.wholeCalls);
        expectWideSamples(o.bytes, lostBlocks(1));
    }
}

TEST(StreamRecovery, AMalformedHeaderSkipsExactlyItsBlock) {
    for (const bool viaCallback : {false, true}) {
        SCOPED_TRACE(viaCallback ? "callback" : "pulled");
        const Outcome o = streamFrom(1, {{FaultKind::badHeader, kEvery}}, "CONF:DEV 2", kWideSample, viaCallback);
        EXPECT_EQ(o.stats.framingErrors, kBroken);
        EXPECT_EQ(o.stats.bytesSkipped, kBroken * kWideBlockBytes);
        EXPECT_EQ(o.stats.samplesDropped, 0u);
        EXPECT_EQ(o.stats.blocks, kBlocks - kBroken);
        EXPECT_EQ(o.stats.payloadBytes, (kBlocks - kBroken) * kWidePayload);
        EXPECT_NE(o.faultBits & KELVO_FAULT_STREAM_FRAMING, 0u);
        expectWideSamples(o.bytes, lostBlocks(0));
    }
}

TEST(StreamRecovery, AMissingTerminatorCostsTheNextBlockOnly) {
    // The next header follows payload, not a line end, so it cannot be told
    // from payload: the search takes up the stream at the block after it.
    for (const bool viaCallback : {false, true}) {
        SCOPED_TRACE(viaCallback ? "callback" : "pulled");
        const Outcome o = streamFrom(2, {{FaultKind::noTerminator, kEvery}}, "CONF:DEV 2", kWideSample, viaCallback);
        EXPECT_EQ(o.stats.framingErrors, kBroken);
        EXPECT_EQ(o.stats.bytesSkipped, kBroken * kWideBlockBytes);
        EXPECT_EQ(o.stats.samplesDropped, 0u);
        EXPECT_EQ(o.stats.blocks, kBlocks - 2 * kBroken);
        EXPECT_EQ(o.stats.payloadBytes, (kBlocks - kBroken) * kWidePayload);
        EXPECT_NE(o.faultBits & KELVO_FAULT_STREAM_FRAMING, 0u);
        expectWideSamples(o.bytes, lostBlocks(1));
    }
}

// "CONF:DEV 0,8": 16-byte samples of '#', CR, LF and digits.
constexpr size_t kFramingSample = 16;
constexpr size_t kFramingPayload = kFramingSample * kSamplesPerBlock;  // 1600: header "#41600"

void expectFramingSamples(const std::string &bytes, const std::vector<unsigned> &lost) {
    ASSERT_EQ(bytes.size() % kFramingSample, 0u);
    size_t at = 0;
    for (unsigned block = 1, next = 0; block <= kBlocks; ++block) {
        if (next < lost.size() && lost[next] == block) {
            ++next;
            continue;
        }
        const std::string want =
            sim::SimulatedDevice::framingSamples(kFramingSample, (block - 1) * kSamplesPerBlock, kSamplesPerBlock);
        ASSERT_EQ(bytes.substr(at, want.size()), want) << "block " << block;
        at += want.size();
    }
    EXPECT_EQ(at, bytes.size());
}

TEST(StreamRecovery, PayloadThatLooksLikeHeadersNeverStartsASearch) {
    const Outcome o = streamFrom(3, {}, "CONF:DEV 0,8", kFramingSample, false, /*framingPayload=*/true);
    EXPECT_EQ(o.stats.framingErrors, 0u);
    EXPECT_EQ(o.stats.bytesSkipped, 0u);
    EXPECT_EQ(o.stats.blocks, kBlocks);
    EXPECT_EQ(o.faultBits & KELVO_FAULT_STREAM_FRAMING, 0u);
    expectFramingSamples(o.bytes, {});
}

TEST(StreamRecovery, TheSearchIsNotFooledByHeaderLookingPayload) {
    // After a missing terminator the search reads a whole block of "\n#9..."
    // and "\r\n#3" before it finds the real header: only the announced
    // length tells them apart.
    const Outcome o = streamFrom(3, {{FaultKind::noTerminator, kEvery}}, "CONF:DEV 0,8", kFramingSample, true,
                                 /*framingPayload=*/true);
    EXPECT_EQ(o.stats.framingErrors, kBroken);
    EXPECT_EQ(o.stats.bytesSkipped, kBroken * (6 + kFramingPayload + 1));
    EXPECT_EQ(o.stats.blocks, kBlocks - 2 * kBroken);
    expectFramingSamples(o.bytes, lostBlocks(1));
}

}  // namespace
