// SPDX-License-Identifier: MIT
// kelvo-sim: simulated data-acquisition devices on pseudo-terminals.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

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
  -h, --help           show this text

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

Waveforms: channel c (from 0) at t seconds, with p the fractional part of
(1 + c/2) t: sine sin(2 pi p), ramp 2p - 1, square (+1 while p < 1/2, else
-1), in that order repeating over the channels. A scan list entry n is
channel n - 1; the oversampled words of a channel are taken 1/F sample apart.
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

// Makes the devices and records them for 'kelvo list'. A device that
// cannot be made ends the program; a list that cannot be written only keeps
// the devices out of 'kelvo list'.
std::vector<std::unique_ptr<kelvo::sim::SimulatedDevice>> makeDevices(int devices, kelvo::sim::SimOptions options) {
    std::vector<std::unique_ptr<kelvo::sim::SimulatedDevice>> sims;
    const auto create = [&](const std::string &serial) {
        options.serial = serial;
        try {
            sims.push_back(std::make_unique<kelvo::sim::SimulatedDevice>(options));
        } catch (const std::system_error &e) {
            throw std::runtime_error(e.what());
        }
        return sims.back()->path();
    };
    try {
        kelvo::sim::registerDevices(devices, create);
    } catch (const std::system_error &e) {
        std::fprintf(stderr, "kelvo-sim: 'kelvo list' will not show the devices: %s\n", e.what());
        while (static_cast<int>(sims.size()) < devices) {
            create(kelvo::sim::simulatedSerial(static_cast<int>(sims.size()) + 1));
        }
    }
    return sims;
}

// Applies one option and its value; the problem with them, empty when none.
std::string takeOption(const std::string &option, const char *value, int &devices, kelvo::sim::SimOptions &options) {
    double number = 0;
    if (option == "-n" || option == "--devices") {
        if (!readNumber(value, 1, 4, number) || number != static_cast<int>(number)) return "--devices takes 1 to 4";
        devices = static_cast<int>(number);
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
    } else {
        return "unknown option: " + option;
    }
    return {};
}

}  // namespace

// Whatever throws (a string that cannot grow, say) ends the program with a
// message rather than an abort.
int main(int argc, char **argv) try {
    int devices = 1;
    kelvo::sim::SimOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (i + 1 >= argc) return usage(("unknown option or missing value: " + option).c_str());
        const char *value = argv[++i];
        const std::string problem = takeOption(option, value, devices, options);
        if (!problem.empty()) return usage(problem.c_str());
    }

    // Block the stop signals before any thread starts, so that only the
    // sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<std::unique_ptr<kelvo::sim::SimulatedDevice>> sims;
    try {
        sims = makeDevices(devices, options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kelvo-sim: %s\n", e.what());
        kelvo::sim::withdrawDevices();
        return 1;
    }
    for (const auto &sim : sims) std::printf("%s\n", sim->path().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    // Off the list before the ttys go.
    kelvo::sim::withdrawDevices();
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "kelvo-sim: %s\n", e.what());
    return 1;
}
