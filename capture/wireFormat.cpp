// SPDX-License-Identifier: MIT
#include "wireFormat.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "littleEndian.h"

namespace kelvo::recording {

namespace {

constexpr unsigned char kMagic[4] = {'K', 'L', 'V', '1'};

// Magic, version, type and a reserved zero: the first 16 bytes of every
// version-2 header.
void putNoticeStart(unsigned char *out, WireType type) {
    std::memcpy(out, kMagic, 4);
    putLittleEndian<uint32_t>(out + 4, kWireNoticeVersion);
    putLittleEndian<uint32_t>(out + 8, static_cast<uint32_t>(type));
    putLittleEndian<uint32_t>(out + 12, 0);
}

bool isNotice(const unsigned char *in, size_t length, WireType type, size_t expectedLength) {
    return length == expectedLength && noticeType(in, length) == type;
}

// The length of the UTF-8 sequence `lead` opens, 0 when it opens none.
size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xc2 && lead <= 0xdf) return 2;
    if (lead >= 0xe0 && lead <= 0xef) return 3;
    if (lead >= 0xf0 && lead <= 0xf4) return 4;
    return 0;
}

// Whether the continuation bytes after `lead` form no overlong form, no
// surrogate and nothing above U+10FFFF.
bool continuationsFit(const unsigned char *at, size_t length) {
    for (size_t k = 1; k < length; ++k) {
        if ((at[k] & 0xc0) != 0x80) return false;
    }
    if (length == 3) {
        if (at[0] == 0xe0 && at[1] < 0xa0) return false;
        if (at[0] == 0xed && at[1] > 0x9f) return false;
    }
    if (length == 4) {
        if (at[0] == 0xf0 && at[1] < 0x90) return false;
        if (at[0] == 0xf4 && at[1] > 0x8f) return false;
    }
    return true;
}

}  // namespace

size_t encodeHeader(const WireHeader &header, unsigned char out[kWireHeaderMaxBytes]) {
    const bool one = header.version == kWireVersionOne;
    std::memcpy(out, kMagic, 4);
    putLittleEndian<uint32_t>(out + 4, one ? kWireVersionOne : kWireVersion);
    putLittleEndian<uint64_t>(out + 8, header.sequence);
    putLittleEndian<uint64_t>(out + 16, header.firstSample);
    putLittleEndian<uint32_t>(out + 24, header.sampleCount);
    putLittleEndian<uint32_t>(out + 28, header.sampleSize);
    putLittleEndian<int64_t>(out + 32, header.ticks);
    putLittleEndian<int64_t>(out + 40, header.unixNs);
    if (one) return kWireHeaderOneBytes;
    putLittleEndian<int64_t>(out + 48, header.firstSampleTicks);
    putLittleEndian<uint64_t>(out + 56, std::bit_cast<uint64_t>(header.periodTicks));
    putLittleEndian<int64_t>(out + 64, header.sentTicks);
    return kWireHeaderMaxBytes;
}

std::optional<WireHeader> decodeHeader(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (length < kWireHeaderOneBytes || std::memcmp(in, kMagic, 4) != 0) return std::nullopt;
    WireHeader header;
    header.version = getLittleEndian<uint32_t>(in + 4);
    const size_t expected = header.version == kWireVersionOne ? kWireHeaderOneBytes
                            : header.version == kWireVersion  ? kWireHeaderMaxBytes
                                                              : 0;
    if (length != expected) return std::nullopt;
    header.sequence = getLittleEndian<uint64_t>(in + 8);
    header.firstSample = getLittleEndian<uint64_t>(in + 16);
    header.sampleCount = getLittleEndian<uint32_t>(in + 24);
    header.sampleSize = getLittleEndian<uint32_t>(in + 28);
    header.ticks = getLittleEndian<int64_t>(in + 32);
    header.unixNs = getLittleEndian<int64_t>(in + 40);
    if (header.version == kWireVersionOne) return header;
    header.firstSampleTicks = getLittleEndian<int64_t>(in + 48);
    header.periodTicks = std::bit_cast<double>(getLittleEndian<uint64_t>(in + 56));
    header.sentTicks = getLittleEndian<int64_t>(in + 64);
    // NaN fails both comparisons.
    if (!(header.periodTicks >= 0 && std::isfinite(header.periodTicks))) return std::nullopt;
    return header;
}

void encodeGap(const WireGap &gap, unsigned char out[kGapHeaderBytes]) {
    putNoticeStart(out, WireType::gap);
    putLittleEndian<uint64_t>(out + 16, gap.sequence);
    putLittleEndian<int64_t>(out + 24, gap.firstIndex);
    putLittleEndian<int64_t>(out + 32, gap.lastIndex);
    putLittleEndian<int64_t>(out + 40, gap.startTicks);
    putLittleEndian<int64_t>(out + 48, gap.endTicks);
}

void encodeMarker(const WireMarker &marker, unsigned char out[kMarkerHeaderBytes]) {
    putNoticeStart(out, WireType::marker);
    putLittleEndian<uint64_t>(out + 16, marker.sequence);
    putLittleEndian<int64_t>(out + 24, marker.ticks);
    putLittleEndian<int64_t>(out + 32, marker.unixNs);
}

std::optional<WireType> noticeType(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (length < 16 || std::memcmp(in, kMagic, 4) != 0 || getLittleEndian<uint32_t>(in + 4) != kWireNoticeVersion) {
        return std::nullopt;
    }
    const auto type = getLittleEndian<uint32_t>(in + 8);
    if (type < static_cast<uint32_t>(WireType::data) || type > static_cast<uint32_t>(WireType::marker)) {
        return std::nullopt;
    }
    return static_cast<WireType>(type);
}

std::optional<WireGap> decodeGap(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (!isNotice(in, length, WireType::gap, kGapHeaderBytes)) return std::nullopt;
    WireGap gap;
    gap.sequence = getLittleEndian<uint64_t>(in + 16);
    gap.firstIndex = getLittleEndian<int64_t>(in + 24);
    gap.lastIndex = getLittleEndian<int64_t>(in + 32);
    gap.startTicks = getLittleEndian<int64_t>(in + 40);
    gap.endTicks = getLittleEndian<int64_t>(in + 48);
    // A gap holds one sample at least; its count must fit a signed 64-bit sum.
    if (gap.firstIndex < 0 || gap.lastIndex < gap.firstIndex || gap.lastIndex == INT64_MAX) return std::nullopt;
    return gap;
}

std::optional<WireMarker> decodeMarker(const void *bytes, size_t length) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    if (!isNotice(in, length, WireType::marker, kMarkerHeaderBytes)) return std::nullopt;
    WireMarker marker;
    marker.sequence = getLittleEndian<uint64_t>(in + 16);
    marker.ticks = getLittleEndian<int64_t>(in + 24);
    marker.unixNs = getLittleEndian<int64_t>(in + 32);
    return marker;
}

bool isUtf8Text(std::string_view text) {
    const auto *at = reinterpret_cast<const unsigned char *>(text.data());
    const unsigned char *end = at + text.size();
    while (at < end) {
        if (*at == 0) return false;
        const size_t length = sequenceLength(*at);
        if (length == 0 || static_cast<size_t>(end - at) < length || !continuationsFit(at, length)) return false;
        at += length;
    }
    return true;
}

}  // namespace kelvo::recording
