// SPDX-License-Identifier: MIT
// The capture library's C interface to one device at a time: the naming,
// opening and configuring a session does, for programs that drive a slot
// themselves.
#include <cstdio>
#include <string>
#include <vector>

#include "captureError.h"
#include "deviceNames.h"
#include "deviceSetup.h"
#include "kelvo_capture.h"

namespace {

using kelvo::capture::CaptureError;

void copyText(const std::string &text, char *out, int size) {
    if (out != nullptr && size > 0) std::snprintf(out, static_cast<size_t>(size), "%s", text.c_str());
}

// Runs `work`; what it throws goes to `error` as the result says.
template <typename Work>
int guarded(char *error, int errorSize, Work work) noexcept {
    try {
        work();
        copyText("", error, errorSize);
        return KELVO_OK;
    } catch (const CaptureError &e) {
        copyText(e.what(), error, errorSize);
        return e.kind == CaptureError::Kind::usage ? KELVO_CAPTURE_USAGE : KELVO_REFUSED;
    } catch (const std::exception &e) {
        copyText(e.what(), error, errorSize);
    } catch (...) {
        copyText("unexpected failure", error, errorSize);
    }
    return KELVO_REFUSED;
}

std::string listing;

}  // namespace

extern "C" {

KELVO_API const char *kelvoCaptureListDevices(int all) noexcept {
    try {
        std::string text;
        for (const kelvo::capture::ListedDevice &d : kelvo::capture::listedDevices(all != 0)) {
            text += d.kind + '\t' + d.path + '\t' + d.serial + '\t' + std::to_string(d.simulator) + '\n';
        }
        listing = std::move(text);
    } catch (...) {
        listing.clear();
    }
    return listing.c_str();
}

KELVO_API int kelvoCaptureOpenDevice(int dev, const char *device, char *path, int pathSize, char *error,
                                     int errorSize) noexcept {
    return guarded(error, errorSize, [&] {
        const std::string target = kelvo::capture::resolveDevice(device != nullptr ? device : "");
        kelvo::capture::openDevice(dev, target);
        copyText(kelvo::capture::pathOf(target), path, pathSize);
    });
}

KELVO_API int kelvoCaptureConfigureDevice(int dev, const char *name, const char *const *commands, int count,
                                          kelvoCaptureAnswerCallback noteAnswer, void *user, char *error,
                                          int errorSize) noexcept {
    return guarded(error, errorSize, [&] {
        const std::string device = name != nullptr ? name : "slot" + std::to_string(dev);
        std::vector<std::string> list;
        for (int i = 0; i < count && commands != nullptr; ++i)
            list.emplace_back(commands[i] != nullptr ? commands[i] : "");
        kelvo::capture::configureDevice(dev, device, list, [&](const std::string &command, const std::string &answer) {
            if (noteAnswer != nullptr) noteAnswer(user, device.c_str(), command.c_str(), answer.c_str());
        });
    });
}

}  // extern "C"
