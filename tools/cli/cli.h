// SPDX-License-Identifier: MIT
// The kelvo command-line tool: shared pieces of its commands. Everything
// here reaches devices through the library's headers: kelvo.h, and
// kelvo_lowlevel.h for a slot's stream layout (filtInfo), the plot window
// and the debug level.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo::cli {

// Thrown to end a command: main prints "kelvo: <message>" and exits with
// `status` (1 for a failure, 2 for a usage error).
struct Failure : std::runtime_error {
    Failure(const std::string &message, int status = 1) : std::runtime_error(message), status(status) {}
    int status;
};

// Set by SIGINT and SIGTERM once catchInterrupt() ran; loops poll it.
extern volatile sig_atomic_t interrupted;
void catchInterrupt();

// The arguments of one command: options are words beginning "--"; a few
// take the words that follow them up to the next option.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::string> config;  // --config CMD...
    double seconds = -1;              // --seconds N; -1 when not given
    std::string out;                  // --out FILE
    int span = 2000;                  // --span N
    int timeoutMs = 1000;             // --timeout MS
    bool quietRule = false;           // --quiet-rule
    bool all = false;                 // --all
    bool diagnose = false;            // --diagnose
    bool plot = false;                // --plot
    bool noPlot = false;              // --no-plot
    bool help = false;                // --help or -h
};
// Parses argv[first..]; `allowed` lists the options the command takes.
Arguments parseArguments(const std::string &command, int argc, char **argv, int first,
                         const std::vector<std::string> &allowed);

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

// What kelvoOpen gets for DEVICE: a tty path, a line of `kelvo list` as it
// is, or the path of the listed device with that serial number.
std::string resolveDevice(const std::string &device);

// Slots opened by a command, closed again when it ends however it ends.
class OpenSlots {
public:
    OpenSlots() = default;
    ~OpenSlots();
    OpenSlots(const OpenSlots &) = delete;
    OpenSlots &operator=(const OpenSlots &) = delete;
    // Opens DEVICE in the next free slot and returns the slot.
    int open(const std::string &device);
    const std::vector<int> &slots() const { return slots_; }
    const std::string &name(int slot) const { return names_[slot]; }

private:
    std::vector<int> slots_;
    std::string names_[4];
};

// The slot's error text as the library has it.
std::string libraryError(int slot);

// Sends each command with kelvoSendCmd; answers go to stderr prefixed with
// the device name. Fails when the slot ends with no sample layout.
void configure(int slot, const std::string &name, const std::vector<std::string> &commands);

// How to read the samples of a slot.
struct Layout {
    bool wide = false;  // a 32-bit counter, then int32 values; else int16 words
    int sampleBytes = 0;
    std::vector<std::string> columns;
};
// Read from the library once the slot is configured.
Layout layoutOf(int slot);

// Where the samples of a stream go.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    virtual void write(const unsigned char *bytes, size_t count) = 0;
};
// FILE.csv or FILE.bin; fails for other names or when the file cannot be made.
std::unique_ptr<SampleSink> openSink(const std::string &path, const Layout &layout);

// Pulls the streams of several slots until time is up, the user
// interrupts, or a slot fails; keeps the status line on a terminal.
class StreamRun {
public:
    struct Slot {
        int slot;
        std::string name;
        int sampleBytes;
        SampleSink *sink = nullptr;
        uint64_t bytes = 0;
        unsigned lost = 0;
    };
    void add(int slot, const std::string &name, int sampleBytes, SampleSink *sink = nullptr);
    // Runs for `seconds` (until interrupted when negative); returns the time taken.
    double run(double seconds);
    const std::vector<Slot> &slots() const { return slots_; }

private:
    void countLosses();
    void showStatus(double elapsed, bool final);
    std::vector<Slot> slots_;
    bool terminal_ = false;
};

// Starts the stream of `slot` (a command beginning "init").
void startStream(int slot, const std::string &name);
// Starts the streams of every open slot in one synchronized moment: holds
// transmission, queues each start command, releases them together.
void startTogether(const OpenSlots &open);
// Stops it and gives the device a moment to fall silent.
void stopStreams(const std::vector<int> &slots);

// One line per slot: the release stamp in ticks and the other three in
// microseconds after it, then the spread between the slots.
void printStamps(const std::vector<std::pair<int, std::string>> &slots);
void printThroughput(const StreamRun &run, double elapsed);

bool hasDisplay();
// Opens the plot window for `slot`; false (with a one-line notice) when it
// cannot be had.
bool openPlot(int slot, int span);
void closePlot();

int listCommand(int argc, char **argv);
int queryCommand(int argc, char **argv);
int streamCommand(int argc, char **argv, bool plotOnly);
int syncCommand(int argc, char **argv);
int uploadCommand(int argc, char **argv);
int demoCommand(int argc, char **argv);

// Help text of a command, or of the tool for an unknown one.
const char *helpText(const std::string &command);

}  // namespace kelvo::cli
