// SPDX-License-Identifier: MIT
// Text turned into roff for the man pages, so that it shows as it stands:
// dashes and quotes stay ASCII, and nothing is read as a request.
#pragma once

#include <string>
#include <string_view>

namespace kelvo::cli::docs {

// `text` with roff's special characters escaped; characters beyond ASCII
// as \[uXXXX].
std::string escaped(std::string_view text);
// Paragraphs as the command table writes them (a blank line between
// them; lines that begin with a space shown as they stand), each a .PP.
std::string paragraphs(std::string_view text);

}  // namespace kelvo::cli::docs
