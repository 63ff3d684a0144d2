// SPDX-License-Identifier: MIT
#include "reopen.h"

#include "captureError.h"
#include "deviceNames.h"
#include "deviceSetup.h"
#include "kelvo.h"

namespace kelvo::capture {

namespace {

constexpr int kStartWaitMs = 2000;

void requireSameDevice(const recording::DeviceInfo &before, const recording::DeviceInfo &now) {
    if (now.serial != before.serial) {
        throw CaptureError(now.path + " is " + (now.serial.empty() ? "a device without a serial" : now.serial) +
                           ", not " + before.name());
    }
    if (now.sampleSize != before.sampleSize || now.channelNames != before.channelNames) {
        throw CaptureError(now.path + ": " + before.name() + " came back with another sample layout");
    }
}

}  // namespace

std::string findAgain(const recording::DeviceInfo &device) {
    if (device.serial.empty()) return device.path;
    for (const ListedDevice &listed : listedDevices(true)) {
        if (listed.serial == device.serial) return listed.path;
    }
    return {};
}

void reopenDevice(const recording::DeviceInfo &device, const std::string &target,
                  const std::function<void()> &beforeStart) {
    const int slot = device.slot;
    const std::string path = pathOf(target);
    try {
        openDevice(slot, target);
        configureDevice(slot, path, device.config);
        recording::DeviceInfo now;
        try {
            now = recording::describeDevice(slot, path, device.config);
        } catch (const std::runtime_error &e) {
            throw CaptureError(path + ": " + e.what());
        }
        requireSameDevice(device, now);
        beforeStart();
        if (kelvoStartTogether(&slot, 1, "INIT", kStartWaitMs) != KELVO_OK) {
            throw CaptureError(path + ": " + libraryError(slot));
        }
    } catch (...) {
        kelvoClose(slot);
        throw;
    }
}

}  // namespace kelvo::capture
