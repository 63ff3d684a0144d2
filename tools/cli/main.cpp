// SPDX-License-Identifier: MIT
// kelvo: list, query, stream from, synchronise, upload to and plot
// data-acquisition devices, or watch a demo with simulated ones.
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "kelvo.h"

namespace kelvo::cli {

volatile sig_atomic_t interrupted = 0;

void catchInterrupt() {
    struct sigaction action {};
    action.sa_handler = [](int) { interrupted = 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

namespace {

const char kToolHelp[] = R"(usage: kelvo COMMAND [ARGUMENTS]

Commands:
  list [--all] [--diagnose]            list the attached devices, or diagnose them
  query DEVICE COMMAND...              send SCPI commands, print the answers
  stream DEVICE --config CMD...        stream samples to the terminal or a file
  sync DEVICE... --config CMD...       start several devices at one moment
  upload DEVICE FILE                   send a file as a binary block
  plot DEVICE --config CMD...          show the live plot of a stream
  demo                                 two simulated devices, streamed and timed
  help [COMMAND]                       show this text or a command's

DEVICE is a tty path (/dev/ttyACM0), a line of 'kelvo list', or a serial
number shown by it. Run 'kelvo COMMAND --help' for the details of a command.
)";

const char kListHelp[] = R"(usage: kelvo list [--all] [--diagnose]

Lists the attached devices, one line each: kind, tab, tty path, tab, serial
number, then the devices of this user's running kelvo-sim programs, as
"simulated". With --all, other USB serial ttys are listed too, as "foreign".
A line, its path or its serial number names the device in other commands.

--diagnose looks at every USB tty and simulated device instead and tells
for each: whether this user may open it read-write (and if not, why and
the fix), which other processes hold it open, whether ModemManager runs
and is not told to leave it alone, whether the kelvo udev rule is active,
and which kind it is listed as or why it is not listed. The exit status is
0 when every listed device is usable, else 1.
)";

const char kQueryHelp[] = R"(usage: kelvo query DEVICE COMMAND... [--timeout MS] [--out FILE] [--quiet-rule]

Sends each SCPI COMMAND in turn and waits for exactly one answer to each
query (a command with '?'), for at most --timeout MS (default 1000). A text
answer is printed without its line end; a binary block answer is shown as a
hex dump, or with --out written to FILE (the payload only). A query that
gets no complete answer in time is reported and makes the exit status 1.

After each setting command (no '?') the device is asked SYSTem:ERRor?; when
it reports an error (an answer that does not begin with "0" or "+0"), the
error is printed and the tool stops with exit status 1.

--quiet-rule sends the commands the older way instead (kelvoSendCmd): no
error check, an answer ends when the line has been quiet for 5 ms, and a
query that gets nothing within 400 ms is reported.

  kelvo query /dev/ttyACM0 '*IDN?'
  kelvo query SIM0001 'CONFigure:DEVice 3' 'CONFigure:DEVice?'
)";

const char kStreamHelp[] = R"(usage: kelvo stream DEVICE --config CMD... [--seconds N] [--out FILE.csv|FILE.bin|-]
                    [--raw] [--rate HZ] [--plot] [--span N]

Sends the configuration commands, asking the device "SYSTem:ERRor?" after
each (a device that reports an error is not streamed from; its text is
printed), starts the stream ("INIT"), takes whole samples for N seconds
(until Ctrl-C without --seconds), stops it ("ABORt", then waits until the
device is quiet) and takes what it sent until then. SIGINT, SIGTERM and
SIGHUP all end the run this way and leave a complete output file.

On a terminal a status line shows the elapsed time, samples received,
samples per second, bytes per second and the library's exact counts: whole
samples dropped (stream queue full, or cut by a framing error), framing
errors (malformed blocks) and bytes skipped to find the next block. The
summary at the end repeats them.

  --config CMD...   configuration commands, e.g. 'CONFigure:DEVice 3'; at
                    least one must set a sample layout
  --out FILE.csv    a CSV that describes itself; '-' writes it to standard
                    output
  --out FILE.bin    the raw sample bytes
  --raw             CSV values as the raw integers the device sent instead
                    of decoded values
  --rate HZ         the device's sample rate, for the CSV's time column;
                    without it the rate is measured from the arrivals over
                    the first second (the rows wait until then)
  --plot            show the live plot as well (needs a display)
  --span N          samples across the plot window (default 2000)

The CSV begins with '#' lines: device, idn (the answer to *IDN?), config
(one line per command), sample size, rate, start time (UTC, when the start
command was sent) and channels. Then a header row and one row per sample:
time in seconds since the first sample (from the sample counter where the
layout has one, else from the row number), the counter of a 32-bit layout,
and the channels' values: decoded with full scale +-1, or with --raw the
int32 words (24-bit values in the top bits) or int16 words. A last '#' line
gives the counts: "# end: N samples received, N dropped, N framing errors,
N bytes skipped".

Exit status: 0 for a clean run, 3 when any sample was lost or a framing
error occurred, 1 when the device failed (the library's text is printed)
or sent nothing for 2 s, 2 for a usage error.
)";

const char kSyncHelp[] = R"(usage: kelvo sync DEVICE... --config CMD... [--seconds N]

Opens up to four devices, configures each with the same commands (checked
with "SYSTem:ERRor?" as in 'kelvo stream'), holds transmission, queues the
start command for each and releases them at one moment. Streams for N
seconds (default 2), then prints per device the four stamps of the start
(released, sent, first bytes back, first payload; the last three in
microseconds after the release), the spread between the devices in
microseconds, and the throughput with the exact counts: samples received,
dropped, framing errors and bytes skipped.

Exit status: 0 for a clean run, 3 when any device lost a sample or had a
framing error, 1 when a device failed, 2 for a usage error.
)";

