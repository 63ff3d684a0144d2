// SPDX-License-Identifier: MIT
// Painting the plot model into a plain buffer of 32-bit 0xRRGGBB pixels,
// row after row with a stride of the model's width. The render thread runs
// it on the window surface, the tests on an ordinary array.
#pragma once

#include <cstdint>

struct RenderArea;

namespace kelvo {

// A 0xRRGGBB pixel from its red, green and blue parts.
inline constexpr uint32_t rgbPixel(int r, int g, int b) {
    return (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) | static_cast<uint32_t>(b);
}

inline constexpr uint32_t kEvenStripColour = rgbPixel(255, 255, 255);
inline constexpr uint32_t kOddStripColour = rgbPixel(255, 255, 193);
inline constexpr uint32_t kBoundaryColour = rgbPixel(0, 0, 0);
inline constexpr uint32_t kCentreLineColour = rgbPixel(230, 230, 230);

// Moves columns shift..width-1 of each row to 0..width-shift-1; the rightmost
// `shift` columns keep their old pixels.
void scroll_x(uint32_t *pixels, int width, int rows, int shift);

// Columns outside 0..stride-1 are clipped; rows are the caller's to bound.
void fillRect(uint32_t *pixels, int stride, int x, int y, int w, int h, uint32_t colour);

// Row of a value in a strip of height g whose top row is t, two rows clear
// of either edge (always within the strip, also for strips under 4 rows).
int valueRow(float value, float gain, float offset, int t, int g);

// Scrolls the picture by the columns completed since the last paint and
// draws them. Resets the model's count of new columns.
void paintEvent(uint32_t *pixels, RenderArea *model);

}  // namespace kelvo
