// SPDX-License-Identifier: MIT
// kelvo-sim: simulated data-acquisition devices on pseudo-terminals.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "simClock.h"
#include "simRegistry.h"
#include "simulatedDevice.h"

namespace {

const char kHelp[] = R"(usage: kelvo-sim [OPTIONS]

Creates simulated data-acquisition devices on pseudo-terminals, prints their
tty paths one per line, and serves them until interrupted (Ctrl-C).

Each device gets the first serial number free among this user's running
simulators (SIM0001, SIM0002, ...) and is recorded, with this program's
pid, in $XDG_RUNTIME_DIR/kelvo-sim (/tmp/kelvo-sim-UID without a runtime
folder): 'kelvo list' shows it as "simulated" and 'kelvo query SIM0001
'*IDN?'' finds it. The lines go when the simulator ends.

Options:
  -n, --devices N      number of devices, 1 to 4 (default 1)
  -r, --rate HZ        samples per second while streaming (default 1000)
  -b, --block N        samples per definite-length block (default 100)
  -f, --fault KIND[:N] inject a fault; may be given more than once:
                         drop       the line goes dead after N blocks (50)
                         silent     no more data or answers after N blocks (50)
                         garbage    16 random bytes before every N-th block (10)
                         malformed  every N-th block 3 bytes short of its header (10)
                         corrupt    every N-th block's last length digit reads '5' (10)
                         badheader  every N-th block's digit count reads 'x' (10)
                         noterminator  every N-th block lacks its line feed (10)
  -p, --payload KIND   waves (default): the waveforms below; framing: samples
                       of '#', CR, LF and digits that look like block headers
      --clock-ppm P[,P...]
                       the sample clock runs P parts per million fast
                       (negative: slow), -100000 to 100000 (default 0); one
                       value for every device or one per device, in order
      --truth FILE     log when each block's first sample was measured (see
                       Timing); with several devices device K logs to FILE.K
      --late-ms MAX    write each block late by a delay drawn uniformly from
                       0 to MAX ms, 0 to 60000 (default 0)
      --late-share F   only a share F of the blocks, drawn at random, is
                       late, 0 to 1 (default 1: every block)
      --seed S         seed of those delays, a whole number; device K takes
                       S + K - 1 (default: a fresh seed every run)
      --unplug-at S    unplug device 1 S seconds after start (see Unplugging)
      --replug-after S plug an unplugged device 1 in again S seconds later
  -h, --help           show this text

Timing: each device has a sample clock that starts at the tick T0 at which
the device takes INIT. Sample n of the stream (n from 0 at each INIT, the n
a 32-bit sample counter carries) is measured n / (HZ * (1 + P / 1000000))
seconds after T0, HZ being the --rate and P the --clock-ppm; a block of B
samples (--block), k to k+B-1, is written once sample k+B-1 has been
measured, later by its --late-ms delay if one is given. Ticks are 100 ns
units of CLOCK_MONOTONIC_RAW, the library's clock. The truth log gets a
line "# start" at each INIT and then, per block written, a line "INDEX
TICKS": the stream index of the block's first sample and the tick at which
it was measured, to the nearest tick.

Unplugging: device 1 can be unplugged and plugged in again, as a cable
would be: by --unplug-at and --replug-after, or at once by SIGUSR1 (unplug)
and SIGUSR2 (plug in again). Unplugged, its tty is hung up and it leaves the
simulator list; plugged in again, it is a new device on a new tty, printed
on its own line, under the same serial number, with its settings reset and
its truth log going on after what it holds. Each unplug and plug-in is told
on standard error with the tick at which its tty hung up or was listed.

