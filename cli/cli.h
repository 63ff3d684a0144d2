// SPDX-License-Identifier: MIT
// The kelvo command-line tool: shared pieces of its commands. Everything
// here reaches devices through the library's interface, kelvo.h, alone.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::cli {

// Thrown to end a command: main prints "kelvo: <message>" and exits with
// `status` (1 for a failure, 2 for a usage error, 3 for data lost).
struct Failure : std::runtime_error {
    Failure(const std::string &message, int status = 1) : std::runtime_error(message), status(status) {}
    int status;
};

// Set by SIGINT, SIGTERM and SIGHUP once catchInterrupt() ran; loops poll
// it, so that a stream stopped by any of them still stops its devices and
// leaves whole files. SIGPIPE is ignored: a closed pipe is a failed write.
extern volatile sig_atomic_t interrupted;
void catchInterrupt();

// A line of `kelvo list`.
struct ListedDevice {
    std::string kind;  // the library's kind, "foreign", or "simulated"
    std::string path;
    std::string serial;
    pid_t simulator = 0;  // the kelvo-sim process of a simulated device
};
// What the library lists (every USB tty with `all`), then the devices of
// this user's running kelvo-sim processes.
std::vector<ListedDevice> listedDevices(bool all);

// `kelvo list --diagnose`: every USB tty and simulated device, and what
// stands in the way of using it. 0 when every listed device is usable.
int diagnoseDevices();

// Slots opened by a command, closed again when it ends however it ends.
class OpenSlots {
public:
    OpenSlots() = default;
    ~OpenSlots();
    OpenSlots(const OpenSlots &) = delete;
    OpenSlots &operator=(const OpenSlots &) = delete;
    // Opens DEVICE (a tty path, a line of `kelvo list` as it is, or the
    // serial number of a listed device) in the next free slot and returns
    // the slot.
    int open(const std::string &device);
    const std::vector<int> &slots() const { return slots_; }
    const std::string &name(int slot) const { return names_[slot]; }

private:
    std::vector<int> slots_;
    std::string names_[4];
};

// The slot's error text as the library has it.
std::string libraryError(int slot);

// How long the library waits for each answer of the error queue.
constexpr int kErrorAnswerMs = 1000;

// Clears the device's error queue, sends each command with kelvoSendCmd and
// asks the error queue after each; answers go to stderr prefixed with the
// device name. Fails with the device's text when it reports an error, and
// when the slot ends with no sample layout.
void configure(int slot, const std::string &name, const std::vector<std::string> &commands);

// How to read the samples of a slot.
struct Layout {
    bool wide = false;  // a 32-bit counter, then int32 values; else int16 words
    int sampleBytes = 0;
    std::vector<std::string> columns;  // "counter" when wide, then the library's channel names
};
// Read from the library (kelvoGetLayout) once the slot is configured.
Layout layoutOf(int slot);

// The exact counts of one stream: what the tool took, and what the
// library's stream statistics say was lost on the way.
struct StreamCounts {
    uint64_t received = 0;  // whole samples handed to the tool
    uint64_t dropped = 0;   // whole samples lost (queue full, cut by a framing error)
    uint64_t framingErrors = 0;
    uint64_t bytesSkipped = 0;
    bool clean() const { return dropped == 0 && framingErrors == 0; }
};

// What a self-describing output says about its stream besides the samples.
struct StreamDescription {
    std::string device;
    std::string idn;
    std::string serial;  // names the device in the '# clock:' line; the path without one
    std::vector<std::string> config;
    double rate = -1;  // samples per second as given; -1: the sample clock's
};

// Where the samples of a stream go. write() runs on the slot's reading
// thread, the rest on the command's thread before and after the run.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    // The wall-clock moment the start command went out.
    virtual void started(std::chrono::system_clock::time_point) {}
    // `count` consecutive whole samples, the first of stream index `firstIndex`.
    virtual void write(const unsigned char *samples, size_t count, int64_t firstIndex) = 0;
    // Writes what is held back and the closing lines, flushes and closes;
    // fails when the data did not all reach the file.
    virtual void finish(const StreamCounts &counts) = 0;
};
// "-" (CSV on standard output), FILE.csv or FILE.bin; fails for other names
// or when the file cannot be made. The CSV holds decoded values, or the raw
// integers with `raw`.
std::unique_ptr<SampleSink> openSink(const std::string &path, int slot, const Layout &layout,
                                     const StreamDescription &description, bool raw);

// Takes the streams of several slots, each on a thread of its own that
// sleeps in kelvoReadSamples, until time is up, the user interrupts, or a
// slot fails; keeps the status line on a terminal.
class StreamRun {
public:
    struct Slot {
        int slot;
        std::string name;
        int sampleBytes;
        SampleSink *sink = nullptr;
        uint64_t bytes = 0;
        uint64_t bytesInRun = 0;  // without what came after the stop
        StreamCounts counts;
    };
    StreamRun() = default;
    ~StreamRun();
    StreamRun(const StreamRun &) = delete;
    StreamRun &operator=(const StreamRun &) = delete;

