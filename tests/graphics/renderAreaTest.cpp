// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <vector>

#include "renderArea.h"

using namespace kelvo;

namespace {

// A model of `width` columns with one one-channel graph laid out over `span`.
RenderArea oneChannel(int width, int span) {
    RenderArea model(width, 100);
    model.addGraph(1, "a", false, true);
    model.layoutChannels(span);
    return model;
}

void feed(RenderArea &model, float value, int times = 1) {
    for (int i = 0; i < times; ++i) model.decim.enqSample(&value);
}

TEST(GraphDecimator, IgnoresSamplesUntilLaidOut) {
    RenderArea model(800, 600);
    model.addGraph(1, "a", false, true);
    feed(model, 0.5f, 100);
    EXPECT_EQ(model.decim.newCols, 0u);
    EXPECT_EQ(model.decim.filled, 0u);
}

TEST(GraphDecimator, CompressesTenSamplesPerColumnWithMinMaxStrokes) {
    RenderArea model = oneChannel(800, 8000);
    graph_decim &d = model.decim;
    const float values[10] = {0.1f, -0.3f, 0.7f, 0.2f, 0.0f, 0.5f, -0.1f, 0.4f, 0.3f, 0.25f};
    for (int i = 0; i < 9; ++i) d.enqSample(&values[i]);
    EXPECT_EQ(d.newCols, 0u);
    d.enqSample(&values[9]);
    ASSERT_EQ(d.newCols, 1u);
    EXPECT_EQ(d.col, 1u);
    EXPECT_FLOAT_EQ(d.colHigh[0], 0.7f);
    EXPECT_FLOAT_EQ(d.colLow[0], -0.3f);
    // The completing sample opens the next column: its stroke starts there.
    const float next = 0.9f;
    for (int i = 0; i < 10; ++i) d.enqSample(&next);
    EXPECT_FLOAT_EQ(d.colHigh[1], 0.9f);
    EXPECT_FLOAT_EQ(d.colLow[1], 0.25f);
}

TEST(GraphDecimator, FullSpanCompletesEveryColumnOnceInEitherRegime) {
    for (const auto &[width, span] : {std::pair{800, 8000}, {800, 400}, {800, 800}, {640, 7001}, {640, 333}}) {
        RenderArea model = oneChannel(width, span);
        feed(model, 0.0f, span);
        EXPECT_EQ(model.decim.newCols, static_cast<uint32_t>(width)) << width << " x " << span;
        EXPECT_EQ(model.decim.filled, static_cast<uint32_t>(span));
        EXPECT_EQ(model.decim.col, 0u) << "a full span returns to the oldest column";
        feed(model, 0.0f, 5);
        EXPECT_EQ(model.decim.filled, static_cast<uint32_t>(span)) << "filled is capped at the span";
    }
}

TEST(GraphDecimator, StretchingJoinsPreviousValueThenDrawsPoints) {
    RenderArea model = oneChannel(800, 400);
    graph_decim &d = model.decim;
    feed(model, 0.2f);
    ASSERT_EQ(d.newCols, 2u);
    feed(model, 0.6f);
    ASSERT_EQ(d.newCols, 4u);
    EXPECT_FLOAT_EQ(d.colHigh[2], 0.6f);
    EXPECT_FLOAT_EQ(d.colLow[2], 0.2f);
    EXPECT_FLOAT_EQ(d.colHigh[3], 0.6f);
    EXPECT_FLOAT_EQ(d.colLow[3], 0.6f);
}

TEST(GraphDecimator, EqualSpanAndWidthJoinsNeighbouringSamples) {
    RenderArea model = oneChannel(800, 800);
    graph_decim &d = model.decim;
    feed(model, 0.5f);
    feed(model, -0.25f);
    feed(model, 0.125f);
    EXPECT_EQ(d.newCols, 3u);
    EXPECT_FLOAT_EQ(d.colHigh[1], 0.5f);
    EXPECT_FLOAT_EQ(d.colLow[1], -0.25f);
    EXPECT_FLOAT_EQ(d.colHigh[2], 0.125f);
    EXPECT_FLOAT_EQ(d.colLow[2], -0.25f);
}

TEST(GraphDecimator, ConstantInputGivesFlatStrokes) {
    for (int span : {8000, 400}) {
        RenderArea model = oneChannel(800, span);
        feed(model, 0.375f, 3000);
        for (size_t c = 0; c < model.decim.colHigh.size(); ++c) {
            EXPECT_EQ(model.decim.colHigh[c], model.decim.colLow[c]) << "column " << c;
        }
    }
}

TEST(GraphDecimator, RingWrapsInBothRegimesAndKeepsHighAboveLow) {
    for (int span : {50, 8000}) {
        RenderArea model = oneChannel(10, span);
        graph_decim &d = model.decim;
        uint32_t lastCol = d.col;
        bool wrapped = false;
        for (int i = 0; i < 3 * span; ++i) {
            const float v = (i % 7) / 7.0f - 0.5f;
            d.enqSample(&v);
            ASSERT_LT(d.col, 10u);
            if (d.col < lastCol) wrapped = true;
            lastCol = d.col;
        }
        EXPECT_TRUE(wrapped) << "span " << span;
        for (size_t c = 0; c < 10; ++c) EXPECT_GE(d.colHigh[c], d.colLow[c]);
    }
}

TEST(GraphDecimator, LayoutRestartsFillButKeepsRingPosition) {
    RenderArea model = oneChannel(800, 800);
    feed(model, 0.1f, 123);
    model.clearGraphs();
    model.addGraph(2, "b", false, true);
    model.layoutChannels(1600);
    EXPECT_EQ(model.decim.filled, 0u);
    EXPECT_EQ(model.decim.col, 123u);
    EXPECT_EQ(model.decim.colHigh.size(), 1600u);
    const float sample[2] = {0.3f, -0.4f};
    model.decim.enqSample(sample);
    model.decim.enqSample(sample);
    EXPECT_FLOAT_EQ(model.decim.colHigh[123 * 2 + 1], -0.4f);
}

TEST(GraphDecimator, SpanOfZeroOrBelowMeansDefaultSpan) {
    for (int span : {0, -5}) {
        RenderArea model = oneChannel(800, span);
        EXPECT_EQ(model.decim.span, 8000u);
        feed(model, 0.0f, 10);
        EXPECT_EQ(model.decim.newCols, 1u);
    }
}

TEST(RenderAreaLayout, MixedGraphsNumberChannelsInGraphOrderWithColours) {
    RenderArea model(800, 600);
    model.addGraph(1, "g0", false, true);
    model.addGraph(1, "g1", false, true);
    model.addGraph(1, "g2", false, true);
    model.addGraph(3, "g3", false, true);
    model.addGraph(3, "g4", false, true);
    model.layoutChannels(8000);
    EXPECT_EQ(model.nChannels, 9);
    EXPECT_EQ(model.nGraphs, 5);
    EXPECT_EQ(model.decim.channels, 9u);
    const int graphOf[9] = {0, 1, 2, 3, 3, 3, 4, 4, 4};
    const uint32_t colourOf[9] = {0x0000FF, 0x0000FF, 0x0000FF, 0x0000FF, 0x00FFFF,
                                  0xFF0000, 0x0000FF, 0x00FFFF, 0xFF0000};
    for (int c = 0; c < 9; ++c) {
        EXPECT_EQ(model.channelGraph[c], graphOf[c]) << c;
        EXPECT_EQ(model.channelColour[c], colourOf[c]) << c;
        EXPECT_TRUE(model.channelVisible[c]) << c;
    }
    EXPECT_EQ(model.names[3], "g3");
}

TEST(RenderAreaLayout, ColoursAndVisibilityFollowGraphKind) {
    RenderArea model(800, 600);
    model.addGraph(7, "whole", false, true);
    model.addGraph(7, "first", true, true);
    model.addGraph(7, "second", true, false);
    model.layoutChannels(8000);
    const uint32_t whole[7] = {0x0000FF, 0x00FFFF, 0xFF0000, 0x101010, 0x00FF00, 0x0000FF, 0x0000FF};
    const bool wholeShown[7] = {true, true, true, true, true, true, false};
    const uint32_t first[7] = {0x0000FF, 0x00FFFF, 0xFF0000, 0x0000FF, 0x0000FF, 0x0000FF, 0x0000FF};
    const bool firstShown[7] = {true, true, true, false, false, false, false};
    const uint32_t second[7] = {0x0000FF, 0x0000FF, 0x0000FF, 0x0000FF, 0x00FFFF, 0xFF0000, 0x0000FF};
    const bool secondShown[7] = {false, false, false, true, true, true, false};
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(model.channelColour[k], whole[k]) << k;
        EXPECT_EQ(model.channelVisible[k], wholeShown[k]) << k;
        EXPECT_EQ(model.channelColour[7 + k], first[k]) << k;
        EXPECT_EQ(model.channelVisible[7 + k], firstShown[k]) << k;
        EXPECT_EQ(model.channelColour[14 + k], second[k]) << k;
        EXPECT_EQ(model.channelVisible[14 + k], secondShown[k]) << k;
    }
    EXPECT_EQ(model.graphs[0].splitIndex, 0);
    EXPECT_EQ(model.graphs[1].splitIndex, 0);
    EXPECT_EQ(model.graphs[2].splitIndex, 1);
    EXPECT_EQ(model.graphs[2].index, 2);
    EXPECT_EQ(model.splitSeq, 2);
}