The devices answer:
  *IDN?  *OPC?  *RST  *CLS  SYSTem:ERRor[:NEXT]?  SYSTem:ERRor:COUNt?
  CONFigure:DEVice K            K 24-bit channels: a 32-bit sample counter,
                                then one int32 per channel (24-bit value in
                                the top bits, peak +-6000000 counts)
  CONFigure:DEVice 0,A[,I[,X[,Y]]]
                                16-bit words: A channels times the
                                oversampling factor, 6 per inertial unit I,
                                X + Y more; int16, peak +-24000
  CONFigure:SCAn:OVErsampling F factor 1 or 2, used by the next device layout
  CONFigure:SCAn:LISt (@1,2,..) 32-bit layout of the listed channels (1-16)
  (each of the three also as a query)
  INIT...                       start streaming blocks of whole samples
  ABOR...                       stop streaming
  #<block>                      store an uploaded block; answers
                                "ACK <n> bytes, crc32 0x<crc>"
  DATA:UPLoad?                  the last uploaded block
Anything else is an error: nothing is answered, and SYSTem:ERRor? reports
-113,"Undefined header".

Waveforms: channel c (from 0) of sample n at t = n / HZ seconds, with p the
fractional part of (1 + c/2) t: sine sin(2 pi p), ramp 2p - 1, square (+1
while p < 1/2, else -1), in that order repeating over the channels. A scan
list entry n is channel n - 1; the oversampled words of a channel are taken
1/F sample apart.
)";

int usage(const char *message) {
    std::fprintf(stderr, "kelvo-sim: %s\nTry 'kelvo-sim --help'.\n", message);
    return 2;
}

