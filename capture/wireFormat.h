// SPDX-License-Identifier: MIT
// The header frame of a published data message; docs/wire-format.md gives
// the byte offsets. Every field is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kelvo::recording {

inline constexpr size_t kWireHeaderBytes = 48;
inline constexpr uint32_t kWireVersion = 1;

struct WireHeader {
    uint64_t sequence = 0;     // per device, from 0, +1 per message
    uint64_t firstSample = 0;  // index of the first sample in the device's stream
    uint32_t sampleCount = 0;
    uint32_t sampleSize = 0;
    int64_t ticks = 0;   // when the first byte of these samples arrived
    int64_t unixNs = 0;  // the same moment as wall-clock time
};

void encodeHeader(const WireHeader &header, unsigned char out[kWireHeaderBytes]);
// nullopt unless `bytes` is a header of this format version.
std::optional<WireHeader> decodeHeader(const void *bytes, size_t length);

}  // namespace kelvo::recording
