// SPDX-License-Identifier: MIT
// Test support: a device that streams numbered samples after "init" and
// stops after "abor", and a checker for the bytes that come out.
#pragma once

#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "openDevice.h"

namespace kelvo::test {

// An 8-byte sample: a sequence number and its complement.
inline constexpr int kSampleBytes = 8;

inline std::string numberedSamples(uint32_t first, uint32_t count) {
    std::string bytes(count * kSampleBytes, '\0');
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t words[2] = {first + i, ~(first + i)};
        std::memcpy(&bytes[i * kSampleBytes], words, sizeof words);
    }
    return bytes;
}

// Streams blocks of `samplesPerBlock` numbered samples every `interval`
// between "init" and "abor"; `blocksAfterAbort` more blocks follow the stop
// command, as a device that is slow to stop would send.
class NumberedStream {
public:
    NumberedStream(sim::PtyDevice &device, uint32_t samplesPerBlock, std::chrono::microseconds interval,
                   int blocksAfterAbort = 0)
        : device_(device) {
        device.onLine([=, this](sim::PtyDevice &d, const std::string &line) {
            if (strncasecmp(line.c_str(), "init", 4) == 0) {
                d.stopStreaming();
                sent_ = 0;
                blocksLeft_ = kUnlimited;
                d.startStreaming([this, samplesPerBlock] { return nextBlock(samplesPerBlock); }, interval);
            } else if (strncasecmp(line.c_str(), "abor", 4) == 0) {
                blocksLeft_ = blocksAfterAbort;
            }
        });
    }
    ~NumberedStream() {
        device_.onLine(nullptr);
        device_.stopStreaming();
    }
    NumberedStream(const NumberedStream &) = delete;
    NumberedStream &operator=(const NumberedStream &) = delete;

    // Samples written so far.
    uint32_t sent() const { return sent_.load(); }
    // True once the device has stopped sending after "abor".
    bool silent() const { return blocksLeft_.load() == 0; }

private:
    static constexpr int kUnlimited = -1;

    // Runs on the device's streaming thread.
    std::string nextBlock(uint32_t samples) {
        const int left = blocksLeft_.load();
        if (left == 0) return {};
        if (left > 0) blocksLeft_ = left - 1;
        const uint32_t first = sent_.load();
        const std::string block = sim::definiteBlock(numberedSamples(first, samples));
        sent_ = first + samples;
        return block;
    }

    sim::PtyDevice &device_;
    std::atomic<uint32_t> sent_{0};
    std::atomic<int> blocksLeft_{kUnlimited};
};

// Checks that bytes continue the numbered sequence without gap or change.
class SequenceChecker {
public:
    bool take(const unsigned char *bytes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            partial_[filled_++] = bytes[i];
            if (filled_ < kSampleBytes) continue;
            filled_ = 0;
            uint32_t words[2];
            std::memcpy(words, partial_, sizeof words);
            if (words[0] != expected_ || words[1] != ~expected_) {
                ok_ = false;
                return false;
            }
            ++expected_;
        }
        return ok_;
    }
    bool ok() const { return ok_; }
    uint32_t samples() const { return expected_; }
    bool atSampleBoundary() const { return filled_ == 0; }

private:
    unsigned char partial_[kSampleBytes]{};
    int filled_ = 0;
    uint32_t expected_ = 0;
    bool ok_ = true;
};

}  // namespace kelvo::test
