// SPDX-License-Identifier: MIT
#include "webFrames.h"

#include <algorithm>
#include <bit>

#include "littleEndian.h"

namespace kelvo::recording {

namespace {

// Texts longer than a u16 says are cut; the page's and the session's limits
// keep them far shorter.
uint16_t textLength(const std::string &text) { return static_cast<uint16_t>(std::min<size_t>(text.size(), 0xFFFF)); }

}  // namespace

void FrameWriter::begin(FrameKind kind, uint16_t device) {
    bytes_.clear();
    put(static_cast<uint8_t>(kind));
    put(kWebProtocol);
    put(device);
    put(uint32_t{0});
}

template <class T>
void FrameWriter::put(T value) {
    const size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    putLittleEndian(&bytes_[at], value);
}

void FrameWriter::putFloat(float value) { put(std::bit_cast<uint32_t>(value)); }
void FrameWriter::putDouble(double value) { put(std::bit_cast<uint64_t>(value)); }

void FrameWriter::putText(const std::string &text) {
    bytes_.insert(bytes_.end(), text.begin(), text.begin() + textLength(text));
}

void FrameWriter::setSequence(uint32_t sequence) { putLittleEndian(&bytes_[kSequenceOffset], sequence); }

void FrameWriter::columns(uint16_t device, uint16_t channels, const ColumnUpdate *updates, const float *minMax,
                          uint16_t count) {
    begin(FrameKind::columns, device);
    put(channels);
    put(count);
    put(uint32_t{0});
    for (size_t i = 0; i < count; ++i) {
        put(updates[i].index);
        put(updates[i].samples);
        put(uint32_t{0});
        const float *values = minMax + i * channels * 2;
        for (size_t v = 0; v < size_t{channels} * 2; ++v) putFloat(values[v]);
    }
}

void FrameWriter::gap(uint16_t device, double startSeconds, double endSeconds, int64_t samplesLost,
                      const std::string &cause) {
    begin(FrameKind::gap, device);
    putDouble(startSeconds);
    putDouble(endSeconds);
    put(samplesLost);
    put(textLength(cause));
    putText(cause);
}

void FrameWriter::marker(double seconds, const std::string &text, const std::string &source) {
    begin(FrameKind::marker, kNoDevice);
    putDouble(seconds);
    put(textLength(text));
    put(textLength(source));
    putText(text);
    putText(source);
}

void FrameWriter::counters(uint16_t device, const DeviceCounters &c) {
    begin(FrameKind::counters, device);
    put(static_cast<uint8_t>(c.gone ? 1 : 0));
    for (int i = 0; i < 7; ++i) put(uint8_t{0});
    put(c.received);
    put(c.lost);
    put(c.gaps);
    put(c.framesNotSent);
    putDouble(c.samplesPerSecond);
}

void FrameWriter::setFramesNotSent(uint64_t frames) { putLittleEndian(&bytes_[kFramesNotSentOffset], frames); }

}  // namespace kelvo::recording
