// SPDX-License-Identifier: MIT
// Decoding a run of received bytes at once, for the I/O thread's stream
// path: the same decoder as SCPIdecoder, but the payload of a block moves
// in one copy instead of one call per byte.
#pragma once

#include <cstdint>

#include "kelvo_lowlevel.h"

namespace kelvo {

// What one run of the decoder did.
struct DecodedRun {
    uint32_t consumed = 0;    // bytes of the input stepped over
    uint32_t payload = 0;     // payload bytes written to the output
    uint32_t blocks = 0;      // blocks completed (their terminator seen)
    int32_t lastLength = -1;  // payload length of the last block completed, -1 when none
    bool failed = false;      // stopped at the byte that made the decoder fail
};

// Steps `decoder` over the n bytes of `in` and writes their payload bytes,
// in order, to `out`. `out` may be `in`: the payload is compacted in place
// and never overtakes the reading position. Stops right after a byte that
// makes the decoder fail (a malformed header or a missing terminator), so
// the caller learns where the stream broke; otherwise it consumes all n.
// Gives exactly what `consumed` calls of SCPIdecoder would.
DecodedRun decodeBlockBytes(SCPIdecoderState &decoder, const uint8_t *in, uint32_t n, uint8_t *out);

}  // namespace kelvo
