// SPDX-License-Identifier: MIT
#include "sampleFeed.h"

#include <algorithm>

#include "atomics.h"
#include "byteRing.h"

namespace kelvo {
namespace {

// Below ring.size, so a sample size always fits in 32 bits.
uint32_t sampleSizeFor(const ByteRing &ring, int64_t sampleBytes) {
    return sampleBytes >= 1 && sampleBytes < ring.size ? static_cast<uint32_t>(sampleBytes) : 1;
}

uint32_t samplesBegunIn(uint64_t bytes, uint32_t S) { return static_cast<uint32_t>((bytes + S - 1) / S); }

uint32_t marksFree(MarkQueue &queue) { return kQueueMarks - (loadRelaxed(queue.head) - loadAcquire(queue.tail)); }

void pushMark(MarkQueue &queue, const QueueMark &mark) {
    const uint32_t head = loadRelaxed(queue.head);
    QueueMark &slot = queue.marks[head % kQueueMarks];
    storeRelease(slot.position, mark.position);
    storeRelease(slot.skip, mark.skip);
    storeRelease(slot.lost, mark.lost);
    storeRelease(queue.head, head + 1);
}

// A staged feed publishes whole samples only; a marked one every byte.
void put(ByteRing &ring, const MarkQueue *marks, SampleFeed &feed, const uint8_t *bytes, uint32_t n, uint32_t S) {
    const uint64_t total = uint64_t{feed.into} + n;
    if (marks == nullptr) {
        ringStage(ring, feed.into, bytes, n);
        ringPublish(ring, static_cast<uint32_t>(total - total % S));
    } else {
        (void)ringPut(ring, bytes, n);
        feed.queued += n;
    }
    feed.into = static_cast<uint32_t>(total % S);
}

// Bytes of the current sample that are in the ring but not counted in its fill.
uint32_t unpublished(const MarkQueue *marks, const SampleFeed &feed) { return marks == nullptr ? feed.into : 0; }

// Passes over what an earlier drop left owing. The layout may have changed
// since the last chunk: whole samples of the new size that are staged
// already are published.
void settle(ByteRing &ring, const MarkQueue *marks, SampleFeed &feed, uint32_t S, const uint8_t *&bytes, uint32_t &n) {
    if (feed.into >= S) {
        if (marks == nullptr) ringPublish(ring, feed.into - feed.into % S);
        feed.into %= S;
    }
    feed.skip %= S;
    const uint32_t skipped = std::min(feed.skip, n);
    feed.skip -= skipped;
    bytes += skipped;
    n -= skipped;
}

// A break is told to the reader just before the next sample goes in; the
// bytes of a cut sample lie right before that one.
void closeBreak(MarkQueue *marks, SampleFeed &feed) {
    if (marks == nullptr || !feed.breakPending || feed.into != 0) return;
    pushMark(*marks, {feed.queued - feed.cutBytes, feed.cutBytes, feed.lost});
    feed = SampleFeed{0, feed.skip, feed.queued, false, 0, 0};
}

void noteLoss(SampleFeed &feed, uint32_t samples) {
    if (samples == 0) return;
    feed.lost += samples;
    feed.breakPending = true;
}

// Puts what finishes the current sample (there is room for it unless the
// layout changed) and passes over the rest of the chunk: the stream is back
// at a sample start once `skip` more bytes went by. Returns the samples
// dropped.
uint32_t finishSample(ByteRing &ring, const MarkQueue *marks, SampleFeed &feed, uint32_t S, const uint8_t *bytes,
                      uint32_t n) {
    const uint32_t owed = feed.into != 0 ? S - feed.into : 0;
    const uint32_t kept = std::min(owed, n);
    uint32_t dropped = 0;
    if (kept != 0 && unpublished(marks, feed) + kept <= ringFree(ring)) {
        put(ring, marks, feed, bytes, kept, S);
    } else if (kept != 0) {
        // Only after the layout grew: the sample cannot be finished, and a
        // reader must pass over what of it was queued.
        dropped = 1;
        if (marks != nullptr) feed.cutBytes = feed.into;
        feed.into = 0;
        if (kept < owed) {
            feed.skip = owed - kept;
            noteLoss(feed, dropped);
            return dropped;
        }
    }
    const uint64_t passed = n - kept;
    feed.skip = static_cast<uint32_t>((S - passed % S) % S);
    dropped += samplesBegunIn(passed, S);
    noteLoss(feed, dropped);
    return dropped;
}

}  // namespace

bool peekMark(MarkQueue &queue, QueueMark &mark) {
    const uint32_t tail = loadRelaxed(queue.tail);
    if (loadAcquire(queue.head) == tail) return false;
    QueueMark &slot = queue.marks[tail % kQueueMarks];
    mark = {loadAcquire(slot.position), loadAcquire(slot.skip), loadAcquire(slot.lost)};
    return true;
}

void popMark(MarkQueue &queue) { storeRelease(queue.tail, loadRelaxed(queue.tail) + 1); }

void discardMarks(MarkQueue &queue) { storeRelease(queue.tail, loadAcquire(queue.head)); }

uint32_t feedSamples(ByteRing &ring, MarkQueue *marks, SampleFeed &feed, const uint8_t *bytes, uint32_t n,
                     int64_t sampleBytes) {
    const uint32_t S = sampleSizeFor(ring, sampleBytes);
    settle(ring, marks, feed, S, bytes, n);
    if (n == 0) return 0;
    const uint64_t total = uint64_t{feed.into} + n;
    const auto rest = static_cast<uint32_t>(total % S);
    const uint64_t needed = unpublished(marks, feed) + n + (S - rest) % S;
    const bool markFits = marks == nullptr || !feed.breakPending || marksFree(*marks) != 0;
    if (markFits && needed <= ringFree(ring)) {
        closeBreak(marks, feed);
        put(ring, marks, feed, bytes, n, S);
        return 0;
    }
    return finishSample(ring, marks, feed, S, bytes, n);
}

void bypassFeed(ByteRing &ring, MarkQueue *marks, SampleFeed &feed, const uint8_t *bytes, uint32_t n,
                int64_t sampleBytes) {
    const uint32_t S = sampleSizeFor(ring, sampleBytes);
    settle(ring, marks, feed, S, bytes, n);
    (void)finishSample(ring, marks, feed, S, bytes, n);
}

bool cutFeed(SampleFeed &feed) {
    feed.skip = 0;
    if (feed.into == 0) return false;
    feed.cutBytes = feed.into;  // passed over by the reader of a marked queue
    feed.into = 0;
    noteLoss(feed, 1);
    return true;
}

bool cutCarry(SampleCarry &carry) {
    const bool dropped = carry.held != 0;
    carry.held = 0;
    return dropped;
}

}  // namespace kelvo
