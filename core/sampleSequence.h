// SPDX-License-Identifier: MIT
// The stream index of whole samples: 0 is the first sample after a start.
//
// A layout with a sample counter (24-bit, scan list) numbers its samples
// itself: the index follows the counter, unwrapped past 2^32, so a sample
// lost anywhere before this point shows as a jump. A layout without one is
// numbered by counting, plus the samples the caller knows were lost
// (skip()). Each consumer of samples keeps a sequence of its own: the I/O
// thread for the callbacks and the clock, the reader for the queue.
#pragma once

#include <cstdint>

namespace kelvo {

struct SampleSequence {
    bool counted = false;  // the samples begin with a 32-bit counter
    bool begun = false;    // a sample was numbered since the start
    uint32_t lastCounter = 0;
    int64_t nextIndex = 0;  // what the next sample is numbered unless its counter says otherwise
};

// The little-endian 32-bit counter a counted sample begins with.
uint32_t sampleCounter(const uint8_t *sample);

// A new stream: the first sample numbered gets index 0 (for counted layouts,
// whatever its counter reads).
void restartSequence(SampleSequence &sequence, bool counted);

// Samples known lost before the next one (counting layouts only; a counter
// tells on its own).
void skipSamples(SampleSequence &sequence, int64_t lost);

// Of the `count` whole samples of `sampleBytes` bytes at `samples`, how many
// from the first on are consecutive (at least 1 when count > 0); stores the
// index of the first in *firstIndex and numbers them.
uint32_t numberRun(SampleSequence &sequence, const uint8_t *samples, uint32_t count, uint32_t sampleBytes,
                   int64_t *firstIndex);

}  // namespace kelvo
