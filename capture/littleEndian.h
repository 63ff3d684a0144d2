// SPDX-License-Identifier: MIT
// Integers in little-endian bytes, as every header kelvo sends has them,
// whatever the machine's own order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo::recording {

template <class T>
void putLittleEndian(unsigned char *at, T value) {
    const auto bits = static_cast<uint64_t>(value);
    for (size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<unsigned char>(bits >> (8 * i));
}

template <class T>
T getLittleEndian(const unsigned char *at) {
    uint64_t bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<uint64_t>(at[i]) << (8 * i);
    return static_cast<T>(bits);
}

}  // namespace kelvo::recording
