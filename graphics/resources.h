// SPDX-License-Identifier: MIT
// Constant data built into the library: the window icon (a 64 x 64 RGBA
// PNG) and the TrueType font of the graph labels.
#pragma once

#include <cstddef>

namespace kelvo {

extern const unsigned char logoImage[];
extern const size_t logoImageSize;
extern const unsigned char OpenSansRegular[];
extern const size_t OpenSansRegularSize;

}  // namespace kelvo
