// SPDX-License-Identifier: MIT
// The application's side of a slot's stream queue: taking whole samples
// past the marks the I/O thread leaves where the run of samples breaks, and
// numbering them. One reader per slot at a time (the calls on one slot must
// not overlap).
#pragma once

#include <cstdint>

namespace kelvo {

// Copies up to `capacity` bytes of whole `unit`-byte samples. When the unit
// is the layout's sample size, the bytes of samples cut short are passed
// over and the copy may span breaks; with any other unit every byte queued
// is handed out. Returns the byte count.
uint32_t takeQueuedBytes(int dev, void *destination, uint32_t capacity, uint32_t unit);

// Whole consecutive samples of `sampleBytes` bytes queued before the next
// jump in the index.
uint32_t queuedRun(int dev, uint32_t sampleBytes);

// Copies up to `capacity` consecutive whole samples of `sampleBytes` bytes,
// ending before a jump in the index; stores the first one's stream index.
// Returns the sample count, 0 when no whole sample is queued.
uint32_t takeQueuedSamples(int dev, void *destination, uint32_t capacity, uint32_t sampleBytes, int64_t *firstIndex);

}  // namespace kelvo
