// SPDX-License-Identifier: MIT
// Decoding a run of received bytes at once, for the I/O thread's stream
// path: the same decoder as SCPIdecoder, but the payload of a block moves
// in one copy instead of one call per byte.
#pragma once

#include <cstdint>

#include "kelvo_lowlevel.h"

namespace kelvo {

// Steps `decoder` over n bytes of `in` and writes their payload bytes, in
// order, to `out`; returns how many. `out` may be `in`: the payload is
// compacted in place and never overtakes the reading position. Gives
// exactly what n calls of SCPIdecoder would.
uint32_t decodeBlockBytes(SCPIdecoderState &decoder, const uint8_t *in, uint32_t n, uint8_t *out);

}  // namespace kelvo
