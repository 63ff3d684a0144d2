// SPDX-License-Identifier: MIT
// Naming, opening and configuring devices, and the plot window.
#include <SDL_error.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "cli.h"
#include "kelvo_lowlevel.h"
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

std::string explainOpenFailure(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return "cannot open " + path + ": " + std::strerror(errno);
    if (access(path.c_str(), R_OK | W_OK) != 0) {
        return "cannot open " + path + ": " + std::strerror(errno) +
               " ('kelvo list --diagnose' tells why and what to do)";
    }
    return "cannot open " + path + ": the library could not set it up as a serial line" +
           (S_ISCHR(info.st_mode) ? " (another program may hold it: 'kelvo list --diagnose' names it)"
                                  : " (it is no device file)");
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
    // kelvoOpen leaves no error text when the open fails, so say why here.
    if (kelvoOpen(slot, target.c_str()) != 0) throw Failure(explainOpenFailure(pathOf(target)));
    slots_.push_back(slot);
    names_[slot] = pathOf(target);
    return slot;
}

std::string libraryError(int slot) {
    const char *text = kelvoGetLastError(slot);
    return text != nullptr && *text != '\0' ? text : "the library gave no reason";
}

void configure(int slot, const std::string &name, const std::vector<std::string> &commands) {
    for (const std::string &command : commands) {
        int length = 0;
        int binary = 0;
        const char *answer = kelvoSendCmd(slot, command.c_str(), &length, &binary);
        if (answer == nullptr) throw Failure(name + ": " + libraryError(slot));
        if (length > 0) {
            std::string text =
                binary ? "(a block of " + std::to_string(length) + " bytes)" : std::string(answer, length);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            std::fprintf(stderr, "%s answered '%s': %s\n", name.c_str(), command.c_str(), text.c_str());
        }
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
    Layout layout;
    layout.sampleBytes = kelvoGetSampleSize(slot);
    // The library's record of the layout its configuration commands set. A
    // scan list and a device layout with 24-bit channels give 32-bit words;
    // a scan list, the last to speak, records its size as a count of 16-bit
    // words, a device layout in bytes.
    const FiltInfo &info = filtInfo[slot];
    const bool scanList = info.sampleBytes != layout.sampleBytes;
    layout.wide = (scanList || info.isAdc24 != 0) && layout.sampleBytes >= 8 && layout.sampleBytes % 4 == 0;
    if (layout.wide) {
        layout.columns.push_back("counter");
        for (int c = 1; c < layout.sampleBytes / 4; ++c) layout.columns.push_back("ch" + std::to_string(c));
        return layout;
    }
    const int words = layout.sampleBytes / 2;
    const int factor = info.oversampling < 1 ? 1 : info.oversampling;
    if (info.nAdc16 >= 0 && info.nImu6 >= 0 && info.nAdc16 * factor + 6 * info.nImu6 <= words) {
        for (int c = 1; c <= info.nAdc16; ++c) {
            for (int k = 1; k <= factor; ++k) {
                layout.columns.push_back("adc16_" + std::to_string(c) + (factor > 1 ? "_" + std::to_string(k) : ""));
            }
        }
        for (int u = 1; u <= info.nImu6; ++u) {
            for (int w = 1; w <= 6; ++w) layout.columns.push_back("imu" + std::to_string(u) + "_" + std::to_string(w));
        }
    }
    while (static_cast<int>(layout.columns.size()) < words) {
        layout.columns.push_back("word" + std::to_string(layout.columns.size() + 1));
    }
    return layout;
}

bool hasDisplay() {
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char *value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

bool openPlot(int slot, int span) {
    if (!hasDisplay()) {
        std::printf("live plot skipped: no display (DISPLAY is not set)\n");
        return false;
    }
    sdl2Window(100, 100, 1000, 600);
    if (pWindow == nullptr) {
        std::printf("live plot skipped: %s\n", SDL_GetError());
        return false;
    }
    sdl2WindowConfigure(slot, span);
    return true;
}

void closePlot() { sdl2KillWindow(); }

}  // namespace kelvo::cli
