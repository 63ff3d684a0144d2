// SPDX-License-Identifier: MIT
// The header frames of published messages; docs/wire-format.md gives the
// byte offsets. Every field is little-endian. Data messages have format
// version 3: version 1's fields at their offsets, then the sample clock's
// time of the first sample and the send stamp. A publisher asked for it
// still sends version 1, for subscribers written before; gap and marker
// messages have headers of version 2, which such subscribers skip, with a
// type field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvo::recording {

inline constexpr uint32_t kWireVersionOne = 1;
inline constexpr uint32_t kWireVersion = 3;
inline constexpr size_t kWireHeaderOneBytes = 48;
inline constexpr size_t kWireHeaderMaxBytes = 72;  // version 3's

struct WireHeader {
    uint32_t version = kWireVersion;  // 1 or 3
    uint64_t sequence = 0;            // per device, from 0, +1 per message
    uint64_t firstSample = 0;         // index of the first sample in the device's stream
    uint32_t sampleCount = 0;
    uint32_t sampleSize = 0;
    int64_t ticks = 0;   // when the first byte of the message's first chunk arrived
    int64_t unixNs = 0;  // the same moment as wall-clock time
    // Version 3 only (0 in version 1): the device's sample clock's fitted
    // time of the first sample and its ticks per sample, 0 while the clock
    // has no fit; the publisher's clock when ZeroMQ took the message.
    int64_t firstSampleTicks = 0;
    double periodTicks = 0;
    int64_t sentTicks = 0;
};

// The length written: 48 bytes for version 1 (the later fields left out),
// 72 for version 3.
size_t encodeHeader(const WireHeader &header, unsigned char out[kWireHeaderMaxBytes]);
// nullopt unless `bytes` is exactly a header of version 1 or 3 with sound
// fields (a finite period, not negative).
std::optional<WireHeader> decodeHeader(const void *bytes, size_t length);

// ---- Format version 2: the messages besides the samples ----

inline constexpr uint32_t kWireNoticeVersion = 2;
enum class WireType : uint32_t { data = 1, gap = 2, marker = 3 };

inline constexpr size_t kGapHeaderBytes = 56;
inline constexpr size_t kMarkerHeaderBytes = 40;
// The longest texts a receiver takes: kelvoCaptureMark's limit for a
// marker, and far more than any cause the library names.
inline constexpr size_t kMaxMarkerTextBytes = 4096;
inline constexpr size_t kMaxShortTextBytes = 64;  // a gap's cause, a marker's source

// Samples of one device that never reached the publisher; the cause is
// the message's next frame.
struct WireGap {
    uint64_t sequence = 0;  // per device, from 0, +1 per gap message
    int64_t firstIndex = 0;
    int64_t lastIndex = 0;
    int64_t startTicks = 0;  // the last sample before the gap
    int64_t endTicks = 0;    // the first sample after it
};

// A marker of the session; its text and source are the next two frames.
struct WireMarker {
    uint64_t sequence = 0;  // per session, from 0, +1 per marker message
    int64_t ticks = 0;
    int64_t unixNs = 0;
};

void encodeGap(const WireGap &gap, unsigned char out[kGapHeaderBytes]);
void encodeMarker(const WireMarker &marker, unsigned char out[kMarkerHeaderBytes]);
// The type of a version-2 header, nullopt for anything else (a version-1
// header included).
std::optional<WireType> noticeType(const void *bytes, size_t length);
// nullopt unless `bytes` is exactly such a header with sound fields.
std::optional<WireGap> decodeGap(const void *bytes, size_t length);
std::optional<WireMarker> decodeMarker(const void *bytes, size_t length);

// Whether `text` is well-formed UTF-8 without a zero byte: what a receiver
// may store as an HDF5 string.
bool isUtf8Text(std::string_view text);

}  // namespace kelvo::recording
