// SPDX-License-Identifier: MIT
// A simulated data-acquisition device on a pseudo-terminal, as far as the
// library relies on one: it answers *IDN?, learns the sample layout from the
// configuration commands, streams definite-length blocks of whole samples
// after a command beginning "init" until one beginning "abor", acknowledges
// uploaded blocks and keeps a SCPI error queue for everything else.
//
// Timing: the device has a sample clock of its own (sampleClock.h), which
// starts when it takes the start command and may run fast or slow. A block
// of samples [k, k+B) is written once its last sample, k+B-1, has been
// measured, at once or late by a random delay; the truth log (truthLog.h)
// records when each block's first sample was measured.
//
// Samples: in 16-bit layouts one little-endian int16 per word; in 32-bit
// layouts (a device layout with 24-bit channels, or a scan list) a leading
// 32-bit sample counter and one int32 per channel carrying a 24-bit value in
// its top bits. Every value follows waveform() of its channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "ptyDevice.h"
#include "simClock.h"
#include "truthLog.h"

namespace kelvo::sim {

// Peak values: int16 words reach +-24000, 32-bit channels +-6000000 counts
// of a 24-bit converter (shifted left by 8).
inline constexpr int kPeak16 = 24000;
inline constexpr int kPeak24 = 6000000;

// Channel c (from 0) at `seconds`: with p the fractional part of
// (1 + c/2) * seconds, a sine sin(2 pi p), a ramp 2p - 1 or a square (+1 for
// p < 1/2, else -1), in that order repeating. Between -1 and 1.
double waveform(int channel, double seconds);

enum class FaultKind { drop, garbage, malformed, silent, corrupt, badHeader, noTerminator };

// drop: the line goes dead after `count` blocks; silent: the device stops
// sending and answering after `count` blocks; garbage: random bytes before
// every `count`-th block; malformed: every `count`-th block is 3 bytes
// shorter than its header says; corrupt: in every `count`-th block's header
// the last length digit reads '5' (one byte changed on the line);
// badHeader ("badheader"): every `count`-th block's digit count reads 'x';
// noTerminator ("noterminator"): every `count`-th block lacks its line feed.
struct Fault {
    FaultKind kind;
    unsigned count;
};

// "drop", "garbage:20" and so on; nullopt for anything else.
std::optional<Fault> parseFault(std::string_view text);

struct SimOptions {
    double sampleRate = 1000.0;  // samples per second
    unsigned samplesPerBlock = 100;
    std::string serial = "SIM0001";
    std::vector<Fault> faults;
    bool framingPayload = false;  // samples of framingSamples() instead of the waveforms
    // The sample clock runs this many parts per million fast (negative:
    // slow): a sample period is 1 / (sampleRate * (1 + clockPpm * 1e-6)) s.
    double clockPpm = 0.0;
    std::string truthPath{};  // the truth log's file; empty: the log is kept in memory only
    bool truthKept = false;   // go on after what the truth log's file holds rather than empty it
    // Each block is written late by a delay drawn uniformly from [0, lateMaxMs]
    // ms after its last sample was measured; the schedule does not shift.
    // Only this share of the blocks, drawn at random, is late (1: every one).
    double lateMaxMs = 0.0;
    double lateShare = 1.0;
    std::optional<uint64_t> seed{};  // of those delays; unset: a fresh one
};

// The words of one sample and the channel each carries.
struct SampleLayout {
    bool wide = false;           // 32-bit counter + channels; else int16 words
    std::vector<int> channel;    // per value: the waveform channel
    std::vector<int> subSample;  // per value: position within the oversampling
    int oversampling = 1;
    size_t bytes() const { return wide ? 4 * (channel.size() + 1) : 2 * channel.size(); }
};

class SimulatedDevice {
public:
    explicit SimulatedDevice(SimOptions options = {});
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice &) = delete;
    SimulatedDevice &operator=(const SimulatedDevice &) = delete;

    const std::string &path() const { return pty_.path(); }
    const std::string &serial() const { return options_.serial; }
    uint64_t samplesSent() const { return samplesSent_.load(); }
    uint64_t blocksSent() const { return blocksSent_.load(); }
    bool isStreaming() const { return pty_.isStreaming(); }

    // Index and measuring tick of each block's first sample written so far
    // in the current stream (the first is index 0 at the start tick).
    std::vector<TruthPoint> truth() const { return truth_.points(); }

    // `count` samples from `first` on, as the device streams them.
    static std::string samples(const SampleLayout &layout, double sampleRate, uint64_t first, unsigned count);

    // Samples of `sampleBytes` bytes made only of '#', CR, LF and digits,
    // which look like block headers: sample n is "\n#9", n modulo 10^9 in
    // nine digits, then "\r\n#3" repeated, cut to the sample's size.
    static std::string framingSamples(size_t sampleBytes, uint64_t first, unsigned count);

private:
    class Stream;

    void takeLine(const std::string &line);
    void execute(std::string_view command);
    bool takeBlockPart(const std::string &line);
    void startStream();
    void pushError(int code, const char *text);
    void answer(const std::string &text);

    void configureDevice(std::string_view parameters);
    void configureOversampling(std::string_view parameters);
    void configureScanList(std::string_view parameters);

    SimOptions options_;
    std::atomic<uint64_t> samplesSent_{0};
    std::atomic<uint64_t> blocksSent_{0};
    std::atomic<bool> silent_{false};

    // Touched by the pty's reader thread only (the line handler).
    std::deque<std::pair<int, std::string>> errors_;
    SampleLayout layout_;
    std::string deviceSetting_ = "0,3";
    std::string scanList_;
    int oversampling_ = 1;
    bool inBlock_ = false;
    size_t blockLength_ = 0;
    std::string block_;
    std::string lastUpload_;

    TruthLog truth_;
    std::mt19937_64 lateness_;  // used by the streaming thread only, one stream at a time

    PtyDevice pty_;  // last: its threads stop before the members above go
};

}  // namespace kelvo::sim
