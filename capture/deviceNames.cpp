// SPDX-License-Identifier: MIT
#include "deviceNames.h"

#include <unistd.h>

#include <sstream>

#include "captureError.h"
#include "kelvo.h"
#include "simRegistry.h"

namespace kelvo::capture {

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
    if (device.empty()) throw CaptureError("the device name is empty", CaptureError::Kind::usage);
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
    throw CaptureError("no device '" + device + "': not a tty path, and no listed device has that serial number");
}

std::string pathOf(const std::string &target) {
    const size_t first = target.find('\t');
    if (first == std::string::npos) return target;
    const size_t second = target.find('\t', first + 1);
    return target.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

}  // namespace kelvo::capture
