// SPDX-License-Identifier: MIT
#include "queueReader.h"

#include <algorithm>

#include "atomics.h"
#include "byteRing.h"
#include "sampleSequence.h"
#include "slots.h"
#include "streamLayout.h"

namespace kelvo {
namespace {

struct QueueReader {
    uint32_t generation = 0;
    uint64_t taken = 0;  // position of the next byte to take, as the feed counts them
    SampleSequence sequence;
};

QueueReader readers[kSlots];

// A new stream's queue starts at position 0. The I/O thread emptied the
// queue and its marks before it moved the generation on.
QueueReader &readerOf(int dev) {
    QueueReader &reader = readers[dev];
    const uint32_t generation = loadAcquire(slots[dev].streamGeneration);
    if (generation != reader.generation) {
        reader = QueueReader{generation, 0, {}};
        restartSequence(reader.sequence, loadAcquire(slots[dev].streamCounted) != 0);
    }
    return reader;
}

// The first sample a reader numbers may come after samples that never
// reached the queue: the counter of the stream's first sample sets index 0.
void seedFromOrigin(int dev, SampleSequence &sequence) {
    if (!sequence.counted || sequence.begun || loadAcquire(slots[dev].streamOriginKnown) == 0) return;
    sequence.begun = true;
    sequence.lastCounter = loadAcquire(slots[dev].streamOrigin);
    sequence.nextIndex = 1;
}

void skipBytes(int dev, QueueReader &reader, uint32_t n) {
    ringSkip(slots[dev].scpiQ, n);
    reader.taken += n;
}

// Bytes that may be taken before the next break, after passing over every
// break the reader stands at. `honour` says whether cut samples are passed
// over; a reader of another unit only forgets the marks it went past.
uint32_t bytesBeforeBreak(int dev, QueueReader &reader, bool honour) {
    Slot &slot = slots[dev];
    QueueMark mark{};
    while (peekMark(slot.scpiMarks, mark)) {
        if (!honour) {
            if (mark.position + mark.skip > reader.taken) break;
            popMark(slot.scpiMarks);
            continue;
        }
        if (mark.position > reader.taken)
            return static_cast<uint32_t>(std::min<uint64_t>(mark.position - reader.taken, ringFill(slot.scpiQ)));
        const uint64_t owed = mark.position + mark.skip - std::min(reader.taken, mark.position + mark.skip);
        if (owed > ringFill(slot.scpiQ)) return 0;  // not all of the cut sample is visible yet
        skipBytes(dev, reader, static_cast<uint32_t>(owed));
        skipSamples(reader.sequence, mark.lost);
        popMark(slot.scpiMarks);
    }
    return ringFill(slot.scpiQ);
}

}  // namespace

uint32_t takeQueuedBytes(int dev, void *destination, uint32_t capacity, uint32_t unit) {
    QueueReader &reader = readerOf(dev);
    const bool honour = static_cast<int64_t>(unit) == streamSampleBytes(dev);
    auto *out = static_cast<uint8_t *>(destination);
    uint32_t copied = 0;
    for (;;) {
        uint32_t n = std::min(capacity - copied, bytesBeforeBreak(dev, reader, honour));
        n -= n % unit;
        if (n == 0) break;
        ringTake(slots[dev].scpiQ, out + copied, n);
        reader.taken += n;
        copied += n;
        if (honour) skipSamples(reader.sequence, n / unit);
        if (!honour) break;
    }
    return copied;
}

uint32_t queuedRun(int dev, uint32_t sampleBytes) {
    QueueReader &reader = readerOf(dev);
    return bytesBeforeBreak(dev, reader, true) / sampleBytes;
}

uint32_t takeQueuedSamples(int dev, void *destination, uint32_t capacity, uint32_t sampleBytes, int64_t *firstIndex) {
    QueueReader &reader = readerOf(dev);
    const uint32_t available = bytesBeforeBreak(dev, reader, true) / sampleBytes;
    const uint32_t count = std::min(capacity, available);
    if (count == 0) return 0;
    ringPeek(slots[dev].scpiQ, destination, count * sampleBytes);
    seedFromOrigin(dev, reader.sequence);
    const uint32_t run =
        numberRun(reader.sequence, static_cast<const uint8_t *>(destination), count, sampleBytes, firstIndex);
    skipBytes(dev, reader, run * sampleBytes);
    return run;
}

}  // namespace kelvo
