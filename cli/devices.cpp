// SPDX-License-Identifier: MIT
// Naming, opening and configuring devices, as the capture library does it
// for its sessions.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "cli.h"
#include "kelvo.h"
#include "kelvo_capture.h"

namespace kelvo::cli {

namespace {

constexpr int kTextSize = 1024;

void printAnswer(void *, const char *device, const char *command, const char *answer) {
    std::fprintf(stderr, "%s answered '%s': %s\n", device, command, answer);
}

// A refusal of the capture library's device calls, with the status its
// kind of refusal gives.
[[noreturn]] void refuse(int result, const char *error) { throw Failure(error, result == KELVO_CAPTURE_USAGE ? 2 : 1); }

}  // namespace

std::vector<ListedDevice> listedDevices(bool all) {
    std::vector<ListedDevice> devices;
    std::istringstream lines(kelvoCaptureListDevices(all ? 1 : 0));
    for (std::string line; std::getline(lines, line);) {
        ListedDevice device;
        std::istringstream fields(line);
        std::string pid;
        std::getline(fields, device.kind, '\t');
        std::getline(fields, device.path, '\t');
        std::getline(fields, device.serial, '\t');
        std::getline(fields, pid);
        device.simulator = static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10));
        devices.push_back(device);
    }
    return devices;
}

OpenSlots::~OpenSlots() {
    for (const int slot : slots_) kelvoClose(slot);
}

int OpenSlots::open(const std::string &device) {
    const int slot = static_cast<int>(slots_.size());
    if (slot > 3) throw Failure("at most four devices can be open at once", 2);
    char path[kTextSize];
    char error[kTextSize];
    const int result = kelvoCaptureOpenDevice(slot, device.c_str(), path, sizeof path, error, sizeof error);
    if (result != KELVO_OK) refuse(result, error);
    slots_.push_back(slot);
    names_[slot] = path;
    return slot;
}

std::string libraryError(int slot) {
    const char *text = kelvoGetLastError(slot);
    return text != nullptr && *text != '\0' ? text : "the library gave no reason";
}

void configure(int slot, const std::string &name, const std::vector<std::string> &commands) {
    std::vector<const char *> list;
    list.reserve(commands.size());
    for (const std::string &command : commands) list.push_back(command.c_str());
    char error[kTextSize];
    const int result = kelvoCaptureConfigureDevice(slot, name.c_str(), list.data(), static_cast<int>(list.size()),
                                                   printAnswer, nullptr, error, sizeof error);
    if (result != KELVO_OK) refuse(result, error);
}

Layout layoutOf(int slot) {
    kelvoLayout learnt{};
    if (kelvoGetLayout(slot, &learnt) != KELVO_OK) throw Failure(libraryError(slot));
    Layout layout;
    layout.sampleBytes = learnt.sampleSize;
    const int channels = learnt.channelCount;
    if (layout.sampleBytes <= 0 || channels <= 0) throw Failure(libraryError(slot));
    // Layouts of 32-bit words lead with a sample counter that is no channel.
    layout.wide = learnt.hasCounter != 0;
    if (layout.wide) layout.columns.emplace_back("counter");
    for (int c = 0; c < channels; ++c) {
        const char *name = kelvoGetChannelName(slot, c);
        layout.columns.emplace_back(name != nullptr ? name : "channel" + std::to_string(c + 1));
    }
    return layout;
}

}  // namespace kelvo::cli
