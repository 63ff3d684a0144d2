// SPDX-License-Identifier: MIT
#include "prologue.h"

namespace kelvo::cli {

void requireDevicesAndConfig(const Arguments &args, std::string_view command, size_t most) {
    const std::string quoted = "'" + std::string(command) + "'";
    const size_t devices = args.positional.size();
    if (most == 1 && devices != 1) throw Failure(quoted + " takes one DEVICE; see --help", 2);
    if (devices == 0 || devices > most) throw Failure(quoted + " takes 1 to " + std::to_string(most) + " devices", 2);
    if (args.words("config").empty()) throw Failure(quoted + " needs --config with the layout commands", 2);
}

std::vector<int> openConfigured(OpenSlots &open, const std::vector<std::string> &devices,
                                const std::vector<std::string> &commands) {
    std::vector<int> slots;
    slots.reserve(devices.size());
    for (const std::string &device : devices) slots.push_back(open.open(device));
    for (const int slot : slots) configure(slot, open.name(slot), commands);
    return slots;
}

}  // namespace kelvo::cli
