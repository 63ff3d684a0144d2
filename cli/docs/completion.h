// SPDX-License-Identifier: MIT
// The bash completion of kelvo, made from the command table: the commands,
// each command's options, and for what it operates on (its usage's
// DEVICE, FILE ...) the devices of 'kelvo list' or file names.
#pragma once

#include <string>

namespace kelvo::cli::docs {

std::string completionScript();

}  // namespace kelvo::cli::docs
