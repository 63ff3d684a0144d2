// SPDX-License-Identifier: MIT
#include "sampleSequence.h"

#include <cstring>

namespace kelvo {
namespace {

// The counter only runs forward: a step is unwrapped as the distance
// forward, so a counter that wrapped past 2^32 keeps the index rising.
int64_t indexOfCounter(const SampleSequence &sequence, uint32_t counter) {
    if (!sequence.begun) return sequence.nextIndex;
    return sequence.nextIndex - 1 + static_cast<int64_t>(static_cast<uint32_t>(counter - sequence.lastCounter));
}

}  // namespace

uint32_t sampleCounter(const uint8_t *sample) {
    uint8_t b[4];
    std::memcpy(b, sample, 4);
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

void restartSequence(SampleSequence &sequence, bool counted) { sequence = SampleSequence{counted, false, 0, 0}; }

void skipSamples(SampleSequence &sequence, int64_t lost) {
    if (!sequence.counted) sequence.nextIndex += lost;
}

uint32_t numberRun(SampleSequence &sequence, const uint8_t *samples, uint32_t count, uint32_t sampleBytes,
                   int64_t *firstIndex) {
    if (count == 0) return 0;
    if (!sequence.counted || sampleBytes < 4) {
        *firstIndex = sequence.nextIndex;
        sequence.nextIndex += count;
        return count;
    }
    uint32_t counter = sampleCounter(samples);
    *firstIndex = indexOfCounter(sequence, counter);
    uint32_t run = 1;
    for (; run < count; ++run) {
        const uint32_t next = sampleCounter(samples + size_t{run} * sampleBytes);
        if (next != counter + 1) break;
        counter = next;
    }
    sequence.begun = true;
    sequence.lastCounter = counter;
    sequence.nextIndex = *firstIndex + run;
    return run;
}

}  // namespace kelvo
