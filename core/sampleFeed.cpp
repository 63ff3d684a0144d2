// SPDX-License-Identifier: MIT
#include "sampleFeed.h"

#include <algorithm>

#include "byteRing.h"

namespace kelvo {
namespace {

// Below ring.size, so a sample size always fits in 32 bits.
uint32_t sampleSizeFor(const ByteRing &ring, int64_t sampleBytes) {
    return sampleBytes >= 1 && sampleBytes < ring.size ? static_cast<uint32_t>(sampleBytes) : 1;
}

// Passes over what an earlier drop left owing; the layout may have changed
// since the last chunk.
void settle(SampleFeed &feed, uint32_t S, const uint8_t *&bytes, uint32_t &n) {
    feed.phase %= S;
    feed.skip %= S;
    const uint32_t skipped = std::min(feed.skip, n);
    feed.skip -= skipped;
    bytes += skipped;
    n -= skipped;
}

// Puts what finishes the queued sample (there is room for it unless the
// layout changed) and passes over the rest of the chunk: the stream is
// back at the queue's place within a sample once `skip` more bytes went by.
// Returns the samples begun in the bytes passed over.
uint32_t finishSample(ByteRing &ring, SampleFeed &feed, uint32_t S, const uint8_t *bytes, uint32_t n) {
    auto kept = static_cast<uint32_t>(std::min<uint64_t>((S - feed.phase) % S, n));
    if (kept != 0 && !ringPut(ring, bytes, kept)) kept = 0;
    feed.phase = static_cast<uint32_t>((feed.phase + kept) % S);
    const uint64_t passed = n - kept;
    feed.skip = static_cast<uint32_t>((S - passed % S) % S);
    return static_cast<uint32_t>((passed + S - 1) / S);
}

}  // namespace

uint32_t feedSamples(ByteRing &ring, SampleFeed &feed, const uint8_t *bytes, uint32_t n, int64_t sampleBytes) {
    const uint32_t S = sampleSizeFor(ring, sampleBytes);
    settle(feed, S, bytes, n);
    if (n == 0) return 0;
    const uint64_t endPhase = (uint64_t{feed.phase} + n) % S;
    if (n + (S - endPhase) % S <= ringFree(ring)) {
        (void)ringPut(ring, bytes, n);
        feed.phase = static_cast<uint32_t>(endPhase);
        return 0;
    }
    return finishSample(ring, feed, S, bytes, n);
}

void bypassFeed(ByteRing &ring, SampleFeed &feed, const uint8_t *bytes, uint32_t n, int64_t sampleBytes) {
    const uint32_t S = sampleSizeFor(ring, sampleBytes);
    settle(feed, S, bytes, n);
    (void)finishSample(ring, feed, S, bytes, n);
}

}  // namespace kelvo
