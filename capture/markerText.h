// SPDX-License-Identifier: MIT
// What a marker's text may be, wherever it comes from: the recording keeps
// it as a UTF-8 string of its own, so it must be valid UTF-8, hold no NUL
// (which would end it early) and stay within the limit every sink can take.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvo::capture {

inline constexpr size_t kMaxMarkerBytes = 4096;

// Why `text` cannot be a marker's text; empty when it can.
std::string markerTextProblem(std::string_view text);

// Whether `text` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool isUtf8(std::string_view text);

}  // namespace kelvo::capture
