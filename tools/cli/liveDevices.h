// SPDX-License-Identifier: MIT
// The devices of a record or publish run: opened, configured, described,
// started in one synchronized moment and captured through the library's
// data callback for one consumer thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "deviceInfo.h"
#include "h5Recording.h"
#include "streamCapture.h"

namespace kelvo::cli {

class LiveDevices {
public:
    // Opens and configures every device, and learns what it is.
    LiveDevices(const std::vector<std::string> &names, const std::vector<std::string> &config);
    ~LiveDevices();  // stops the streams if they still run

    // Attaches the capture, starts all streams together and takes the
    // release stamps.
    void start();
    // Stops the streams, waits for the devices to fall quiet and detaches
    // the capture (whose queues keep what came).
    void stop();
    // Reads the four start stamps of every device again, the later ones
    // being taken after the start; only while no other thread reads devices().
    void readStamps();

    std::vector<recording::DeviceInfo> &devices() { return devices_; }
    recording::StreamCapture &capture() { return *capture_; }
    int64_t tickOrigin() const { return tickOrigin_; }
    // Wall-clock time of the release, in ns since 1970.
    int64_t startUnixNs() const;
    // Spread of the "sent" stamps between the devices, in microseconds.
    double stampSpreadUs() const;

    // Main thread, while running: fails when a device was unplugged, or when
    // `received(device)` has not grown for two seconds.
    void watch(const std::vector<uint64_t> &received);

private:
    OpenSlots open_;
    std::vector<recording::DeviceInfo> devices_;
    std::unique_ptr<recording::StreamCapture> capture_;
    int64_t tickOrigin_ = 0;
    bool running_ = false;
    std::vector<uint64_t> lastReceived_;
    std::vector<std::chrono::steady_clock::time_point> lastChange_;
};

// Finishes a run that the consumer thread counts in: loops (sleeping) until
// `seconds` passed (never when negative), `done` is set, or the user
// interrupts; lets `devices.watch` check the devices meanwhile. Returns the
// seconds taken.
double waitForEnd(LiveDevices &devices, double seconds, const std::atomic<bool> &done,
                  const std::function<std::vector<uint64_t>()> &received);

// The library's statistics of the slot's stream, with the samples a run
// kept and those its own queue lost.
recording::RecordedStats libraryStats(int slot, uint64_t samples, uint64_t lostAfterLibrary);
// Prints a device's lines of the closing summary; false when samples were
// dropped or the stream had framing errors.
bool printSummary(const std::string &name, const std::string &path, const recording::RecordedStats &stats,
                  double seconds);

}  // namespace kelvo::cli
