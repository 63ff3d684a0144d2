// SPDX-License-Identifier: MIT
// The devices of a record or publish run: opened, configured, described,
// started in one synchronized moment and captured through the library's
// sample callback for one consumer thread.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
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
    // Spread of the "sent" stamps between the devices, in microseconds, as
    // kelvoGetStartSpread has it; -1 when a device lacks the stamp.
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

// The one thread that consumes a run's capture: it calls `atStart`, then
// hands every batch to `take` and calls `everySecond` once a second; at the end of the run it
// hands over what is still queued, then calls `atEnd`. It keeps, per
// device, the count of samples the work took.
class CaptureConsumer {
public:
    struct Work {
        // Up to 15 characters: how ps, top and /proc/PID/task/*/comm show
        // the thread, and how a benchmark finds it to read its CPU time.
        const char *threadName = "kelvo-consumer";
        std::function<void(const recording::Batch &)> take;
        std::function<void()> atStart = [] {};
        std::function<void()> everySecond = [] {};
        std::function<void()> atEnd = [] {};
    };
    CaptureConsumer(LiveDevices &live, Work work);
    ~CaptureConsumer();
    CaptureConsumer(const CaptureConsumer &) = delete;
    CaptureConsumer &operator=(const CaptureConsumer &) = delete;

    // Starts the thread and waits, sleeping, until `seconds` passed (never
    // when negative), the work ended itself or failed, or the user
    // interrupts, letting `live` check the devices meanwhile; then stops the
    // streams and the thread. Returns the seconds taken; `failure` gets the
    // first failure, of the wait or of the work.
    double run(double seconds, std::exception_ptr &failure);

    // Consumer thread: adds to a device's count; ends the run once the work
    // has all it wants.
    void count(size_t device, uint64_t samples) { counts_[device].fetch_add(samples); }
    uint64_t counted(size_t device) const { return counts_[device].load(); }
    void end() { ended_.store(true); }

    std::vector<uint64_t> counts() const;

private:
    void consume();
    void join();

    LiveDevices &live_;
    Work work_;
    std::vector<std::atomic<uint64_t>> counts_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ended_{false};
    std::exception_ptr failure_;
    std::thread thread_;
};

// The library's statistics of the slot's stream, with the samples a run
// kept and those its own queue lost.
recording::RecordedStats libraryStats(int slot, uint64_t samples, uint64_t lostAfterLibrary);
// Prints a device's lines of the closing summary; false when samples were
// dropped or the stream had framing errors.
bool printSummary(const std::string &name, const std::string &path, const recording::RecordedStats &stats,
                  double seconds);

}  // namespace kelvo::cli
