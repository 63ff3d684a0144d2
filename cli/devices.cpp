// SPDX-License-Identifier: MIT
// Naming, opening and configuring devices.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "cli.h"
#include "kelvo.h"
#include "simRegistry.h"

namespace kelvo::cli {

namespace {

// The path field of a device-list line, or the text itself.
std::string pathOf(const std::string &device) {
    const size_t first = device.find('\t');
    if (first == std::string::npos) return device;
    const size_t second = device.find('\t', first + 1);
    return device.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

std::string explainOpenFailure(int slot, const std::string &path) {
    const char *reason = kelvoGetOpenError(slot);
    std::string text = "cannot open " + path + ": " + (reason != nullptr && *reason ? reason : "no reason given");
    if (reason == nullptr) return text;
    if (std::strcmp(reason, std::strerror(EACCES)) == 0)
        return text + " ('kelvo list --diagnose' tells why and what to do)";
    if (std::strncmp(reason, "device busy", 11) == 0) return text + " ('kelvo list --diagnose' names the program)";
    return text;
}

}  // namespace

std::vector<ListedDevice> listedDevices(bool all) {
    std::vector<ListedDevice> devices;
    std::istringstream lines(all ? kelvoListAllDevices() : kelvoListDevices());
    for (std::string line; std::getline(lines, line);) {
        ListedDevice device;
        std::istringstream fields(line);
        std::getline(fields, device.kind, '\t');
        std::getline(fields, device.path, '\t');
        std::getline(fields, device.serial);
        devices.push_back(device);
    }
    for (const sim::RegisteredDevice &simulated : sim::runningSimulatedDevices()) {
        devices.push_back({"simulated", simulated.path, simulated.serial, simulated.pid});
    }
    return devices;
}

std::string resolveDevice(const std::string &device) {
    if (device.empty()) throw Failure("the device name is empty", 2);
    if (device.find('\t') != std::string::npos) {
        // A pasted list line; the library takes the path between its tabs.
        std::string line = device;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        return line;
    }
    if (device.find('/') != std::string::npos) return device;
    for (const ListedDevice &listed : listedDevices(true)) {
        if (listed.serial == device) return listed.path;
    }
    if (access(("/dev/" + device).c_str(), F_OK) == 0) return "/dev/" + device;
    throw Failure("no device '" + device + "': not a tty path, and no listed device has that serial number");
}

OpenSlots::~OpenSlots() {
    for (const int slot : slots_) kelvoClose(slot);
}

int OpenSlots::open(const std::string &device) {
    const int slot = static_cast<int>(slots_.size());
    if (slot > 3) throw Failure("at most four devices can be open at once", 2);
    const std::string target = resolveDevice(device);
    if (kelvoOpen(slot, target.c_str()) != 0) throw Failure(explainOpenFailure(slot, pathOf(target)));
    slots_.push_back(slot);
    names_[slot] = pathOf(target);
    return slot;
}

std::string libraryError(int slot) {
    const char *text = kelvoGetLastError(slot);
    return text != nullptr && *text != '\0' ? text : "the library gave no reason";
}

DeviceErrors readDeviceErrors(int slot, const std::string &name) {
    char first[512];
    const int result = kelvoCheckDeviceErrors(slot, first, sizeof first);
    DeviceErrors report;
    if (result == KELVO_TIMEOUT) return report;
    if (result < 0) throw Failure(name + ": " + libraryError(slot));
    report.answered = true;
    report.any = result == 1;
    if (report.any) report.first = first;
    return report;
}

namespace {

// The library learns a layout from the command's text whether or not the
// device takes it, so a command the device rejected would leave samples cut
// at the wrong size: only the device's own error queue can tell.
void requireNoDeviceError(int slot, const std::string &name, const std::string &command) {
    const DeviceErrors report = readDeviceErrors(slot, name);
    if (!report.answered) {
        throw Failure(name + ": no answer to 'SYSTem:ERRor?' within " + std::to_string(kErrorAnswerMs) +
                      " ms, so whether the device took '" + command + "' is unknown; not streaming");
    }
    if (report.any)
        throw Failure(name + ": the device rejected '" + command + "': " + report.first + "; not streaming");
}

}  // namespace

void configure(int slot, const std::string &name, const std::vector<std::string> &commands) {
    // Errors left in the queue by earlier sessions are not this run's.
    int binary = 0;
    char none[1];
    if (kelvoQuery(slot, "*CLS", none, sizeof none, kErrorAnswerMs, &binary) < 0) {
        throw Failure(name + ": " + libraryError(slot));
    }
    for (const std::string &command : commands) {
        int length = 0;
        const char *answer = kelvoSendCmd(slot, command.c_str(), &length, &binary);
        if (answer == nullptr) throw Failure(name + ": " + libraryError(slot));
        if (length > 0) {
            std::string text =
                binary ? "(a block of " + std::to_string(length) + " bytes)" : std::string(answer, length);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            std::fprintf(stderr, "%s answered '%s': %s\n", name.c_str(), command.c_str(), text.c_str());
        }
        requireNoDeviceError(slot, name, command);
    }
    const int sampleBytes = kelvoGetSampleSize(slot);
    if (sampleBytes < 0) throw Failure(name + ": " + libraryError(slot));
    if (sampleBytes == 0) {
        throw Failure(name +
                          ": no sample layout; give a 'CONFigure:DEVice' or 'CONFigure:SCAn:LISt' command with "
                          "--config",
                      2);
    }
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