TEST(RenderAreaLayout, TwentyFifthGraphIsIgnored) {
    RenderArea model(800, 600);
    for (int i = 0; i < 24; ++i) model.addGraph(1, "g" + std::to_string(i), false, true);
    model.addGraph(2, "extra", false, true);
    EXPECT_EQ(model.graphs.size(), 24u);
    EXPECT_EQ(model.channelsAdded, 24);
    EXPECT_EQ(model.graphSeq, 24);
    EXPECT_EQ(model.names[24], "");
    model.clearGraphs();
    EXPECT_EQ(model.graphSeq, 0);
    EXPECT_EQ(model.names[23], "g23") << "names stay until overwritten";
}

TEST(RenderAreaLayout, ChannelsBeyondTablesAreNotLaidOut) {
    RenderArea model(100, 600);
    for (int i = 0; i < 23; ++i) model.addGraph(10, "g", false, true);
    model.addGraph(0xFFFFFFFFu, "huge", false, true);
    model.layoutChannels(1000);
    EXPECT_EQ(model.nChannels, kMaxPlotChannels);
    EXPECT_EQ(model.decim.channels, static_cast<uint32_t>(kMaxPlotChannels));
    EXPECT_EQ(model.channelGraph[kMaxPlotChannels - 1], 14);
    std::vector<float> sample(kMaxPlotChannels, 0.5f);
    for (int i = 0; i < 50; ++i) model.decim.enqSample(sample.data());
    EXPECT_EQ(model.decim.newCols, 5u);
}

}  // namespace
