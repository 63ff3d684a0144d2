// SPDX-License-Identifier: MIT
#include "wireFormat.h"

#include <cstring>

namespace kelvo::recording {

namespace {

template <class T>
void put(unsigned char *at, T value) {
    const auto bits = static_cast<uint64_t>(value);
    for (size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<unsigned char>(bits >> (8 * i));
}

template <class T>
T get(const unsigned char *at) {
    uint64_t bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<uint64_t>(at[i]) << (8 * i);
    return static_cast<T>(bits);
}

constexpr unsigned char kMagic[4] = {'K', 'L', 'V', '1'};

}  // namespace

void encodeHeader(const WireHeader &header, unsigned char out[kWireHeaderBytes]) {
    std::memcpy(out, kMagic, 4);
    put<uint32_t>(out + 4, kWireVersion);
    put<uint64_t>(out + 8, header.sequence);
    put<uint64_t>(out + 16, header.firstSample);
    put<uint32_t>(out + 24, header.sampleCount);
    put<uint32_t>(out + 28, header.sampleSize);
    put<int64_t>(out + 32, header.ticks);
    put<int64_t>(out + 40, header.unixNs);
}

std::optional<WireHeader> decodeHeader(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (length != kWireHeaderBytes || std::memcmp(in, kMagic, 4) != 0 || get<uint32_t>(in + 4) != kWireVersion) {
        return std::nullopt;
    }
    WireHeader header;
    header.sequence = get<uint64_t>(in + 8);
    header.firstSample = get<uint64_t>(in + 16);
    header.sampleCount = get<uint32_t>(in + 24);
    header.sampleSize = get<uint32_t>(in + 28);
    header.ticks = get<int64_t>(in + 32);
    header.unixNs = get<int64_t>(in + 40);
    return header;
}

}  // namespace kelvo::recording
