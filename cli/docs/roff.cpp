// SPDX-License-Identifier: MIT
#include "roff.h"

#include <cstdio>

namespace kelvo::cli::docs {

namespace {

// The code point of the UTF-8 sequence at text[at]; `length` gets its bytes.
// A byte that begins no sequence stands for itself.
unsigned codePoint(std::string_view text, size_t at, size_t &length) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (at + length > text.size()) length = 1;
    if (length == 1) return lead;
    unsigned point = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) point = point << 6 | (byte(at + i) & 0x3Fu);
    return point;
}

// One line of text: escaped, and kept from being read as a request.
std::string textLine(std::string_view line) {
    const std::string text = escaped(line);
    return text.starts_with('.') ? "\\&" + text : text;
}

}  // namespace

std::string escaped(std::string_view text) {
    std::string roff;
    for (size_t at = 0; at < text.size();) {
        size_t length = 1;
        const unsigned point = codePoint(text, at, length);
        at += length;
        switch (point) {
            case '\\': roff += "\\e"; break;
            case '-': roff += "\\-"; break;
            case '\'': roff += "\\(aq"; break;
            case '`': roff += "\\(ga"; break;
            case '^': roff += "\\(ha"; break;
            case '~': roff += "\\(ti"; break;
            default:
                if (point < 0x80) {
                    roff += static_cast<char>(point);
                } else {
                    char name[16];
                    std::snprintf(name, sizeof name, "\\[u%04X]", point);
                    roff += name;
                }
        }
    }
    return roff;
}

std::string paragraphs(std::string_view text) {
    std::string roff = ".PP\n";
    bool literal = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty()) {
            roff += literal ? ".fi\n.PP\n" : ".PP\n";
            literal = false;
            continue;
        }
        const bool indented = line.front() == ' ';
        if (indented != literal) roff += indented ? ".nf\n" : ".fi\n";
        literal = indented;
        roff += textLine(line) + "\n";
    }
    return literal ? roff + ".fi\n" : roff;
}

}  // namespace kelvo::cli::docs
