// SPDX-License-Identifier: MIT
// How every command that streams from the devices it names begins: its
// DEVICE words and --config checked, then each device opened and
// configured, the device's error queue asked after every command.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "options.h"

namespace kelvo::cli {

// Usage errors (status 2) unless `args` names one device (1 to `most` of
// them) and gives --config.
void requireDevicesAndConfig(const Arguments &args, std::string_view command, size_t most);

// Opens each of `devices` in the next free slot, then configures each slot
// in turn with `commands` as configure() does. Returns the slots, in the
// order of `devices`.
std::vector<int> openConfigured(OpenSlots &open, const std::vector<std::string> &devices,
                                const std::vector<std::string> &commands);

}  // namespace kelvo::cli
