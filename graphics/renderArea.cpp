// SPDX-License-Identifier: MIT
#include "renderArea.h"

#include <algorithm>

namespace kelvo {

namespace {

struct Trace {
    uint32_t colour;
    bool visible;
};

constexpr uint32_t kBlue = 0x0000FF;
constexpr uint32_t kCyan = 0x00FFFF;
constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kNearBlack = 0x101010;
constexpr uint32_t kGreen = 0x00FF00;

// A split graph shows one half of a group of six channels (say the three
// axes of an accelerometer or of a gyroscope) with the colours of the first
// three; the channels of the other half are kept but hidden.
Trace traceOf(const gr_descriptor &graph, int k) {
    static constexpr uint32_t kWhole[6] = {kBlue, kCyan, kRed, kNearBlack, kGreen, kBlue};
    static constexpr uint32_t kHalf[3] = {kBlue, kCyan, kRed};
    if (!graph.split) {
        if (k < 6) return {kWhole[k], true};
        return {kBlue, false};
    }
    const int first = graph.firstHalf ? 0 : 3;
    if (k >= first && k < first + 3) return {kHalf[k - first], true};
    return {kBlue, false};
}

}  // namespace

void graph_decim::enqSample(const float *v) {
    const uint32_t n = channels;
    const uint32_t C = cols;
    const uint32_t S = span;
    if (n == 0 || C == 0 || S == 0) return;
    if (filled == 0) {
        for (uint32_t i = 0; i < n; ++i) {
            high[i] = low[i] = v[i];
            colHigh[col * n + i] = colLow[col * n + i] = v[i];
        }
    }
    filled = std::min(filled + 1, S);
    if (C > S) {
        // Stretching: the first column of a sample joins the previous value
        // (kept in low) to the current one; further columns are points.
        while (acc < C) {
            acc += S;
            for (uint32_t i = 0; i < n; ++i) {
                colHigh[col * n + i] = std::max(low[i], v[i]);
                colLow[col * n + i] = std::min(low[i], v[i]);
                high[i] = low[i] = v[i];
            }
            if (++col == C) col = 0;
            ++newCols;
        }
        acc -= C;
        return;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (v[i] < low[i]) low[i] = v[i];
        if (v[i] > high[i]) high[i] = v[i];
    }
    acc += C;
    if (acc >= S) {
        acc -= S;
        // The completing sample also opens the next column, so neighbouring
        // strokes meet and the trace stays continuous.
        for (uint32_t i = 0; i < n; ++i) {
            colHigh[col * n + i] = high[i];
            colLow[col * n + i] = low[i];
            high[i] = low[i] = v[i];
        }
        ++col;
        ++newCols;
    }
    if (col >= C) col = 0;
}

}  // namespace kelvo

using namespace kelvo;

RenderArea::RenderArea(int width_, int height_) : height(std::max(height_, 0)), width(std::max(width_, 0)) {
    decim.cols = static_cast<uint32_t>(width);
    std::fill(std::begin(gain), std::end(gain), 1.0f);
    std::fill(std::begin(offset), std::end(offset), 0.0f);
}

void RenderArea::clearGraphs() {
    graphs.clear();
    nGraphs = 0;
    channelsAdded = 0;
    graphSeq = 0;
    splitSeq = 0;
}

void RenderArea::addGraph(unsigned channelCount, const std::string &name, bool split, bool firstHalf) {
    if (graphs.size() >= kMaxGraphs) return;
    // No graph can show more than the channel tables hold; the bound also
    // keeps the running count far from overflowing.
    const int32_t count = static_cast<int32_t>(std::min<unsigned>(channelCount, kMaxPlotChannels));
    names[graphs.size()] = name;
    for (int32_t c = channelsAdded; c < channelsAdded + count && c < kMaxPlotChannels; ++c) {
        gain[c] = 1.0f;
        offset[c] = 0.0f;
    }
    channelsAdded += count;
    gr_descriptor graph;
    graph.index = graphSeq++;
    graph.nChannels = count;
    graph.name = name;
    graph.split = split;
    graph.firstHalf = firstHalf;
    graph.splitIndex = split ? splitSeq++ : 0;
    graphs.push_back(std::move(graph));
}

void RenderArea::layoutChannels(int span) {
    int32_t J = 0;
    for (size_t j = 0; j < graphs.size(); ++j) {
        const gr_descriptor &graph = graphs[j];
        for (int32_t k = 0; k < graph.nChannels && J + k < kMaxPlotChannels; ++k) {
            const Trace trace = traceOf(graph, k);
            channelGraph[J + k] = static_cast<int32_t>(j);
            channelColour[J + k] = trace.colour;
            channelVisible[J + k] = trace.visible;
        }
        J = std::min(J + graph.nChannels, kMaxPlotChannels);
    }
    nChannels = J;
    nGraphs = static_cast<int32_t>(graphs.size());
    decim.channels = static_cast<uint32_t>(J);
    decim.span = span > 0 ? static_cast<uint32_t>(span) : kDefaultSpan;
    decim.filled = 0;
    decim.colHigh.resize(static_cast<size_t>(decim.cols) * decim.channels, 0.0f);
    decim.colLow.resize(static_cast<size_t>(decim.cols) * decim.channels, 0.0f);
}
