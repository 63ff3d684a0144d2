// SPDX-License-Identifier: MIT
#include "sampleFeed.h"

#include <algorithm>
#include <cstring>

#include "byteRing.h"

namespace kelvo {
namespace {

// Below ring.size, so a sample size always fits in 32 bits.
uint32_t sampleSizeFor(const ByteRing &ring, int64_t sampleBytes) {
    return sampleBytes >= 1 && sampleBytes < ring.size ? static_cast<uint32_t>(sampleBytes) : 1;
}

uint32_t samplesBegunIn(uint64_t bytes, uint32_t S) { return static_cast<uint32_t>((bytes + S - 1) / S); }

// Passes over what an earlier drop left owing. The layout may have changed
// since the last chunk: whole samples of the new size that are staged
// already are queued.
void settle(ByteRing &ring, SampleFeed &feed, uint32_t S, const uint8_t *&bytes, uint32_t &n) {
    if (feed.staged >= S) {
        ringPublish(ring, feed.staged - feed.staged % S);
        feed.staged %= S;
    }
    feed.skip %= S;
    const uint32_t skipped = std::min(feed.skip, n);
    feed.skip -= skipped;
    bytes += skipped;
    n -= skipped;
}

// Puts what finishes the staged sample (there is room for it unless the
// layout changed) and passes over the rest of the chunk: the stream is back
// at a sample start once `skip` more bytes went by. Returns the samples
// dropped.
uint32_t finishSample(ByteRing &ring, SampleFeed &feed, uint32_t S, const uint8_t *bytes, uint32_t n) {
    const uint32_t owed = feed.staged != 0 ? S - feed.staged : 0;
    const uint32_t kept = std::min(owed, n);
    uint32_t dropped = 0;
    if (kept != 0 && feed.staged + kept <= ringFree(ring)) {
        ringStage(ring, feed.staged, bytes, kept);
        feed.staged += kept;
        if (feed.staged == S) {
            ringPublish(ring, S);
            feed.staged = 0;
        }
    } else if (kept != 0) {
        // Only after the layout grew: the sample cannot be finished.
        feed.staged = 0;
        dropped = 1;
        if (kept < owed) {
            feed.skip = owed - kept;
            return dropped;
        }
    }
    const uint64_t passed = n - kept;
    feed.skip = static_cast<uint32_t>((S - passed % S) % S);
    return dropped + samplesBegunIn(passed, S);
}

}  // namespace

uint32_t feedSamples(ByteRing &ring, SampleFeed &feed, const uint8_t *bytes, uint32_t n, int64_t sampleBytes) {
    const uint32_t S = sampleSizeFor(ring, sampleBytes);
    settle(ring, feed, S, bytes, n);
    if (n == 0) return 0;
    const uint64_t total = uint64_t{feed.staged} + n;
    const auto rest = static_cast<uint32_t>(total % S);
    if (total + (S - rest) % S <= ringFree(ring)) {
        ringStage(ring, feed.staged, bytes, n);
        ringPublish(ring, static_cast<uint32_t>(total - rest));
        feed.staged = rest;
        return 0;
    }
    return finishSample(ring, feed, S, bytes, n);
}

void bypassFeed(ByteRing &ring, SampleFeed &feed, const uint8_t *bytes, uint32_t n, int64_t sampleBytes) {
    const uint32_t S = sampleSizeFor(ring, sampleBytes);
    settle(ring, feed, S, bytes, n);
    (void)finishSample(ring, feed, S, bytes, n);
}

bool cutFeed(SampleFeed &feed) {
    const bool dropped = feed.staged != 0;
    feed = SampleFeed{};
    return dropped;
}

void callWithWholeSamples(kelvoDataCallback callback, SampleCarry &carry, const uint8_t *bytes, uint32_t n,
                          int64_t sampleBytes) {
    if (carry.callback != callback) {
        carry.callback = callback;
        carry.held = 0;
    }
    if (sampleBytes <= 1 || sampleBytes > kMaxCarriedSample) {
        callback(bytes, static_cast<int>(n));
        return;
    }
    const auto S = static_cast<uint32_t>(sampleBytes);
    if (carry.held >= S) carry.held = 0;  // the layout shrank
    if (carry.held != 0) {
        const uint32_t taken = std::min(S - carry.held, n);
        std::memcpy(carry.bytes + carry.held, bytes, taken);
        carry.held += taken;
        bytes += taken;
        n -= taken;
        if (carry.held < S) return;
        carry.held = 0;
        callback(carry.bytes, static_cast<int>(S));
    }
    const uint32_t whole = n - n % S;
    if (whole != 0) callback(bytes, static_cast<int>(whole));
    carry.held = n - whole;
    std::memcpy(carry.bytes, bytes + whole, carry.held);
}

bool cutCarry(SampleCarry &carry) {
    const bool dropped = carry.held != 0;
    carry.held = 0;
    return dropped;
}

}  // namespace kelvo
