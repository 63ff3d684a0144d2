// SPDX-License-Identifier: MIT
// Decoded samples against what the simulated device sent: every layout kind
// streamed over a pseudo-terminal, its values compared with the device's
// waveforms and peak values, its channel names and its refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kelvo.h"
#include "pullSamples.h"
#include "simulatedDevice.h"
#include "slots.h"

using namespace std::chrono_literals;
using kelvo::sim::kPeak16;
using kelvo::sim::kPeak24;
using kelvo::sim::waveform;

namespace {

// 1.2 s of every waveform: each channel's slowest one runs a whole cycle.
constexpr double kRate = 250.0;
constexpr int kSamples = 300;

// A simulated device in a slot, configured with `commands`, each checked
// with SYSTem:ERRor? so that the device took the same layout as the library.
class Decoding : public ::testing::Test {
protected:
    static constexpr int kSlot = 1;
    kelvo::sim::SimulatedDevice device{{.sampleRate = kRate, .samplesPerBlock = 10, .serial = "SIM0001", .faults = {}}};

    void SetUp() override { ASSERT_EQ(kelvoOpen(kSlot, device.path().c_str()), 0); }
    void TearDown() override { kelvoClose(kSlot); }

    void configure(std::initializer_list<const char *> commands) {
        int length = 0, binary = 0;
        for (const char *command : commands) {
            ASSERT_NE(kelvoSendCmd(kSlot, command, &length, &binary), nullptr) << command;
            const char *error = kelvoSendCmd(kSlot, "SYST:ERR?", &length, &binary);
            ASSERT_NE(error, nullptr);
            ASSERT_STREQ(error, "0,\"No error\"\n") << command;
        }
    }

    // The first `count` samples of a fresh stream, in whole samples.
    std::vector<uint8_t> stream(int count) {
        std::vector<uint8_t> bytes = kelvo::test::pullSamples(kSlot, count);
        EXPECT_EQ(kelvoGetFaultBits(kSlot) & KELVO_FAULT_STREAM_QUEUE_FULL, 0u);
        std::this_thread::sleep_for(100ms);  // the stop completes after 50 ms of quiet
        return bytes;
    }

    std::vector<float> decode(const std::vector<uint8_t> &bytes, int count) {
        const int channels = kelvoGetChannelCount(kSlot);
        std::vector<float> values(static_cast<size_t>(channels) * count + 1, -7.0f);
        EXPECT_EQ(kelvoDecodeSamples(kSlot, bytes.data(), count, values.data()), count);
        EXPECT_EQ(values.back(), -7.0f) << "written beyond count x channels";
        values.pop_back();
        return values;
    }

    std::vector<std::string> names() {
        std::vector<std::string> all;
        for (int c = 0; c < kelvoGetChannelCount(kSlot); ++c) {
            const char *name = kelvoGetChannelName(kSlot, c);
            all.emplace_back(name != nullptr ? name : "(null)");
        }
        return all;
    }
};

// The device's 16-bit word and 32-bit channel for a waveform value.
double sent16(int channel, double seconds) { return std::lround(kPeak16 * waveform(channel, seconds)) / 32768.0; }
double sent24(int channel, double seconds) {
    return static_cast<double>(std::lround(kPeak24 * waveform(channel, seconds)) * 256) / 2147483648.0;
}

// Every value near its expectation, and each channel spanning the peak its
// waveform reaches (so a channel shifted or scaled wrongly cannot pass).
template <class Expected>
void expectValues(const std::vector<float> &values, int channels, double peak, Expected expected) {
    ASSERT_EQ(values.size(), static_cast<size_t>(channels) * kSamples);
    for (int c = 0; c < channels; ++c) {
        float low = 1.0f, high = -1.0f;
        for (int n = 0; n < kSamples; ++n) {
            const float v = values[static_cast<size_t>(n) * channels + c];
            ASSERT_NEAR(v, expected(n, c), 1e-6) << "sample " << n << " channel " << c;
            low = std::min(low, v);
            high = std::max(high, v);
        }
        EXPECT_NEAR(high, peak, 0.02 * peak) << "channel " << c;
        EXPECT_NEAR(low, -peak, 0.02 * peak) << "channel " << c;
    }
}

TEST_F(Decoding, TwentyFourBitLayoutHasACounterAndChannelsInTheTopBits) {
    configure({"CONF:DEV 3"});
    EXPECT_EQ(kelvoGetSampleSize(kSlot), 16);
    ASSERT_EQ(kelvoGetChannelCount(kSlot), 3);
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc24_1", "Adc24_2", "Adc24_3"}));
    const std::vector<uint8_t> raw = stream(kSamples);
    expectValues(decode(raw, kSamples), 3, kPeak24 / 8388608.0, [](int n, int c) { return sent24(c, n / kRate); });
    std::vector<uint32_t> counters(kSamples);
    ASSERT_EQ(kelvoGetSampleCounters(kSlot, raw.data(), kSamples, counters.data()), kSamples);
    for (int n = 0; n < kSamples; ++n) ASSERT_EQ(counters[n], static_cast<uint32_t>(n));
}

TEST_F(Decoding, SixteenBitLayoutHasAdcImuAndExtraWordsAndNoCounter) {
    configure({"CONF:DEV 0,2,1,1,1"});
    ASSERT_EQ(kelvoGetChannelCount(kSlot), 10);
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc16_1", "Adc16_2", "Imu6_1_x", "Imu6_1_y", "Imu6_1_z", "Imu6_1_gx",
                                                 "Imu6_1_gy", "Imu6_1_gz", "Extra_1", "Extra_2"}));
    const std::vector<uint8_t> raw = stream(kSamples);
    // The device gives each word of this layout a waveform of its own.
    expectValues(decode(raw, kSamples), 10, kPeak16 / 32768.0, [](int n, int c) { return sent16(c, n / kRate); });
    uint32_t counter = 0;
    EXPECT_EQ(kelvoGetSampleCounters(kSlot, raw.data(), 1, &counter), -1);
    EXPECT_STREQ(kelvoGetLastError(kSlot), "kelvoGetSampleCounters(dev=1):the 16-bit layout has no sample counter");
}

