// SPDX-License-Identifier: MIT
// The plot model: graphs laid out as horizontal strips, and the decimator
// that turns samples into one min/max stroke per pixel column.
//
// The model holds no lock. The render thread is its only user during a
// render cycle; a new layout is applied between cycles (see graphics.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {

inline constexpr int kMaxPlotChannels = 144;
inline constexpr int kMaxGraphs = 24;
inline constexpr uint32_t kDefaultSpan = 8000;

struct gr_descriptor {
    int32_t index = 0;
    int32_t nChannels = 0;
    std::string name;
    bool split = false;
    bool reserved1 = false;
    bool firstHalf = false;
    bool reserved2 = false;
    bool reserved3 = false;
    int32_t splitIndex = 0;
};

struct graph_decim {
    uint32_t cols = 0;
    uint32_t channels = 0;  // 0 disables the decimator
    uint32_t span = kDefaultSpan;
    float high[kMaxPlotChannels];
    float low[kMaxPlotChannels];
    // Column-major by column: entry column * channels + channel.
    std::vector<float> colHigh;
    std::vector<float> colLow;
    uint32_t col = 0;      // next column to complete; also the oldest of the ring
    uint32_t newCols = 0;  // completed since the last paint
    uint32_t filled = 0;   // samples since the last layout, capped at span
    uint32_t acc = 0;      // remainder of the column stepping

    // Takes `channels` values; allocates nothing.
    void enqSample(const float *values);
};

}  // namespace kelvo

// Named (opaque) in kelvo.h, so it stays in the global namespace.
struct RenderArea {
    std::vector<kelvo::gr_descriptor> graphs;
    int32_t height;
    int32_t width;  // also the row stride, in pixels, of the pixel buffer
    kelvo::graph_decim decim;
    int32_t nGraphs = 0;
    int32_t nChannels = 0;
    int32_t channelsAdded = 0;
    int32_t channelGraph[kelvo::kMaxPlotChannels] = {};
    uint32_t channelColour[kelvo::kMaxPlotChannels] = {};
    bool channelVisible[kelvo::kMaxPlotChannels] = {};
    int32_t graphSeq = 0;
    int32_t splitSeq = 0;
    float gain[kelvo::kMaxPlotChannels];
    float offset[kelvo::kMaxPlotChannels];
    std::string names[kelvo::kMaxPlotChannels];

    RenderArea(int width, int height);

    void clearGraphs();
    // Ignored once 24 graphs are present.
    void addGraph(unsigned channelCount, const std::string &name, bool split, bool firstHalf);
    // A span of 0 or below means the default span of 8000 samples. Channels
    // beyond the 144th are not laid out.
    void layoutChannels(int span);
};
