// SPDX-License-Identifier: MIT
#include "markerText.h"

#include <cstdint>

namespace kelvo::capture {

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the sequence that begins with `lead` and the least code
// point it may encode (anything less is an overlong form); 0 for a byte
// that cannot begin one.
size_t sequenceLength(unsigned char lead, uint32_t &least) {
    struct Form {
        unsigned char mask, bits;
        size_t length;
        uint32_t least;
    };
    static constexpr Form kForms[] = {{0x80, 0x00, 1, 0},
                                      {0xE0, 0xC0, 2, 0x80},
                                      {0xF0, 0xE0, 3, 0x800},
                                      {0xF8, 0xF0, 4, 0x10000}};
    for (const Form &f : kForms) {
        if ((lead & f.mask) == f.bits) {
            least = f.least;
            return f.length;
        }
    }
    return 0;
}

}  // namespace

bool isUtf8(std::string_view text) {
    size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        uint32_t least = 0;
        const size_t length = sequenceLength(lead, least);
        if (length == 0 || at + length > text.size()) return false;
        uint32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[at + k]);
            if (!isContinuation(next)) return false;
            point = (point << 6) | (next & 0x3Fu);
        }
        if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        at += length;
    }
    return true;
}

std::string markerTextProblem(std::string_view text) {
    if (text.size() > kMaxMarkerBytes) {
        return "the marker text is " + std::to_string(text.size()) + " bytes, over the limit of " +
               std::to_string(kMaxMarkerBytes);
    }
    if (text.find('\0') != std::string_view::npos) return "the marker text holds a NUL byte";
    if (!isUtf8(text)) return "the marker text is not valid UTF-8";
    return {};
}

}  // namespace kelvo::capture
