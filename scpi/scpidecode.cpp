// SPDX-License-Identifier: MIT
// The block decoder's steps (see blockDecoder.h).
#include <algorithm>
#include <cstring>

#include "blockDecoder.h"

namespace {

enum DecoderState : int32_t {
    kIdle = 0,
    kHeader = 1,
    kPayload = 2,
    kTerminator = 3,
    kHeaderFault = 4,
    kTerminatorFault = 5,
    kFailed = 6,
};

constexpr int kMaxHeaderChars = 9;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int32_t leadingDecimal(const char *digits, int count) {
    int32_t value = 0;
    for (int i = 0; i < count && isDigit(digits[i]); ++i) value = value * 10 + (digits[i] - '0');
    return value;
}

int stepHeader(kelvo::BlockDecoder &d, char c) {
    d.header[d.count++] = c;
    if (!isDigit(d.header[0]) || d.count > kMaxHeaderChars) {
        d.state = kHeaderFault;
        return 0;
    }
    const int digitCount = d.header[0] - '0';
    if (d.count == digitCount + 1) {
        d.length = leadingDecimal(d.header + 1, digitCount);
        d.count = 0;
        d.state = d.length > 0 ? kPayload : kTerminator;
    }
    return 0;
}

}  // namespace

namespace kelvo {

void resetBlockDecoder(BlockDecoder &decoder) {
    decoder.state = kIdle;
    decoder.count = 0;
    decoder.length = 0;
    decoder.error = 0;
}

int stepBlockDecoder(BlockDecoder &decoder, char c) {
    switch (decoder.state) {
        case kIdle:
            if (c == '#') {
                decoder.count = 0;
                decoder.state = kHeader;
            }
            return 0;
        case kHeader: return stepHeader(decoder, c);
        case kPayload:
            if (++decoder.count == decoder.length) decoder.state = kTerminator;
            return 1;
        case kTerminator:
            if (c == '\r' || c == '\n') {
                decoder.count = 0;
                decoder.state = kIdle;
            } else {
                decoder.state = kTerminatorFault;
            }
            return 0;
        case kHeaderFault:
        case kTerminatorFault:
            decoder.error = 1;
            decoder.state = kFailed;
            return 0;
        default: return 0;
    }
}

DecodedRun decodeBlockBytes(BlockDecoder &decoder, const uint8_t *in, uint32_t n, uint8_t *out) {
    DecodedRun run;
    uint32_t i = 0;
    while (i < n) {
        if (decoder.state == kPayload) {
            const auto left = static_cast<uint32_t>(decoder.length - decoder.count);
            const uint32_t span = std::min(left, n - i);
            std::memmove(out + run.payload, in + i, span);
            run.payload += span;
            i += span;
            decoder.count += static_cast<int32_t>(span);
            if (decoder.count == decoder.length) decoder.state = kTerminator;
            continue;
        }
        const int32_t before = decoder.state;
        if (stepBlockDecoder(decoder, static_cast<char>(in[i]))) out[run.payload++] = in[i];
        ++i;
        if (before == kTerminator && decoder.state == kIdle) {
            ++run.blocks;
            run.lastLength = decoder.length;
        } else if (decoder.state == kHeaderFault || decoder.state == kTerminatorFault) {
            run.failed = true;
            break;
        }
    }
    run.consumed = i;
    return run;
}

uint32_t brokenHeaderBytes(const BlockDecoder &decoder) {
    // The '#' and the header characters before the one that broke it.
    return decoder.state == kHeaderFault ? static_cast<uint32_t>(decoder.count) : 0;
}

void enterPayload(BlockDecoder &decoder, int32_t length) {
    resetBlockDecoder(decoder);
    decoder.length = length;
    decoder.state = length > 0 ? kPayload : kTerminator;
}

}  // namespace kelvo