    void add(int slot, const std::string &name, int sampleBytes, SampleSink *sink = nullptr);
    // Also ends the run, cleanly, once `condition` holds; asked about every
    // 20 ms on the calling thread.
    void endWhen(std::function<bool()> condition) { endWhen_ = std::move(condition); }
    // Runs for `seconds` (until interrupted when negative); returns the time
    // taken. The reading threads have ended when it returns or throws.
    double run(double seconds);
    // Takes what the stopped devices sent before they fell silent.
    void drain();
    const std::vector<Slot> &slots() const { return slots_; }
    // No sample lost and no framing error on any slot.
    bool clean() const;

private:
    // What a slot's reading thread shares with the command's thread.
    struct Reader {
        std::thread thread;
        std::atomic<uint64_t> samples{0};
        std::exception_ptr failure;  // set before `failed` is raised
    };
    void read(size_t index);
    static bool take(Slot &s, std::vector<unsigned char> &buffer, int timeoutMs, uint64_t &samples);
    void stopReaders();
    void readCounts();
    void showStatus(double elapsed, bool final);
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<Reader>> readers_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    bool terminal_ = false;
    std::function<bool()> endWhen_;
};

// The exit status of a stream that ran to its end: 0 clean, 3 when any
// sample was lost or a framing error occurred.
constexpr int kStatusLoss = 3;
int streamStatus(const StreamRun &run);

// Starts the stream of `slot` (a command beginning "init").
void startStream(int slot, const std::string &name);
// Starts the streams of every open slot in one synchronized moment
// (kelvoStartTogether) and waits until each delivered its first samples.
void startTogether(const OpenSlots &open);
// Stops the streams (kelvoStopStream): each slot's call returns once its
// device has fallen silent, or after two seconds.
void stopStreams(const std::vector<int> &slots);

// Stops the streams of `slots` when the command ends on a failure, so that
// no device is left streaming; stop() is the orderly way.
class StreamingGuard {
public:
    explicit StreamingGuard(std::vector<int> slots) : slots_(std::move(slots)) {}
    ~StreamingGuard() {
        if (!slots_.empty()) stopStreams(slots_);
    }
    StreamingGuard(const StreamingGuard &) = delete;
    StreamingGuard &operator=(const StreamingGuard &) = delete;
    void stop() {
        stopStreams(slots_);
        slots_.clear();
    }

private:
    std::vector<int> slots_;
};

// One line per slot: the release stamp in ticks and the other three in
// microseconds after it, then the spread between the slots.
void printStamps(const std::vector<std::pair<int, std::string>> &slots);
void printThroughput(const StreamRun &run, double elapsed);

// The four stamps of a synchronized start, per slot, as the library keeps them.
struct StartStamps {
    struct Device {
        int slot;
        std::string name;
        int64_t ticks[4];
        // Whether stamp k was taken in this start: one older than the
        // release was not.
        bool taken(int k) const { return ticks[k] >= ticks[0] && ticks[0] > 0; }
        // Stamp k in microseconds after the release.
        double afterReleaseUs(int k) const { return static_cast<double>(ticks[k] - ticks[0]) / 10.0; }
    };
    std::vector<Device> devices;
    // How far apart the start commands went out (stamp 1), in microseconds,
    // as kelvoGetStartSpread has it; negative when a device lacks the stamp.
    double sentSpreadUs = -1;
    // How far apart the devices took stamp k, in microseconds; negative when
    // a device lacks it.
    double spreadUs(int k) const;
};
// Fails with the library's text when a slot's stamps cannot be had.
StartStamps readStartStamps(const std::vector<std::pair<int, std::string>> &slots);

// The --json documents (json.h writes them).
void printListJson(const std::vector<ListedDevice> &devices);
void printSyncJson(const std::vector<std::pair<int, std::string>> &slots, const StreamRun &run, double elapsed);
void printStreamJson(const StreamRun::Slot &s, double elapsed, const std::string &out);

// A display to plot on: DISPLAY or WAYLAND_DISPLAY, or a video driver
// named in SDL_VIDEODRIVER (offscreen plots where nobody sees it).
bool hasDisplay();
// Opens the plot window for `slot`; false (with a one-line notice on
// `notices`) when it cannot be had. A non-empty `title` replaces SDL's.
bool openPlot(int slot, int span, const std::string &title = "", FILE *notices = stdout);
// "kelvo — DEVICE (LAYOUT)" for the plot window of a configured slot.
std::string plotTitle(int slot, const std::string &device);
// True once the user closed the plot window.
bool plotClosed();
void closePlot();

}  // namespace kelvo::cli