TEST_F(Decoding, OversampledAdcWordsComeInDeviceOrderWithTheirReadingsNamed) {
    configure({"CONF:SCA:OVE 2", "CONF:DEV 0,3,1"});
    ASSERT_EQ(kelvoGetChannelCount(kSlot), 12);
    const std::vector<std::string> all = names();
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 7),
              (std::vector<std::string>{"Adc16_1", "Adc16_1_2", "Adc16_2", "Adc16_2_2", "Adc16_3", "Adc16_3_2",
                                        "Imu6_1_x"}));
    const std::vector<uint8_t> raw = stream(kSamples);
    // ADC channel a's two readings are half a sample period apart.
    expectValues(decode(raw, kSamples), 12, kPeak16 / 32768.0, [](int n, int c) {
        if (c < 6) return sent16(c / 2, (n + 0.5 * (c % 2)) / kRate);
        return sent16(c - 3, n / kRate);
    });
}

TEST_F(Decoding, ScanListIsNamedAfterItsChannelNumbers) {
    configure({"CONF:DEV 0,2", "CONF:SCAN:LIST (@2,5,5,16)"});
    EXPECT_EQ(kelvoGetSampleSize(kSlot), 20);
    ASSERT_EQ(kelvoGetChannelCount(kSlot), 4);
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc24_2", "Adc24_5", "Adc24_5_2", "Adc24_16"}));
    const std::vector<uint8_t> raw = stream(kSamples);
    const int listed[4] = {2, 5, 5, 16};
    expectValues(decode(raw, kSamples), 4, kPeak24 / 8388608.0,
                 [&](int n, int c) { return sent24(listed[c] - 1, n / kRate); });
    std::vector<uint32_t> counters(kSamples);
    ASSERT_EQ(kelvoGetSampleCounters(kSlot, raw.data(), kSamples, counters.data()), kSamples);
    EXPECT_EQ(counters[kSamples - 1], static_cast<uint32_t>(kSamples - 1));

    // A device layout replaces the list, and a list replaces it again.
    configure({"CONF:DEV 0,1"});
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc16_1"}));
    configure({"CONF:SCAN:LIST (@7)"});
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc24_7"}));
}

TEST_F(Decoding, LayoutOutlivesCloseAndUnreadableListPiecesAreNamedByPosition) {
    configure({"CONF:DEV 2"});
    ASSERT_EQ(kelvoClose(kSlot), 0);
    EXPECT_EQ(kelvoGetChannelCount(kSlot), 2);
    const uint8_t sample[12] = {9, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0x80};
    float values[2];
    ASSERT_EQ(kelvoDecodeSamples(kSlot, sample, 1, values), 1);
    EXPECT_EQ(values[0], 0.5f);
    EXPECT_EQ(values[1], -1.0f);
    ASSERT_EQ(kelvoOpen(kSlot, device.path().c_str()), 0);

    // The library learns from the command whether the device takes it or not.
    int length = 0, binary = 0;
    ASSERT_NE(kelvoSendCmd(kSlot, "CONF:SCAN:LIST (@1,x)", &length, &binary), nullptr);
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc24_1", "Scan_2"}));
    // Taken as oversampling, 24-bit layout and scan list: the list has the
    // last word.
    ASSERT_NE(kelvoSendCmd(kSlot, "CONF 1,2", &length, &binary), nullptr);
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc24_1", "Adc24_2"}));
}

TEST_F(Decoding, SixteenBitCountsNotGivenAgainAreCutAtTheEndOfTheSample) {
    configure({"CONF:DEV 0,4,1"});
    configure({"CONF:DEV 0,2"});  // the record keeps its inertial unit
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc16_1", "Adc16_2"}));
    configure({"CONF:DEV 0,1,0,3"});
    EXPECT_EQ(names(), (std::vector<std::string>{"Adc16_1", "Extra_1", "Extra_2", "Extra_3"}));
}