const char kUploadHelp[] = R"(usage: kelvo upload DEVICE FILE

Sends the bytes of FILE (1 to 4096) to the device as one definite-length
block, then asks "*OPC?" and prints what the device answered besides it.
)";

const char kPlotHelp[] = R"(usage: kelvo plot DEVICE --config CMD... [--seconds N] [--span N]

Streams like 'kelvo stream' and shows the samples in the live plot window
until Ctrl-C (or for N seconds). Needs a display. The status line and the
summary give the same exact counts as 'kelvo stream', and so does the exit
status: 0 for a clean run, 3 when any sample was lost or a framing error
occurred.
)";

const char kDemoHelp[] = R"(usage: kelvo demo [--seconds N] [--no-plot]

Starts two simulated devices in this process, configures them (one with
three 24-bit channels, one with 16-bit channels and an inertial unit),
starts them together, streams for N seconds (default 3) with the status
line, and prints the time stamps of the start and the throughput. With a
display it then shows the live plot of the first device for N seconds;
without one (or with --no-plot) it says so in one line and skips it.
)";

struct CommandEntry {
    const char *name;
    const char *help;
};

const CommandEntry kCommands[] = {
    {"list", kListHelp},     {"query", kQueryHelp}, {"stream", kStreamHelp}, {"sync", kSyncHelp},
    {"upload", kUploadHelp}, {"plot", kPlotHelp},   {"demo", kDemoHelp},
};

}  // namespace

const char *helpText(const std::string &command) {
    for (const CommandEntry &entry : kCommands) {
        if (command == entry.name) return entry.help;
    }
    return kToolHelp;
}

Arguments parseArguments(const std::string &command, int argc, char **argv, int first,
                         const std::vector<std::string> &allowed) {
    Arguments args;
    const auto takes = [&](const std::string &option) {
        for (const auto &a : allowed) {
            if (a == option) return true;
        }
        return false;
    };
    const auto value = [&](int &i, const std::string &option) -> std::string {
        if (i + 1 >= argc) throw Failure(option + " needs a value; see 'kelvo " + command + " --help'", 2);
        return argv[++i];
    };
    const auto number = [&](const std::string &option, const std::string &text, double low, double high) {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !(v >= low && v <= high)) {
            throw Failure(option + " takes a number from " + std::to_string(static_cast<long>(low)) + " to " +
                              std::to_string(static_cast<long>(high)),
                          2);
        }
        return v;
    };
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
        } else if (word.rfind("--", 0) != 0) {
            args.positional.push_back(word);
        } else if (!takes(word)) {
            throw Failure("'" + command + "' has no option " + word + "; see 'kelvo " + command + " --help'", 2);
        } else if (word == "--config") {
            while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) args.config.push_back(argv[++i]);
            if (args.config.empty()) throw Failure("--config needs at least one command", 2);
        } else if (word == "--seconds") {
            args.seconds = number(word, value(i, word), 0, 86400);
        } else if (word == "--rate") {
            args.rate = number(word, value(i, word), 0.001, 1e9);
        } else if (word == "--raw") {
            args.raw = true;
        } else if (word == "--span") {
            args.span = static_cast<int>(number(word, value(i, word), 10, 10000000));
        } else if (word == "--timeout") {
            args.timeoutMs = static_cast<int>(number(word, value(i, word), 1, 3600000));
        } else if (word == "--quiet-rule") {
            args.quietRule = true;
        } else if (word == "--out") {
            args.out = value(i, word);
        } else if (word == "--all") {
            args.all = true;
        } else if (word == "--diagnose") {
            args.diagnose = true;
        } else if (word == "--plot") {
            args.plot = true;
        } else if (word == "--no-plot") {
            args.noPlot = true;
        }
    }
    return args;
}

}  // namespace kelvo::cli

// The function-try-block also covers what runs before the commands.
int main(int argc, char **argv) try {
    using namespace kelvo::cli;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command.empty() || command == "--help" || command == "-h" || command == "help") {
        std::fputs(helpText(argc > 2 && command == "help" ? argv[2] : ""), command.empty() ? stderr : stdout);
        return command.empty() ? 2 : 0;
    }
    if (command == "--version") {
        std::printf("kelvo %s\n", kelvoGetVersion());
        return 0;
    }
    catchInterrupt();
    try {
        if (command == "list") return listCommand(argc, argv);
        if (command == "query") return queryCommand(argc, argv);
        if (command == "stream") return streamCommand(argc, argv, false);
        if (command == "plot") return streamCommand(argc, argv, true);
        if (command == "sync") return syncCommand(argc, argv);
        if (command == "upload") return uploadCommand(argc, argv);
        if (command == "demo") return demoCommand(argc, argv);
        throw Failure("unknown command '" + command + "'; see 'kelvo --help'", 2);
    } catch (const Failure &failure) {
        std::fprintf(stderr, "kelvo: %s\n", failure.what());
        return failure.status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kelvo: %s\n", e.what());
        return 1;
    }
} catch (const std::exception &e) {
    std::fprintf(stderr, "kelvo: %s\n", e.what());
    return 1;
}
