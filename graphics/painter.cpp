// SPDX-License-Identifier: MIT
#include "painter.h"

#include <algorithm>
#include <cstring>

#include "renderArea.h"

namespace kelvo {

void scroll_x(uint32_t *pixels, int width, int rows, int shift) {
    if (rows <= 0 || shift >= width || shift <= 0) return;
    const size_t kept = static_cast<size_t>(width - shift) * sizeof(uint32_t);
    for (int y = 0; y < rows; ++y) {
        uint32_t *row = pixels + static_cast<size_t>(y) * static_cast<size_t>(width);
        std::memmove(row, row + shift, kept);
    }
}

void fillRect(uint32_t *pixels, int stride, int x, int y, int w, int h, uint32_t colour) {
    const int left = std::max(x, 0);
    const int right = std::min(x + w, stride);
    if (right <= left || h <= 0) return;
    for (int row = y; row < y + h; ++row) {
        uint32_t *line = pixels + static_cast<size_t>(row) * static_cast<size_t>(stride);
        std::fill(line + left, line + right, colour);
    }
}

int valueRow(float value, float gain, float offset, int t, int g) {
    // Clamped in float first: a NaN or a huge value must not reach the
    // conversion to int.
    float row = (value * gain + offset - 1.0f) * (-0.5f * static_cast<float>(g));
    const float top = 2.0f;
    const float bottom = static_cast<float>(g - 2);
    if (!(row >= top)) row = top;
    if (row > bottom) row = bottom;
    const int y = t + static_cast<int>(row);
    // Strips under four rows would push the clamps outside the strip.
    return std::clamp(y, t, t + std::max(g - 1, 0));
}

void paintEvent(uint32_t *pixels, RenderArea *model) {
    const int N = model->nGraphs;
    const int H = model->height;
    const int W = model->width;
    graph_decim &decim = model->decim;
    if (N == 0 || W == 0 || H == 0) return;
    const int g = H / N;
    const int C = static_cast<int>(decim.cols);
    // A backlog of a whole width or more repaints everything once.
    const int s = static_cast<int>(std::min<uint32_t>(decim.newCols, static_cast<uint32_t>(W - 1)));

    scroll_x(pixels, W, H, s);
    const int start = C - static_cast<int>(static_cast<uint64_t>(decim.filled) * decim.cols / decim.span);
    const int firstX = W - s - 1;

    if (g > 0) {
        for (int k = 0; k < N; ++k) {
            fillRect(pixels, W, firstX, k * g, s + 1, g, (k % 2 == 0) ? kEvenStripColour : kOddStripColour);
        }
        for (int k = 1; k <= N; ++k) {
            if (k * g < H) fillRect(pixels, W, 0, k * g, W, 1, kBoundaryColour);
        }
        for (int k = 0; k < N; ++k) fillRect(pixels, W, firstX, k * g + g / 2, s + 1, 1, kCentreLineColour);
    }
    decim.newCols = 0;
    if (g == 0) return;

    const uint32_t n = decim.channels;
    for (int x = std::max({start, C - s - 1, 0}); x < C && x < W; ++x) {
        const uint32_t r = (decim.col + static_cast<uint32_t>(x)) % decim.cols;
        for (int ch = 0; ch < model->nChannels; ++ch) {
            if (!model->channelVisible[ch]) continue;
            const int t = model->channelGraph[ch] * g;
            const size_t at = static_cast<size_t>(r) * n + static_cast<size_t>(ch);
            const int ya = valueRow(decim.colHigh[at], model->gain[ch], model->offset[ch], t, g);
            const int yb = valueRow(decim.colLow[at], model->gain[ch], model->offset[ch], t, g);
            const uint32_t colour = model->channelColour[ch];
            for (int y = ya; y <= yb; ++y)
                pixels[static_cast<size_t>(y) * static_cast<size_t>(W) + static_cast<size_t>(x)] = colour;
        }
    }
}

}  // namespace kelvo
