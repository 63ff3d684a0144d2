// SPDX-License-Identifier: MIT
#include "scpiHeader.h"

#include <cctype>
#include <cstring>

namespace kelvo {
namespace {

bool endsHeader(char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)); }

bool endsNode(char c) { return c == ':' || endsHeader(c); }

bool sameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

size_t patternNodeLength(const char *node) {
    const char *colon = std::strchr(node, ':');
    return colon != nullptr ? static_cast<size_t>(colon - node) : std::strlen(node);
}

// The short form is the node's leading capitals (and digits).
size_t shortFormLength(const char *node, size_t length) {
    size_t n = 0;
    while (n < length && !std::islower(static_cast<unsigned char>(node[n]))) ++n;
    return n;
}

// Whether the command's node (ending at ':' or the header's end) is the
// pattern's node cut anywhere from its short form to its full long form;
// *given gets the command node's length.
bool nodeMatches(const char *command, const char *node, size_t *given) {
    const size_t length = patternNodeLength(node);
    size_t n = 0;
    for (; !endsNode(command[n]); ++n) {
        if (n == length || !sameLetter(command[n], node[n])) return false;
    }
    *given = n;
    return n > 0 && n >= shortFormLength(node, length);
}

}  // namespace

int checkSCPI(const char **rest, const char *command, const char *pattern) {
    *rest = nullptr;
    const char *c = command[0] == ':' ? command + 1 : command;
    const char *p = pattern;
    for (;;) {
        size_t given = 0;
        if (!nodeMatches(c, p, &given)) return 0;
        c += given;
        p += patternNodeLength(p);
        if (endsHeader(*c)) {
            *rest = c;
            return 1;
        }
        // The command names a further node: the pattern must have one too.
        if (*p != ':') return 0;
        ++c;
        ++p;
    }
}

}  // namespace kelvo

namespace kelvo {
namespace {

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The ';' or NUL that ends the command starting at `c`.
const char *commandEnd(const char *c) {
    char quote = '\0';
    for (; *c != '\0'; ++c) {
        if (quote != '\0') {
            if (*c == quote) quote = '\0';
        } else if (*c == '"' || *c == '\'') {
            quote = *c;
        } else if (*c == ';') {
            break;
        }
    }
    return c;
}

}  // namespace

bool ProgramLine::next(ProgramCommand &command) {
    if (next_ == nullptr) return false;
    const char *start = next_;
    while (isBlank(*start)) ++start;
    command.end = commandEnd(start);
    const char *headerEnd = start;
    while (headerEnd != command.end && !isBlank(*headerEnd)) ++headerEnd;
    command.parameters = headerEnd;
    resolve(command, start, static_cast<size_t>(headerEnd - start));
    next_ = *command.end == ';' ? command.end + 1 : nullptr;
    return true;
}

void ProgramLine::resolve(ProgramCommand &command, const char *header, size_t length) {
    command.header[0] = '\0';
    if (length == 0) return;
    if (header[0] == '*') {
        if (length < kMaxHeaderPath) {
            std::memcpy(command.header, header, length);
            command.header[length] = '\0';
        }
        return;
    }
    if (header[0] == ':') {
        pathLength_ = 0;
        pathKnown_ = true;
    }
    if (!pathKnown_ || pathLength_ + length >= kMaxHeaderPath) {
        // Longer than any header this library looks for.
        pathKnown_ = false;
        return;
    }
    std::memcpy(command.header, path_, pathLength_);
    std::memcpy(command.header + pathLength_, header, length);
    const size_t total = pathLength_ + length;
    command.header[total] = '\0';
    const char *lastColon = std::strrchr(command.header, ':');
    pathLength_ = lastColon != nullptr ? static_cast<size_t>(lastColon - command.header) + 1 : 0;
    std::memcpy(path_, command.header, pathLength_);
}

}  // namespace kelvo
