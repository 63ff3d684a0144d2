// SPDX-License-Identifier: MIT
// Matching a command against a SCPI header pattern in long-form notation,
// whose upper-case letters are the short form ("CONFigure:SCAn:OVErsampling").
#pragma once

namespace kelvo {

// 1 when `command` begins with a header matching `pattern`; *rest then
// points at the character that ends the header (NUL or white space).
// *rest is set to nullptr first and only set on a match.
int checkSCPI(const char **rest, const char *command, const char *pattern);

}  // namespace kelvo
