// SPDX-License-Identifier: MIT
// Naming devices as users do: by tty path, by a line of the device list, or
// by serial number, found among the USB devices the library lists and the
// devices of this user's running simulators.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelvo::capture {

struct ListedDevice {
    std::string kind;  // the library's kind, "foreign", or "simulated"
    std::string path;
    std::string serial;
    pid_t simulator = 0;  // the kelvo-sim process of a simulated device
};

// What the library lists (every USB tty with `all`), then the devices of
// this user's running simulators.
std::vector<ListedDevice> listedDevices(bool all);

// What kelvoOpen gets for `device`: a tty path, a list line as it is, or
// the path of the listed device with that serial number. Throws
// CaptureError naming the device when there is none.
std::string resolveDevice(const std::string &device);

// The path in what resolveDevice gave.
std::string pathOf(const std::string &target);

}  // namespace kelvo::capture
