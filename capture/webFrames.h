// SPDX-License-Identifier: MIT
// The browser view's binary frames (docs/web-protocol.md), written into a
// buffer that is kept and reused: once it has grown to the largest frame,
// writing one allocates nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "webColumns.h"

namespace kelvo::recording {

enum class FrameKind : uint8_t { columns = 1, gap = 2, marker = 3, counters = 4 };

constexpr uint8_t kWebProtocol = 1;
constexpr uint16_t kNoDevice = 0xFFFF;
constexpr size_t kSequenceOffset = 4;

struct DeviceCounters {
    bool gone = false;
    uint64_t received = 0;
    uint64_t lost = 0;
    uint64_t gaps = 0;
    uint64_t framesNotSent = 0;  // to the socket the frame goes to
    double samplesPerSecond = 0;
};

class FrameWriter {
public:
    const std::vector<unsigned char> &bytes() const { return bytes_; }
    // Writes the socket's number for the frame over the one written.
    void setSequence(uint32_t sequence);

    // A columns frame: `minMax` holds columns.size() x channels x 2.
    void columns(uint16_t device, uint16_t channels, const ColumnUpdate *updates, const float *minMax, uint16_t count);
    void gap(uint16_t device, double startSeconds, double endSeconds, int64_t samplesLost, const std::string &cause);
    void marker(double seconds, const std::string &text, const std::string &source);
    void counters(uint16_t device, const DeviceCounters &counters);
    // Where a counters frame keeps framesNotSent, for each socket's own.
    static constexpr size_t kFramesNotSentOffset = 40;
    void setFramesNotSent(uint64_t frames);

private:
    void begin(FrameKind kind, uint16_t device);
    template <class T>
    void put(T value);
    void putFloat(float value);
    void putDouble(double value);
    void putText(const std::string &text);

    std::vector<unsigned char> bytes_;
};

}  // namespace kelvo::recording
