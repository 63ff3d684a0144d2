// SPDX-License-Identifier: MIT
// takeWholeSamples, a template so that the I/O thread's handling of each run
// is inlined into it.
#pragma once

#include <algorithm>
#include <cstring>

namespace kelvo {

template <class Take>
void takeWholeSamples(SampleCarry &carry, const uint8_t *bytes, uint32_t n, uint32_t sampleBytes, Take take) {
    const uint32_t S = sampleBytes;
    if (carry.held >= S) carry.held = 0;  // the layout shrank
    if (carry.held != 0) {
        const uint32_t taken = std::min(S - carry.held, n);
        std::memcpy(carry.bytes + carry.held, bytes, taken);
        carry.held += taken;
        bytes += taken;
        n -= taken;
        if (carry.held < S) return;
        carry.held = 0;
        take(static_cast<const uint8_t *>(carry.bytes), 1u);
    }
    const uint32_t whole = n / S;
    if (whole != 0) take(bytes, whole);
    carry.held = n - whole * S;
    std::memcpy(carry.bytes, bytes + size_t{whole} * S, carry.held);
}

}  // namespace kelvo
