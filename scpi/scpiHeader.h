// SPDX-License-Identifier: MIT
// Matching a command against a SCPI header pattern in long-form notation,
// whose upper-case letters are the short form ("CONFigure:SCAn:OVErsampling"),
// and walking a line that holds several commands separated by ';'.
#pragma once

#include <cstddef>

namespace kelvo {

// 1 when `command` begins with a header matching `pattern`; *rest then
// points at the character that ends the header (NUL or white space).
// *rest is set to nullptr first and only set on a match. Each node the
// command gives is the pattern's node cut anywhere from its short form to
// its long form, every letter compared without regard to case; the command
// may stop after any node, but may not run on beyond the pattern.
int checkSCPI(const char **rest, const char *command, const char *pattern);

inline constexpr size_t kMaxHeaderPath = 128;

// One command of a line, its header resolved to the full node path.
struct ProgramCommand {
    // NUL-terminated; empty (matching nothing) when the path does not fit.
    char header[kMaxHeaderPath];
    const char *parameters;  // what follows the header in the line...
    const char *end;         // ...up to here: the ';' or the NUL that ends the command
};

// Hands out the commands of a line one by one. As SCPI has it, a header
// that does not begin with ':' hangs from the node path of the command
// before it ("CONF:SCAN:OVER 2;LIST (@1,2)" names CONF:SCAN:LIST), a
// header that does begins at the root, and common commands ("*RST") leave
// the path alone. A ';' inside a quoted text separates nothing.
class ProgramLine {
public:
    explicit ProgramLine(const char *line) : next_(line) {}

    // False once the line is used up.
    bool next(ProgramCommand &command);

private:
    void resolve(ProgramCommand &command, const char *header, size_t length);

    const char *next_;
    char path_[kMaxHeaderPath] = {};  // up to and with the last ':'
    size_t pathLength_ = 0;
    bool pathKnown_ = true;  // false after a path too long to keep
};

}  // namespace kelvo
