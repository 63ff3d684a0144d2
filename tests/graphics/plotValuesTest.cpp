// SPDX-License-Identifier: MIT
// The plot draws the values kelvoDecodeSamples gives: samples streamed by the
// simulated device go through the plot queue into the plot model, and each
// plotted channel holds the decoded value of the channel it shows.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "byteRing.h"
#include "kelvo.h"
#include "plotQueue.h"
#include "pullSamples.h"
#include "renderArea.h"
#include "simulatedDevice.h"
#include "slots.h"

using namespace std::chrono_literals;
using namespace kelvo;

namespace {

constexpr int kSlot = 2;
constexpr int kSamples = 60;

class PlotValues : public ::testing::Test {
protected:
    sim::SimulatedDevice device{{.sampleRate = 500.0, .samplesPerBlock = 10, .serial = "SIM0001", .faults = {}}};

    void SetUp() override { ASSERT_EQ(kelvoOpen(kSlot, device.path().c_str()), 0); }
    void TearDown() override { kelvoClose(kSlot); }

    void configure(std::initializer_list<const char *> commands) {
        int length = 0, binary = 0;
        for (const char *command : commands) ASSERT_NE(kelvoSendCmd(kSlot, command, &length, &binary), nullptr);
        const char *error = kelvoSendCmd(kSlot, "SYST:ERR?", &length, &binary);
        ASSERT_NE(error, nullptr);
        ASSERT_STREQ(error, "0,\"No error\"\n");
    }

    std::vector<uint8_t> stream() { return test::pullSamples(kSlot, kSamples); }

    // Lays the model out as the plot window does for the slot's record, then
    // passes the streamed samples one by one through a plot queue and checks
    // what each plotted channel took against the decoded values.
    void expectPlotShowsDecodedValues(const std::vector<uint8_t> &raw) {
        const FiltInfo layout = filtInfo[kSlot];
        RenderArea model(kSamples, 100);
        for (int32_t i = 1; i <= layout.nAdc24; ++i) model.addGraph(1, "Adc24_" + std::to_string(i), false, true);
        for (int32_t i = 1; i <= layout.nAdc16; ++i) model.addGraph(1, "Adc16_" + std::to_string(i), false, true);
        for (int32_t i = 1; i <= layout.nImu6; ++i) model.addGraph(3, "Imu6_" + std::to_string(i), false, true);
        // One sample per column: each sample ends a column and leaves its
        // own values as the next column's start.
        model.layoutChannels(kSamples);
        ASSERT_GT(model.nChannels, 0);

        const int channels = kelvoGetChannelCount(kSlot);
        ASSERT_GE(channels, model.nChannels);
        std::vector<float> decoded(static_cast<size_t>(channels) * kSamples);
        ASSERT_EQ(kelvoDecodeSamples(kSlot, raw.data(), kSamples, decoded.data()), kSamples);

        std::vector<uint8_t> store(1024);
        ByteRing queue{0, 0, store.data(), static_cast<uint32_t>(store.size())};
        const auto size = static_cast<uint32_t>(layout.sampleBytes);
        bool varies = false;
        for (int n = 0; n < kSamples; ++n) {
            ASSERT_TRUE(ringPut(queue, raw.data() + static_cast<size_t>(n) * size, size));
            ASSERT_EQ(drainPlotQueue(queue, layout, model.decim), 1u);
            for (int c = 0; c < model.nChannels; ++c) {
                const float value = decoded[static_cast<size_t>(n) * channels + c];
                ASSERT_EQ(model.decim.high[c], value) << "sample " << n << " channel " << c;
                ASSERT_EQ(model.decim.low[c], value) << "sample " << n << " channel " << c;
                varies = varies || value != decoded[static_cast<size_t>(c)];
            }
        }
        EXPECT_TRUE(varies) << "the stream never changed";
    }
};

TEST_F(PlotValues, TwentyFourBitTracesAreTheDecodedChannels) {
    configure({"CONF:DEV 3"});
    expectPlotShowsDecodedValues(stream());
}

// The plot keeps its own selection: one value per ADC graph and three per
// inertial-unit graph, taken in order from the decoded sample, whatever the
// oversampling.
TEST_F(PlotValues, SixteenBitTracesAreTheLeadingDecodedValues) {
    configure({"CONF:SCA:OVE 2", "CONF:DEV 0,2,2,1"});
    ASSERT_EQ(kelvoGetChannelCount(kSlot), 17);
    expectPlotShowsDecodedValues(stream());
}

}  // namespace