// Words are converted in blocks that may reach into the next sample; every
// value must still be its own word times the scale, bit for bit, whatever
// the channel count and however the run ends, and nothing may be written
// after the last value.
TEST_F(Decoding, EveryValueIsItsOwnWordScaledWhateverTheChannelsAndRunLength) {
    std::vector<uint8_t> raw(4096);
    uint32_t seed = 12345;
    for (uint8_t &byte : raw) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(seed >> 24);
    }
    auto word32 = [&](size_t at) {
        int32_t word;
        std::memcpy(&word, raw.data() + at, 4);
        return static_cast<float>(word) * 0x1p-31f;
    };
    auto word16 = [&](size_t at) {
        int16_t word;
        std::memcpy(&word, raw.data() + at, 2);
        return static_cast<float>(word) * 0x1p-15f;
    };
    int length = 0, binary = 0;
    for (int channels = 1; channels <= 19; ++channels) {
        for (const bool adc24 : {true, false}) {
            const std::string command = (adc24 ? "CONF:DEV " : "CONF:DEV 0,") + std::to_string(channels);
            ASSERT_NE(kelvoSendCmd(kSlot, command.c_str(), &length, &binary), nullptr);
            ASSERT_EQ(kelvoGetChannelCount(kSlot), channels) << command;
            const auto size = static_cast<size_t>(kelvoGetSampleSize(kSlot));
            for (int count = 1; count <= 13; ++count) {
                std::vector<float> values(static_cast<size_t>(channels * count) + 8, -7.0f);
                // The run ends where its buffer does, so that a sanitized
                // build sees a block read too far; odd counts start at an
                // odd address, as a block needs no alignment.
                const size_t offset = count % 2;
                const std::vector<uint8_t> run(raw.begin(),
                                               raw.begin() + static_cast<ptrdiff_t>(offset + count * size));
                ASSERT_EQ(kelvoDecodeSamples(kSlot, run.data() + offset, count, values.data()), count);
                for (size_t n = 0; n < static_cast<size_t>(count); ++n) {
                    for (size_t c = 0; c < static_cast<size_t>(channels); ++c) {
                        const size_t at = offset + n * size + (adc24 ? 4 + 4 * c : 2 * c);
                        ASSERT_EQ(values[n * channels + c], adc24 ? word32(at) : word16(at))
                            << command << ", sample " << n << " of " << count << ", channel " << c;
                    }
                }
                for (size_t k = static_cast<size_t>(channels * count); k < values.size(); ++k)
                    ASSERT_EQ(values[k], -7.0f) << command << ", written beyond " << count << " samples";
            }
        }
    }
}

TEST_F(Decoding, RefusalsSayWhy) {
    float values[8];
    uint32_t counters[2];
    const uint8_t raw[32] = {};
    for (const int bad : {-1, 4}) {
        EXPECT_EQ(kelvoGetChannelCount(bad), -1);
        EXPECT_EQ(kelvoGetChannelName(bad, 0), nullptr);
        EXPECT_EQ(kelvoDecodeSamples(bad, raw, 1, values), -1);
        EXPECT_EQ(kelvoGetSampleCounters(bad, raw, 1, counters), -1);
    }
    configure({"CONF:DEV 1"});
    EXPECT_EQ(kelvoDecodeSamples(kSlot, nullptr, 1, values), -1);
    EXPECT_STREQ(kelvoGetLastError(kSlot), "kelvoDecodeSamples(dev=1):raw and values must not be NULL");
    EXPECT_EQ(kelvoDecodeSamples(kSlot, raw, 1, nullptr), -1);
    EXPECT_EQ(kelvoGetSampleCounters(kSlot, raw, 1, nullptr), -1);
    EXPECT_STREQ(kelvoGetLastError(kSlot), "kelvoGetSampleCounters(dev=1):raw and counters must not be NULL");
    EXPECT_EQ(kelvoDecodeSamples(kSlot, raw, -1, values), -1);
    EXPECT_STREQ(kelvoGetLastError(kSlot), "kelvoDecodeSamples(dev=1):negative sample count -1");
    EXPECT_EQ(kelvoDecodeSamples(kSlot, raw, 0, values), 0);
    EXPECT_EQ(kelvoGetChannelName(kSlot, 1), nullptr);
    EXPECT_STREQ(kelvoGetLastError(kSlot), "kelvoGetChannelName(dev=1):channel 1 outside the layout's 1 channels");
    EXPECT_EQ(kelvoGetChannelName(kSlot, -1), nullptr);

    // A slot that never had a layout.
    const int32_t saved = kelvo::slots[kSlot].filteredSampleSize;
    kelvo::slots[kSlot].filteredSampleSize = 0;
    EXPECT_EQ(kelvoGetChannelCount(kSlot), 0);
    EXPECT_EQ(kelvoGetChannelName(kSlot, 0), nullptr);
    EXPECT_EQ(kelvoDecodeSamples(kSlot, raw, 1, values), -1);
    EXPECT_STREQ(kelvoGetLastError(kSlot),
                 "kelvoDecodeSamples(dev=1):no sample layout; send a configuration command first");
    EXPECT_EQ(kelvoGetSampleCounters(kSlot, raw, 1, counters), -1);
    kelvo::slots[kSlot].filteredSampleSize = saved;
}

}  // namespace
