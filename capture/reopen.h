// SPDX-License-Identifier: MIT
// Bringing a device of a running session back after it hung up: the same
// device (by serial number, found in the USB listing and among running
// simulators, or at the same path when it has none), checked with *IDN?,
// configured as at the start, in the same layout, its stream started again
// on its own while the session's other devices stream on.
#pragma once

#include <functional>
#include <string>

#include "deviceInfo.h"

namespace kelvo::capture {

// Where the device is now; empty when it is not to be seen.
std::string findAgain(const recording::DeviceInfo &device);

// Opens `target` in the device's slot, requires the same serial number and
// sample layout, replays the configuration, calls `beforeStart` and starts
// the stream. Throws CaptureError with the reason, and then the slot is
// closed again.
void reopenDevice(const recording::DeviceInfo &device, const std::string &target,
                  const std::function<void()> &beforeStart);

}  // namespace kelvo::capture
