// SPDX-License-Identifier: MIT
// The plot queue: the queue the I/O thread fills with stream payload while
// the plot window is configured, and the render thread's side of it, which
// cuts the byte stream into samples and converts them to floats.
#pragma once

#include <cstdint>

#include "kelvo_lowlevel.h"

namespace kelvo {

struct graph_decim;

inline constexpr uint32_t kGraphicQSize = 8192;
inline constexpr int kMaxSampleBytes = 512;
inline constexpr int kMaxSampleValues = 256;

// Converts one sample of little-endian integers to values in -1.0..1.0
// through the library's conversion (sampleDecode.h). 24-bit layout (isAdc24
// non-zero): 32-bit words after a leading word that is not plotted;
// otherwise 16-bit words. `sampleBytes` must not exceed 512.
// Returns the number of values written to `values` (at most 256).
int convertSample(const uint8_t *bytes, int sampleBytes, int isAdc24, float *values);

// Render thread: takes every whole sample queued in `queue`, converts it and
// feeds it to `decim`; bytes of an incomplete sample stay queued. Samples
// longer than 512 bytes are cut to their first 512 bytes. Returns the number
// of samples taken.
uint32_t drainPlotQueue(ByteRing &queue, const FiltInfo &layout, graph_decim &decim);

}  // namespace kelvo
