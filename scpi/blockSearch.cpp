// SPDX-License-Identifier: MIT
// Finding the next block of a stream after a malformed one.
#include "blockDecoder.h"

namespace kelvo {
namespace {

enum SearchStep : int32_t {
    kLineEnd = 0,     // skipping to a CR or LF
    kHash = 1,        // just after a CR or LF: a '#' may begin a header
    kDigitCount = 2,  // after the '#'
    kLength = 3,      // reading the length digits
};

bool isLineEnd(uint8_t c) { return c == '\r' || c == '\n'; }
bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// The candidate ends without a header: its bytes and `c` are thrown away,
// and `c` may itself be the line end a header has to follow.
uint32_t reject(BlockSearch &search, uint8_t c) {
    const uint32_t thrown = search.candidate + 1;
    search.candidate = 0;
    search.step = isLineEnd(c) ? kHash : kLineEnd;
    return thrown;
}

}  // namespace

uint32_t beginBlockSearch(BlockSearch &search, const BlockDecoder &decoder) {
    search = BlockSearch{};
    return brokenHeaderBytes(decoder);
}

SearchRun searchBlockHeader(BlockSearch &search, BlockDecoder &decoder, const uint8_t *in, uint32_t n,
                            int32_t expectedLength) {
    SearchRun run;
    while (run.consumed < n) {
        const uint8_t c = in[run.consumed++];
        switch (search.step) {
            case kLineEnd:
                ++run.skipped;
                if (isLineEnd(c)) search.step = kHash;
                break;
            case kHash:
                if (c == '#') {
                    search.candidate = 1;
                    search.step = kDigitCount;
                } else {
                    ++run.skipped;
                    if (!isLineEnd(c)) search.step = kLineEnd;
                }
                break;
            case kDigitCount:
                if (c < '1' || c > '9') {
                    run.skipped += reject(search, c);
                    break;
                }
                search.digits = c - '0';
                search.seen = 0;
                search.length = 0;
                ++search.candidate;
                search.step = kLength;
                break;
            default:  // kLength
                if (!isDigit(c)) {
                    run.skipped += reject(search, c);
                    break;
                }
                search.length = search.length * 10 + (c - '0');
                ++search.candidate;
                if (++search.seen < search.digits) break;
                if (expectedLength >= 0 && search.length != expectedLength) {
                    // A digit ends it: no line end for the next header here.
                    run.skipped += search.candidate;
                    search.candidate = 0;
                    search.step = kLineEnd;
                    break;
                }
                enterPayload(decoder, search.length);
                search = BlockSearch{};
                run.found = true;
                return run;
        }
    }
    return run;
}

}  // namespace kelvo
