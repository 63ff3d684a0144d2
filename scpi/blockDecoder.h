// SPDX-License-Identifier: MIT
// The definite-length block decoder: '#', one digit d, d length digits, the
// payload, then CR or LF. Byte by byte, and a run of received bytes at once
// for the I/O thread's stream path, where the payload of a block moves in
// one copy instead of one step per byte.
#pragma once

#include <cstdint>

namespace kelvo {

// One decoder's state, owned by its caller. The public C decoder's state has
// this layout field for field.
struct BlockDecoder {
    int32_t state, count, length, error;
    char header[16];
};

// Returns the decoder to idle; do it before first use.
void resetBlockDecoder(BlockDecoder &decoder);

// Steps the decoder with one received byte: 1 when the byte is payload.
int stepBlockDecoder(BlockDecoder &decoder, char c);

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
// Gives exactly what `consumed` steps of stepBlockDecoder would.
DecodedRun decodeBlockBytes(BlockDecoder &decoder, const uint8_t *in, uint32_t n, uint8_t *out);

// The bytes of a broken header that came before the byte that broke it (the
// '#' included); 0 unless the decoder failed in a header.
uint32_t brokenHeaderBytes(const BlockDecoder &decoder);

// Sets the decoder to read the payload of a block of `length` bytes whose
// header was read elsewhere.
void enterPayload(BlockDecoder &decoder, int32_t length);

// ---- Finding the next block after a malformed one -------------------------
//
// A stream whose decoder failed takes up again at the next well-formed block
// header ("#", a digit 1 to 9, that many digits) that follows a CR or LF.
// Once the stream had a good block, the header must also announce that
// block's payload length: devices stream blocks of one size, and payload
// bytes that happen to read like a line end and "#4..." announce another
// length almost always.
// The search looks at one byte at a time, but it runs only after a failure.

struct BlockSearch {
    int32_t step = 0;        // where in a candidate header the search is
    int32_t digits = 0;      // length digits the candidate announces
    int32_t seen = 0;        // length digits read so far
    int32_t length = 0;      // the length they make
    uint32_t candidate = 0;  // bytes of the candidate header so far
};

struct SearchRun {
    uint32_t consumed = 0;  // bytes of the input looked at
    uint32_t skipped = 0;   // of those and earlier candidates, the bytes thrown away
    bool found = false;     // a header was accepted: the decoder stands at its payload
};

// Begins a search at the byte on which `decoder` failed; the search looks at
// that byte again. Returns the bytes of a broken header that came before it
// (they are thrown away).
uint32_t beginBlockSearch(BlockSearch &search, const BlockDecoder &decoder);

// Steps the search over up to n bytes of `in`. It stops right after a header
// it accepts (`expectedLength` < 0 accepts any length) and then sets
// `decoder` to read that block's payload.
SearchRun searchBlockHeader(BlockSearch &search, BlockDecoder &decoder, const uint8_t *in, uint32_t n,
                            int32_t expectedLength);

}  // namespace kelvo
