// SPDX-License-Identifier: MIT
#include "scpiHeader.h"

#include <cctype>
#include <cstring>

namespace kelvo {
namespace {

bool endsHeader(char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)); }

bool sameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

int checkSCPI(const char **rest, const char *command, const char *pattern) {
    *rest = nullptr;
    const char *c = command[0] == ':' ? command + 1 : command;
    const char *p = pattern;
    const size_t patternLength = std::strlen(pattern);
    size_t consumed = 0;
    bool nodeMatched = false;
    for (;;) {
        if (consumed >= patternLength) {
            if (nodeMatched && endsHeader(*c)) {
                *rest = c;
                return 1;
            }
            return 0;
        }
        if (std::isupper(static_cast<unsigned char>(*p))) {
            if (!sameLetter(*c, *p)) return 0;
            nodeMatched = true;
        } else if (*c == ':') {
            // The command's node ended early (short form): skip the rest of
            // the pattern's node.
            if (!nodeMatched) return 0;
            if (*p != ':') {
                const char *colon = std::strchr(p, ':');
                if (colon == nullptr) return 0;
                consumed += static_cast<size_t>(colon - p);
                p = colon;
            }
            nodeMatched = false;
        } else if (endsHeader(*c)) {
            if (!nodeMatched) return 0;
            *rest = c;
            return 1;
        }
        ++c;
        ++p;
        ++consumed;
    }
}

}  // namespace kelvo
