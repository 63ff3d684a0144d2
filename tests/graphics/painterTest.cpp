// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "painter.h"
#include "plotQueue.h"
#include "renderArea.h"

using namespace kelvo;

namespace {

constexpr uint32_t kGrey = 0xB4B4B4B4;

struct Canvas {
    int width, height;
    std::vector<uint32_t> pixels;
    Canvas(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h, kGrey) {}
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    // Rows of column x that hold `colour`.
    std::vector<int> rowsOf(int x, uint32_t colour) const {
        std::vector<int> rows;
        for (int y = 0; y < height; ++y)
            if (at(x, y) == colour) rows.push_back(y);
        return rows;
    }
};

RenderArea stripsModel(int width, int height, int graphs, int span) {
    RenderArea model(width, height);
    for (int i = 0; i < graphs; ++i) model.addGraph(1, "g", false, true);
    model.layoutChannels(span);
    return model;
}

void feedAll(RenderArea &model, float value, int times) {
    std::vector<float> sample(kMaxPlotChannels, value);
    for (int i = 0; i < times; ++i) model.decim.enqSample(sample.data());
}

TEST(PixelRoutines, ScrollMovesColumnsLeftAndKeepsTheRightmost) {
    const int W = 5;
    std::vector<uint32_t> p = {0, 1, 2, 3, 4, 10, 11, 12, 13, 14};
    scroll_x(p.data(), W, 2, 2);
    EXPECT_EQ(p, (std::vector<uint32_t>{2, 3, 4, 3, 4, 12, 13, 14, 13, 14}));
    scroll_x(p.data(), W, 2, 5);
    scroll_x(p.data(), W, 0, 1);
    EXPECT_EQ(p, (std::vector<uint32_t>{2, 3, 4, 3, 4, 12, 13, 14, 13, 14}))
        << "nothing when shift >= width or no rows";
}

TEST(PixelRoutines, FillRectUsesStrideAndClipsColumns) {
    Canvas c(6, 3);
    fillRect(c.pixels.data(), 6, 4, 1, 5, 2, 7);
    fillRect(c.pixels.data(), 6, 0, 0, 0, 3, 9);
    EXPECT_EQ(c.at(3, 1), kGrey);
    EXPECT_EQ(c.at(4, 1), 7u);
    EXPECT_EQ(c.at(5, 2), 7u);
    EXPECT_EQ(c.at(0, 0), kGrey);
    EXPECT_EQ(rgbPixel(255, 255, 193), 0xFFFFC1u);
}

TEST(PixelRoutines, ValueRowsMapAndClampWithinStrip) {
    EXPECT_EQ(valueRow(1.0f, 1.0f, 0.0f, 200, 200), 202);
    EXPECT_EQ(valueRow(-1.0f, 1.0f, 0.0f, 200, 200), 398);
    EXPECT_EQ(valueRow(0.0f, 1.0f, 0.0f, 200, 200), 300);
    EXPECT_EQ(valueRow(0.5f, 1.0f, 0.0f, 200, 200), 250);
    EXPECT_EQ(valueRow(0.0f, 1.0f, 0.5f, 200, 200), 250) << "offset applies after gain";
    EXPECT_EQ(valueRow(1e30f, 1.0f, 0.0f, 200, 200), 202);
    EXPECT_EQ(valueRow(-1e30f, 1.0f, 0.0f, 200, 200), 398);
    EXPECT_EQ(valueRow(std::nanf(""), 1.0f, 0.0f, 200, 200), 202);
    // Strips of one to three rows: the two-row margins would leave the strip.
    for (int g = 1; g < 4; ++g) {
        for (float v : {-1.0f, 0.0f, 1.0f}) {
            const int y = valueRow(v, 1.0f, 0.0f, 0, g);
            EXPECT_GE(y, 0) << g;
            EXPECT_LT(y, g) << g;
        }
    }
}

TEST(PaintEvent, NothingBeforeLayout) {
    RenderArea model(40, 30);
    Canvas c(40, 30);
    model.decim.newCols = 3;
    paintEvent(c.pixels.data(), &model);
    EXPECT_EQ(c.rowsOf(39, kGrey).size(), 30u);
    EXPECT_EQ(model.decim.newCols, 3u);
}

TEST(PaintEvent, ThreeStripsGetBackgroundsBoundariesAndCentreLines) {
    RenderArea model = stripsModel(100, 600, 3, 100);
    Canvas c(100, 600);
    feedAll(model, 0.5f, 10);
    paintEvent(c.pixels.data(), &model);
    EXPECT_EQ(model.decim.newCols, 0u);
    // Columns W-s-1 .. W-1 = 89..99 repainted, the one left of them untouched.
    EXPECT_EQ(c.at(88, 50), kGrey);
    EXPECT_EQ(c.at(89, 50), kEvenStripColour);
    EXPECT_EQ(c.at(99, 260), kOddStripColour);
    EXPECT_EQ(c.at(95, 440), kEvenStripColour);
    for (int row : {200, 400}) {
        EXPECT_EQ(c.at(0, row), kBoundaryColour) << "boundaries span the full width";
        EXPECT_EQ(c.at(99, row), kBoundaryColour);
    }
    EXPECT_EQ(c.at(0, 0), kGrey) << "no line above strip 0";
    for (int row : {100, 300, 500}) {
        EXPECT_EQ(c.at(89, row), kCentreLineColour);
        EXPECT_EQ(c.at(88, row), kGrey);
    }
    // 0.5 in a 200-row strip lands 50 rows below its top.
    EXPECT_EQ(c.rowsOf(95, 0x0000FF), (std::vector<int>{50, 250, 450}));
}

TEST(PaintEvent, ScrollsOldPictureLeftAndDrawsOnlyColumnsOfCurrentLayout) {
    RenderArea model = stripsModel(100, 200, 1, 100);
    Canvas c(100, 200);
    feedAll(model, 0.0f, 5);
    paintEvent(c.pixels.data(), &model);
    // filled 5 of span 100 over 100 columns: the newest 5 columns carry data.
    EXPECT_TRUE(c.rowsOf(94, 0x0000FF).empty());
    EXPECT_EQ(c.rowsOf(95, 0x0000FF), std::vector<int>{100});
    feedAll(model, -1.0f, 3);
    paintEvent(c.pixels.data(), &model);
    // Earlier columns moved 3 left; the new ones join 0.0 to -1.0, then sit
    // at the bottom clamp.
    EXPECT_EQ(c.rowsOf(92, 0x0000FF), std::vector<int>{100});
    EXPECT_EQ(c.rowsOf(97, 0x0000FF).front(), 100);
    EXPECT_EQ(c.rowsOf(97, 0x0000FF).back(), 198);
    EXPECT_EQ(c.rowsOf(99, 0x0000FF), std::vector<int>{198});
}

TEST(PaintEvent, BacklogWiderThanWindowRepaintsEverythingOnce) {
    RenderArea model = stripsModel(50, 40, 2, 10);
    Canvas c(50, 40);
    feedAll(model, 0.0f, 100);  // 500 columns for a 50-column window
    ASSERT_GT(model.decim.newCols, 50u);
    paintEvent(c.pixels.data(), &model);
    for (int x = 0; x < 50; ++x) {
        EXPECT_EQ(c.rowsOf(x, 0x0000FF), (std::vector<int>{10, 30})) << x;
    }
}

TEST(PaintEvent, TinyStripsStayInsideThePicture) {
    // 24 strips in 30 rows: one row each, and six rows below the last strip.
    RenderArea model = stripsModel(20, 30, 24, 20);
    std::vector<uint32_t> guarded(20 * 30 + 40, 0xDEADBEEF);
    for (float v : {1.0f, -1.0f, 0.0f}) {
        feedAll(model, v, 25);
        paintEvent(guarded.data() + 20, &model);
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(guarded[i], 0xDEADBEEFu);
        EXPECT_EQ(guarded[20 + 600 + i], 0xDEADBEEFu);
    }
}

TEST(SampleConversion, SixteenBitValues) {
    const uint8_t bytes[8] = {0x00, 0x40, 0x00, 0xC0, 0xFF, 0x7F, 0x00, 0x00};
    float v[4];
    ASSERT_EQ(convertSample(bytes, 8, 0, v), 4);
    EXPECT_FLOAT_EQ(v[0], 0.5f);
    EXPECT_FLOAT_EQ(v[1], -0.5f);
    EXPECT_NEAR(v[2], 0.999969f, 1e-6);
    EXPECT_FLOAT_EQ(v[3], 0.0f);
    EXPECT_EQ(convertSample(bytes, 1, 0, v), 0);
}

TEST(SampleConversion, TwentyFourBitLayoutSkipsLeadingWord) {
    const uint8_t bytes[12] = {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x80};
    float v[2];
    ASSERT_EQ(convertSample(bytes, 12, 1, v), 2);
    EXPECT_FLOAT_EQ(v[0], 0.5f);
    EXPECT_FLOAT_EQ(v[1], -1.0f);
    const uint8_t largest[8] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
    ASSERT_EQ(convertSample(largest, 8, 1, v), 1);
    EXPECT_FLOAT_EQ(v[0], 1.0f);
    EXPECT_EQ(convertSample(bytes, 7, 1, v), 0);
}

// A queue over local memory, primed so that its tail sits at `start`.
struct TestQueue {
    std::vector<uint8_t> memory;
    ByteRing ring;
    TestQueue(uint32_t size, uint32_t start) : memory(size), ring{start, start, memory.data(), size} {}
    void put(const std::vector<uint8_t> &bytes) {
        for (uint8_t b : bytes) {
            memory[ring.head] = b;
            ring.head = (ring.head + 1) % ring.size;
        }
    }
    uint32_t fill() const { return (ring.head + ring.size - ring.tail) % ring.size; }
};

std::vector<uint8_t> sixteenBit(std::initializer_list<int16_t> values) {
    std::vector<uint8_t> bytes;
    for (int16_t v : values) {
        bytes.push_back(static_cast<uint8_t>(v & 0xFF));
        bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
    return bytes;
}

TEST(PlotQueueDrain, TakesWholeSamplesAndLeavesThePartialOne) {
    RenderArea model(800, 100);
    model.addGraph(2, "g", false, true);
    model.layoutChannels(800);
    TestQueue q(64, 0);
    const FiltInfo layout{1, 4, 0, 2, 0, 0};
    q.put(sixteenBit({8192, -8192, 16384, -16384, 4096}));
    EXPECT_EQ(drainPlotQueue(q.ring, layout, model.decim), 2u);
    EXPECT_EQ(q.fill(), 2u);
    EXPECT_FLOAT_EQ(model.decim.colHigh[1 * 2 + 0], 0.5f);
    EXPECT_FLOAT_EQ(model.decim.colLow[1 * 2 + 0], 0.25f);
    EXPECT_FLOAT_EQ(model.decim.colLow[1 * 2 + 1], -0.5f);
    const FiltInfo unconfigured{};
    EXPECT_EQ(drainPlotQueue(q.ring, unconfigured, model.decim), 0u);
    EXPECT_EQ(q.fill(), 2u);
}

TEST(PlotQueueDrain, ReassemblesSampleAcrossTheEndOfTheStore) {
    for (uint32_t start = 60; start < 64; ++start) {
        RenderArea model(800, 100);
        model.addGraph(3, "g", false, true);
        model.layoutChannels(800);
        TestQueue q(64, start);
        q.put(sixteenBit({1024, -2048, 4096}));
        q.put(sixteenBit({1024, -2048, 4096}));
        ASSERT_EQ(drainPlotQueue(q.ring, FiltInfo{1, 6, 0, 3, 0, 0}, model.decim), 2u);
        const float expected[3] = {1024 / 32768.0f, -2048 / 32768.0f, 4096 / 32768.0f};
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_FLOAT_EQ(model.decim.colHigh[1 * 3 + ch], expected[ch]) << start;
            EXPECT_FLOAT_EQ(model.decim.colLow[1 * 3 + ch], expected[ch]) << start;
        }
        EXPECT_EQ(q.ring.tail, (start + 12) % 64);
    }
}

TEST(PlotQueueDrain, OversizedSamplesAreCutToTheirFirst512Bytes) {
    RenderArea model(800, 100);
    model.addGraph(2, "g", false, true);
    model.layoutChannels(800);
    TestQueue q(2048, 1000);
    // Two samples of 600 bytes: 300 16-bit values, the first two plotted.
    for (int16_t first : {16384, -16384}) {
        std::vector<uint8_t> sample = sixteenBit({first, 8192});
        sample.resize(600, 0x7F);
        q.put(sample);
    }
    EXPECT_EQ(drainPlotQueue(q.ring, FiltInfo{1, 600, 0, 2, 0, 0}, model.decim), 2u);
    EXPECT_EQ(q.fill(), 0u);
    EXPECT_FLOAT_EQ(model.decim.colHigh[1 * 2 + 0], 0.5f);
    EXPECT_FLOAT_EQ(model.decim.colLow[1 * 2 + 0], -0.5f);
    EXPECT_FLOAT_EQ(model.decim.colHigh[1 * 2 + 1], 0.25f);
}

}  // namespace
