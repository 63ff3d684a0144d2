// SPDX-License-Identifier: MIT
// Small SCPI text helpers of the simulator.
#pragma once

#include <cctype>
#include <string_view>

namespace kelvo::sim {

inline bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// True when `header` names the node path `pattern`, written the SCPI way
// with the short form in capitals ("CONFigure:DEVice"): every node given in
// its short or its long form, in any case, with or without a leading colon
// and a trailing '?'.
inline bool headerMatches(std::string_view header, std::string_view pattern) {
    if (!header.empty() && header.front() == ':') header.remove_prefix(1);
    if (!header.empty() && header.back() == '?') header.remove_suffix(1);
    while (true) {
        const size_t headerEnd = header.find(':');
        const size_t patternEnd = pattern.find(':');
        const std::string_view node = header.substr(0, headerEnd);
        const std::string_view longForm = pattern.substr(0, patternEnd);
        size_t shortLength = 0;
        while (shortLength < longForm.size() && !std::islower(static_cast<unsigned char>(longForm[shortLength]))) {
            ++shortLength;
        }
        if (!equalsNoCase(node, longForm) && !equalsNoCase(node, longForm.substr(0, shortLength))) return false;
        if ((headerEnd == std::string_view::npos) != (patternEnd == std::string_view::npos)) return false;
        if (headerEnd == std::string_view::npos) return true;
        header.remove_prefix(headerEnd + 1);
        pattern.remove_prefix(patternEnd + 1);
    }
}

// The header of a command line: everything before the first blank.
inline std::string_view headerOf(std::string_view command) {
    while (!command.empty() && std::isspace(static_cast<unsigned char>(command.front()))) command.remove_prefix(1);
    size_t end = 0;
    while (end < command.size() && !std::isspace(static_cast<unsigned char>(command[end]))) ++end;
    return command.substr(0, end);
}

}  // namespace kelvo::sim