bool readNumber(const char *text, double low, double high, double &value) {
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

// What the command line asks for.
struct Settings {
    int devices = 1;
    kelvo::sim::SimOptions options;     // what every device shares
    std::vector<double> clockPpm;       // one for all, or one per device
    std::optional<double> unplugAt;     // seconds after start
    std::optional<double> replugAfter;  // seconds after an unplug
};

// The options of device `index` (from 0): its clock and its truth log.
kelvo::sim::SimOptions deviceOptions(const Settings &settings, int index) {
    kelvo::sim::SimOptions options = settings.options;
    const auto k = static_cast<size_t>(index);
    if (!settings.clockPpm.empty()) options.clockPpm = settings.clockPpm[settings.clockPpm.size() == 1 ? 0 : k];
    if (!options.truthPath.empty() && settings.devices > 1) options.truthPath += "." + std::to_string(index + 1);
    if (options.seed) *options.seed += k;
    return options;
}

// Makes the devices and records them for 'kelvo list'. A device that
// cannot be made ends the program; a list that cannot be written only keeps
// the devices out of 'kelvo list'.
std::vector<std::unique_ptr<kelvo::sim::SimulatedDevice>> makeDevices(const Settings &settings) {
    std::vector<std::unique_ptr<kelvo::sim::SimulatedDevice>> sims;
    const auto create = [&](const std::string &serial) {
        kelvo::sim::SimOptions options = deviceOptions(settings, static_cast<int>(sims.size()));
        options.serial = serial;
        try {
            sims.push_back(std::make_unique<kelvo::sim::SimulatedDevice>(options));
        } catch (const std::system_error &e) {
            throw std::runtime_error(e.what());
        }
        return sims.back()->path();
    };
    try {
        kelvo::sim::registerDevices(settings.devices, create);
    } catch (const std::system_error &e) {
        std::fprintf(stderr, "kelvo-sim: 'kelvo list' will not show the devices: %s\n", e.what());
        while (static_cast<int>(sims.size()) < settings.devices) {
            create(kelvo::sim::simulatedSerial(static_cast<int>(sims.size()) + 1));
        }
    }
    return sims;
}

// "150,-80,0": comma-separated numbers from `low` to `high`; false when a
// piece is not one.
bool readNumbers(const std::string &text, double low, double high, std::vector<double> &values) {
    values.clear();
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        double value = 0;
        if (!readNumber(text.substr(start, comma - start).c_str(), low, high, value)) return false;
        values.push_back(value);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// The options of the simulated clock and its lateness; nullopt for any
// other option, else the problem with the value (empty when none).
std::optional<std::string> takeTimingOption(const std::string &option, const char *value, Settings &settings) {
    kelvo::sim::SimOptions &options = settings.options;
    double number = 0;
    if (option == "--clock-ppm") {
        if (!readNumbers(value, -100000, 100000, settings.clockPpm)) {
            return "--clock-ppm takes -100000 to 100000, or a comma list of them";
        }
    } else if (option == "--truth") {
        if (*value == '\0') return "--truth takes a file name";
        options.truthPath = value;
    } else if (option == "--late-ms") {
        if (!readNumber(value, 0, 60000, number)) return "--late-ms takes 0 to 60000";
        options.lateMaxMs = number;
    } else if (option == "--late-share") {
        if (!readNumber(value, 0, 1, number)) return "--late-share takes 0 to 1";
        options.lateShare = number;
    } else if (option == "--unplug-at" || option == "--replug-after") {
        if (!readNumber(value, 0, 1e6, number)) return option + " takes 0 to 1000000 seconds";
        (option == "--unplug-at" ? settings.unplugAt : settings.replugAfter) = number;
    } else if (option == "--seed") {
        char *end = nullptr;
        errno = 0;
        const unsigned long long seed = std::strtoull(value, &end, 10);
        if (end == value || *end != '\0' || errno != 0 || *value == '-') return "--seed takes a whole number";
        options.seed = seed;
    } else {
        return std::nullopt;
    }
    return std::string{};
}

// Applies one option and its value; the problem with them, empty when none.
std::string takeOption(const std::string &option, const char *value, Settings &settings) {
    kelvo::sim::SimOptions &options = settings.options;
    double number = 0;
    if (option == "-n" || option == "--devices") {
        if (!readNumber(value, 1, 4, number) || number != static_cast<int>(number)) return "--devices takes 1 to 4";
        settings.devices = static_cast<int>(number);
    } else if (option == "-r" || option == "--rate") {
        if (!readNumber(value, 0.001, 10000000, number)) return "--rate takes 0.001 to 10000000";
        options.sampleRate = number;
    } else if (option == "-b" || option == "--block") {
        if (!readNumber(value, 1, 100000, number) || number != static_cast<unsigned>(number)) {
            return "--block takes 1 to 100000";
        }
        options.samplesPerBlock = static_cast<unsigned>(number);
    } else if (option == "-f" || option == "--fault") {
        const auto fault = kelvo::sim::parseFault(value);
        if (!fault) return std::string("unknown fault: ") + value;
        options.faults.push_back(*fault);
    } else if (option == "-p" || option == "--payload") {
        const std::string kind = value;
        if (kind != "waves" && kind != "framing") return "--payload takes waves or framing";
        options.framingPayload = kind == "framing";
    } else if (const auto problem = takeTimingOption(option, value, settings)) {
        return *problem;
    } else {
        return "unknown option: " + option;
    }
    return {};
}

// What no single option can tell; empty when nothing.
std::string checkSettings(const Settings &settings) {
    const size_t ppms = settings.clockPpm.size();
    if (ppms > 1 && ppms != static_cast<size_t>(settings.devices)) {
        return "--clock-ppm takes one value or one per device (" + std::to_string(settings.devices) + ")";
    }
    return {};
}

// Unplugs device 1 and plugs it in again: a new device on a new tty under
// the same serial number, as a cable pulled and pushed back gives.
class FirstDevicePlug {
public:
    FirstDevicePlug(const Settings &settings, std::unique_ptr<kelvo::sim::SimulatedDevice> &device)
        : device_(device), options_(deviceOptions(settings, 0)), serial_(device->serial()) {
        options_.serial = serial_;
    }
    bool pluggedIn() const { return device_ != nullptr; }

    void unplug() {
        if (!device_) return;
        try {
            kelvo::sim::withdrawDevice(serial_);  // off the list before the tty goes
        } catch (const std::system_error &) {
            // The list could not be had at the start either.
        }
        device_.reset();
        // The tick lets a benchmark time what follows from the hang-up itself.
        std::fprintf(stderr, "kelvo-sim: %s unplugged (tick %lld)\n", serial_.c_str(),
                     static_cast<long long>(kelvo::sim::rawTicks()));
    }

    void plugIn() {
        if (device_) return;
        options_.truthKept = true;
        try {
            device_ = std::make_unique<kelvo::sim::SimulatedDevice>(options_);
        } catch (const std::system_error &e) {
            std::fprintf(stderr, "kelvo-sim: %s stays unplugged: %s\n", serial_.c_str(), e.what());
            return;
        }
        try {
            kelvo::sim::recordDevice(serial_, device_->path());
        } catch (const std::system_error &e) {
            std::fprintf(stderr, "kelvo-sim: 'kelvo list' will not show %s: %s\n", serial_.c_str(), e.what());
        }
        // From this tick on the device can be found: its tty is there and listed.
        const int64_t listed = kelvo::sim::rawTicks();
        std::printf("%s\n", device_->path().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "kelvo-sim: %s plugged in at %s (tick %lld)\n", serial_.c_str(), device_->path().c_str(),
                     static_cast<long long>(listed));
    }

private:
    std::unique_ptr<kelvo::sim::SimulatedDevice> &device_;
    kelvo::sim::SimOptions options_;
    std::string serial_;
};

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Serves until a stop signal, unplugging and plugging in device 1 when the
// settings or SIGUSR1 and SIGUSR2 say.
void waitForTheEnd(const sigset_t &signals, FirstDevicePlug &plug, const Settings &settings) {
    const double start = secondsNow();
    std::optional<double> unplugDue = settings.unplugAt ? std::optional(start + *settings.unplugAt) : std::nullopt;
    std::optional<double> plugInDue;
    for (;;) {
        const std::optional<double> due = plug.pluggedIn() ? unplugDue : plugInDue;
        int signal = 0;
        if (due) {
            const double wait = std::max(0.0, *due - secondsNow());
            timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
            signal = sigtimedwait(&signals, nullptr, &timeout);
            if (signal < 0 && errno != EAGAIN) continue;  // EINTR
        } else if (sigwait(&signals, &signal) != 0) {
            continue;
        }
        if (signal == SIGUSR1 || (signal < 0 && plug.pluggedIn())) {
            plug.unplug();
            unplugDue.reset();
            if (settings.replugAfter) plugInDue = secondsNow() + *settings.replugAfter;
        } else if (signal == SIGUSR2 || signal < 0) {
            plug.plugIn();
            plugInDue.reset();
        } else {
            return;
        }
    }
}

}  // namespace

// Whatever throws (a string that cannot grow, say) ends the program with a
// message rather than an abort.
int main(int argc, char **argv) try {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (i + 1 >= argc) return usage(("unknown option or missing value: " + option).c_str());
        const char *value = argv[++i];
        const std::string problem = takeOption(option, value, settings);
        if (!problem.empty()) return usage(problem.c_str());
    }
    if (const std::string problem = checkSettings(settings); !problem.empty()) return usage(problem.c_str());

    // A reader of the tty paths may stop reading after the first lines; a
    // path printed later must not end the simulator.
    signal(SIGPIPE, SIG_IGN);
    // Block the stop and plug signals before any thread starts, so that
    // only the wait below takes them.
    sigset_t stopSignals;  // and the plug signals
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<std::unique_ptr<kelvo::sim::SimulatedDevice>> sims;
    try {
        sims = makeDevices(settings);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kelvo-sim: %s\n", e.what());
        kelvo::sim::withdrawDevices();
        return 1;
    }
    for (const auto &sim : sims) std::printf("%s\n", sim->path().c_str());
    std::fflush(stdout);

    FirstDevicePlug plug(settings, sims.front());
    waitForTheEnd(stopSignals, plug, settings);
    // Off the list before the ttys go.
    kelvo::sim::withdrawDevices();
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "kelvo-sim: %s\n", e.what());
    return 1;
}
