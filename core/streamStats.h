// SPDX-License-Identifier: MIT
// The counts of each slot's stream (kelvoGetStreamStats). Only the I/O
// thread writes them; any thread reads them. Each field is a 64-bit word of
// its own, stored and loaded whole, so a reader never sees a torn count.
#pragma once

#include <cstdint>

#include "kelvo.h"

namespace kelvo {

// I/O thread only.
void resetStreamStats(int dev);
void countStreamRead(int dev, int64_t now);
void countDecoded(int dev, uint32_t blocks, uint32_t payloadBytes);
void countSamplesDropped(int dev, uint32_t samples);
void countFramingError(int dev);
void countBytesSkipped(int dev, uint32_t bytes);

}  // namespace kelvo
