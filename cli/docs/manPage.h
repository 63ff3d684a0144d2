// SPDX-License-Identifier: MIT
// The man pages of kelvo, made from the command table: kelvo(1) for the
// tool with every command in it, and kelvo-COMMAND(1) for each command,
// saying what `kelvo COMMAND --help` says.
#pragma once

#include <string>
#include <string_view>

#include "command.h"

namespace kelvo::cli::docs {

std::string commandPage(const Command &command, std::string_view version);
// `sections` adds sections in help2man's include format: a line "[NAME]",
// then the section's roff (ENVIRONMENT, FILES, SEE ALSO ...).
std::string toolPage(std::string_view version, std::string_view sections);

}  // namespace kelvo::cli::docs
