// SPDX-License-Identifier: MIT
// Feeding a stream of fixed-size samples into a ring that may overflow, and
// handing a data callback whole samples.
//
// The I/O thread puts payload into a queue in chunks whose length has
// nothing to do with the sample size. Dropping such a chunk whole would make
// every later byte land at the wrong place within its sample, so each
// channel would show another channel's data from then on. A feed keeps the
// queue a run of whole samples instead:
//   - the bytes of an unfinished sample are written into the ring but not
//     queued until the sample is complete, so the consumer only ever sees
//     whole samples and a sample cut short can be dropped (cutFeed);
//   - a chunk is taken only when there is also room left for the rest of
//     the sample it ends in, so the queue can always finish that sample;
//   - on overflow it finishes that sample, drops the rest of the chunk and
//     then skips the bytes of the stream up to the next sample start.
// Only the producer of the ring touches its feed.
#pragma once

#include <cstdint>

#include "kelvo_lowlevel.h"

namespace kelvo {

struct SampleFeed {
    uint32_t staged = 0;  // bytes of the unfinished sample, in the ring but not queued
    uint32_t skip = 0;    // stream bytes still to pass over after a drop
};

// Puts n payload bytes of samples of `sampleBytes` bytes each (anything
// below 1, or a sample the ring could never hold, counts as 1). Returns how
// many samples were dropped for lack of room: each sample of which no byte
// reached the queue counts once, in the chunk where its first byte came.
uint32_t feedSamples(ByteRing &ring, SampleFeed &feed, const uint8_t *bytes, uint32_t n, int64_t sampleBytes);

// The chunk went elsewhere (to a data callback): the queue takes only the
// bytes that finish its last sample and resumes at a later sample start.
void bypassFeed(ByteRing &ring, SampleFeed &feed, const uint8_t *bytes, uint32_t n, int64_t sampleBytes);

// The stream broke off: the unfinished sample is dropped and the next byte
// starts a new sample. Returns whether a sample was dropped (one whose
// loss an overflow already counted is not).
bool cutFeed(SampleFeed &feed);

// A data callback's side: it is called with whole samples only, so that
// the bytes of a sample the stream cuts short never reach it. Samples larger
// than kMaxCarriedSample go through as the bytes come.
inline constexpr uint32_t kMaxCarriedSample = 65536;

struct SampleCarry {
    kelvoDataCallback callback = nullptr;  // the one the held bytes were meant for
    uint32_t held = 0;                     // bytes of the unfinished sample
    uint8_t bytes[kMaxCarriedSample];
};

// Calls `callback` with the whole samples that the held bytes and the n
// bytes make, and holds the unfinished rest. A new callback starts afresh.
void callWithWholeSamples(kelvoDataCallback callback, SampleCarry &carry, const uint8_t *bytes, uint32_t n,
                          int64_t sampleBytes);

// The stream broke off: drops the unfinished sample; returns whether there
// was one.
bool cutCarry(SampleCarry &carry);

}  // namespace kelvo
