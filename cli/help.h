// SPDX-License-Identifier: MIT
// The help texts, made from the command table: what `kelvo --help` and
// `kelvo COMMAND --help` print. The man pages take the same pieces.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "command.h"

namespace kelvo::cli {

// "-c, --config CMD..." as the help and the man pages show an option.
std::string optionLabel(const Option &option);
// The help line of an option, with its default.
std::string optionText(const Option &option);
// The lines of a command's usage.
std::vector<std::string_view> usageLines(const Command &command);

// `text` broken into lines of at most `width` characters, each but the first
// indented by `indent` spaces; a word longer than a line stands alone, and
// a '\n' in `text` always begins a new line.
std::string wrapped(std::string_view text, size_t width, size_t indent);

std::string commandHelp(const Command &command);
std::string toolHelp();

}  // namespace kelvo::cli
