// SPDX-License-Identifier: MIT
// The per-user file through which running kelvo-sim processes make their
// devices known to `kelvo list`: $XDG_RUNTIME_DIR/kelvo-sim, or
// /tmp/kelvo-sim-<uid> without a runtime folder, mode 0600. One line per
// device: "pid<TAB>start<TAB>serial<TAB>path", where start is the process's
// start time in clock ticks since boot, so that a pid reused after a
// simulator was killed does not bring its devices back. Writers hold an
// exclusive flock, readers a shared one.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo::sim {

struct RegisteredDevice {
    pid_t pid = 0;
    std::string serial;
    std::string path;
};

// Where this user's file lies.
std::string registryPath();

// The devices of simulators that still run, in the file's order. Empty when
// there is no file, or when it is not this user's own regular file.
std::vector<RegisteredDevice> runningSimulatedDevices();

// Records `count` devices of this process: `create` is called with each
// serial number (the first free of SIM0001, SIM0002, ... among running
// simulators) and returns the device's tty path. Lines of simulators that
// are gone are dropped on the way. Throws std::system_error when the file
// cannot be used; the devices are then made with SIM0001 onwards all the
// same by the caller.
void registerDevices(int count, const std::function<std::string(const std::string &serial)> &create);

// Removes this process's lines; the file goes when none are left.
void withdrawDevices();

// One device of this process unplugged (its line goes) and plugged in
// again at another tty (its line comes back with the new path). Throws
// std::system_error when the file cannot be used.
void withdrawDevice(const std::string &serial);
void recordDevice(const std::string &serial, const std::string &path);

// "SIM0001" for 1.
std::string simulatedSerial(int number);

}  // namespace kelvo::sim
