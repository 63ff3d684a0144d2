// SPDX-License-Identifier: MIT
// Feeding a stream of fixed-size samples into a queue that may overflow,
// and assembling whole samples for the callbacks and the clock.
//
// The I/O thread puts payload into a queue in chunks whose length has
// nothing to do with the sample size. Dropping such a chunk whole would make
// every later byte land at the wrong place within its sample. A feed keeps
// the losses whole samples of the layout:
//   - a chunk is taken only when there is also room left for the rest of
//     the sample it ends in, so the queue can always finish that sample;
//   - on overflow it finishes that sample, drops the rest of the chunk and
//     then skips the bytes of the stream up to the next sample start.
// A feed works in one of two ways:
//   - marked (the stream queue): every byte is queued as it comes, so that
//     a reader whose sample size is not the learnt layout's still gets all
//     that arrived. Wherever the run of queued samples breaks (a drop, a
//     sample that a framing error cut short after part of it was queued), a
//     mark goes into the slot's mark queue ahead of the next sample queued,
//     saying where the break is, how many bytes to pass over and how many
//     samples are missing there;
//   - staged (the plot's queue, no marks): the bytes of an unfinished
//     sample are written into the ring but published only once the sample is
//     complete, so the consumer only ever sees whole samples and a sample cut
//     short is dropped unseen.
// Only the producer of the queue touches its feed.
#pragma once

#include <cstdint>

#include "kelvo_lowlevel.h"

namespace kelvo {

// A break in the queue's run of samples, at byte `position` of the stream's
// queued bytes: pass over `skip` bytes (a cut sample), then `lost` samples
// are missing before the next one.
struct QueueMark {
    uint64_t position;
    uint32_t skip;
    uint32_t lost;
};

inline constexpr uint32_t kQueueMarks = 256;

// Single producer (the I/O thread), single consumer (the reader). Indexes
// count up and wrap as 32-bit numbers; the producer owns head, the consumer
// tail.
struct MarkQueue {
    QueueMark marks[kQueueMarks];
    uint32_t head;
    uint32_t tail;
};

// Consumer: the oldest mark, if any.
bool peekMark(MarkQueue &queue, QueueMark &mark);
void popMark(MarkQueue &queue);
// Producer (or a side that knows the other is idle): forget every mark.
void discardMarks(MarkQueue &queue);

struct SampleFeed {
    uint32_t into = 0;          // bytes of the current sample in the ring (published unless staged)
    uint32_t skip = 0;          // stream bytes still to pass over after a drop
    uint64_t queued = 0;        // bytes queued since the start: the next byte's position
    bool breakPending = false;  // the next sample queued must be preceded by a mark
    uint32_t cutBytes = 0;      // queued bytes of a cut sample, just before `queued`
    uint32_t lost = 0;          // samples missing since the last one queued
};

// Puts n payload bytes of samples of `sampleBytes` bytes each (anything
// below 1, or a sample the ring could never hold, counts as 1); `marks` is
// null for a staged feed. Returns how many samples were dropped for lack of
// room: each sample of which no byte reached the queue counts once, in the
// chunk where its first byte came.
uint32_t feedSamples(ByteRing &ring, MarkQueue *marks, SampleFeed &feed, const uint8_t *bytes, uint32_t n,
                     int64_t sampleBytes);

// The chunk went elsewhere (to a callback): the queue takes only the bytes
// that finish its last sample and resumes at a later sample start.
void bypassFeed(ByteRing &ring, MarkQueue *marks, SampleFeed &feed, const uint8_t *bytes, uint32_t n,
                int64_t sampleBytes);

// The stream broke off: the unfinished sample is lost (unseen when staged,
// passed over by the reader when marked) and the next byte starts a new
// sample. Returns whether a sample was lost (one whose loss an overflow
// already counted is not).
bool cutFeed(SampleFeed &feed);

// The callbacks' and the clock's side: whole samples, assembled across
// chunks. Samples larger than kMaxCarriedSample (or without a layout) go
// through as the bytes come.
inline constexpr uint32_t kMaxCarriedSample = 65536;

struct SampleCarry {
    uint32_t held = 0;  // bytes of the unfinished sample
    uint8_t bytes[kMaxCarriedSample];
};

// Whether samples of this size are assembled at all.
inline bool carriesWholeSamples(int64_t sampleBytes) { return sampleBytes > 1 && sampleBytes <= kMaxCarriedSample; }

// Calls take(run, count) for each run of whole samples that the held bytes
// and the n bytes make, in order, and holds the unfinished rest. The caller
// checks carriesWholeSamples first.
template <class Take>
void takeWholeSamples(SampleCarry &carry, const uint8_t *bytes, uint32_t n, uint32_t sampleBytes, Take take);

// The stream broke off: drops the unfinished sample; returns whether there
// was one.
bool cutCarry(SampleCarry &carry);

}  // namespace kelvo

#include "sampleCarry.inl"
