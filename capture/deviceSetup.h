// SPDX-License-Identifier: MIT
// Opening a device in a slot and configuring it, so that a stream starts
// only on a device that took every configuration command: the library
// learns a layout from a command's text whether or not the device takes it,
// so only the device's own error queue can tell.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kelvo::capture {

// How long the library waits for each answer of the error queue.
inline constexpr int kErrorAnswerMs = 1000;

// Opens what resolveDevice gave in `slot`. Throws CaptureError with the
// reason, and a hint where kelvo list --diagnose can tell more.
void openDevice(int slot, const std::string &target);

// The slot's error text as the library has it.
std::string libraryError(int slot);

// The device's error queue as kelvoCheckDeviceErrors reads it (and
// empties it): whether the device answered, and the first error's text.
struct DeviceErrors {
    bool answered = false;  // false: no answer to SYSTem:ERRor? in time
    bool any = false;       // the device reported at least one error
    std::string first;      // its answer, e.g. -113,"Undefined header"
};
// Throws CaptureError only when the library refuses the exchange.
DeviceErrors readDeviceErrors(int slot, const std::string &name);

// What a configuration command answered, when it answered at all.
using AnswerNote = std::function<void(const std::string &command, const std::string &answer)>;

// Clears the device's error queue, sends each command and asks the error
// queue after each. Throws CaptureError with the device's text when it
// reports an error or does not answer, and when the slot ends with no
// sample layout.
void configureDevice(int slot, const std::string &name, const std::vector<std::string> &commands,
                     const AnswerNote &noteAnswer = {});

}  // namespace kelvo::capture
