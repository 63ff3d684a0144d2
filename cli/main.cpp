// SPDX-License-Identifier: MIT
// kelvo: list, query, stream from, synchronise, upload to and plot
// data-acquisition devices, or watch a demo with simulated ones.
#include <langinfo.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

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
       kelvo --version | -V
       kelvo --help | -h

Commands:
  list [--all] [--diagnose] [--json]  list the attached devices, or diagnose them
  query DEVICE COMMAND... [--json]     send SCPI commands, print the answers
  stream DEVICE --config CMD...        stream samples to the terminal or a file
  sync DEVICE... --config CMD...       start several devices at one moment
  upload DEVICE FILE                   send a file as a binary block
  plot DEVICE --config CMD...          show the live plot of a stream
  demo                                 two simulated devices, streamed and timed
  record DEVICE... --config CMD...     record a synchronized run into an HDF5 file
  publish DEVICE... --config CMD...    publish the streams over ZeroMQ
  subscribe ENDPOINT                   receive published streams, count losses
  help [COMMAND]                       show this text or a command's

Options:
  -c, --config CMD...   configuration commands, up to the next option;
                        --config=CMD gives one, and --config may be repeated
  -s, --seconds N       how long to stream
  -n, --samples N       how many samples to take, where a command counts them
  -o, --out FILE        where to write the data
  -t, --timeout MS      how long to wait for each answer
  --json                print one JSON document on stdout instead of text
                        (list, query, sync, and the summary of stream and plot)
  -V, --version         print the version and exit
  -h, --help            show the help of the tool or of a command
Every option that takes a value also takes it as --option=value.

DEVICE is a tty path (/dev/ttyACM0), a line of 'kelvo list', or a serial
number shown by it. Run 'kelvo COMMAND --help' for the details of a command.

Exit status:
  0  success
  1  failure: a device, file or the library refused or went silent
  2  usage: unknown command or option, missing or bad argument
  3  data lost: the stream went through, but samples were dropped on the way
)";

const char kListHelp[] = R"(usage: kelvo list [--all] [--diagnose] [--json]

Lists the attached devices, one line each: kind, tab, tty path, tab, serial
number, then the devices of this user's running kelvo-sim programs, as
"simulated". With --all, other USB serial ttys are listed too, as "foreign".
A line, its path or its serial number names the device in other commands.
With --json: {"devices": [{"kind": ..., "path": ..., "serial": ...}, ...]}.

--diagnose looks at every USB tty and simulated device instead and tells
for each: whether this user may open it read-write (and if not, why and
the fix), which other processes hold it open, whether ModemManager runs
and is not told to leave it alone, whether the kelvo udev rule is active,
and which kind it is listed as or why it is not listed. The exit status is
0 when every listed device is usable, else 1.
)";

const char kQueryHelp[] = R"(usage: kelvo query DEVICE COMMAND... [-t|--timeout MS] [-o|--out FILE] [--quiet-rule]
                   [--json]

Sends each SCPI COMMAND in turn and waits for exactly one answer to each
query (a command with '?'), for at most --timeout MS (default 1000). A text
answer is printed without its line end; a binary block answer is shown as a
hex dump, or with --out written to FILE (the payload only). A query that
gets no complete answer in time is reported and makes the exit status 1.

After each setting command (no '?') the device's error queue is read
(SYSTem:ERRor? until it reports none); when it reports an error (an answer
that does not begin with "0" or "+0"), the first error is printed and the
tool stops with exit status 1.

--quiet-rule sends the commands the older way instead (kelvoSendCmd): no
error check, an answer ends when the line has been quiet for 5 ms, and a
query that gets nothing within 400 ms is reported.

--json prints {"device": ..., "results": [...]} with one entry per COMMAND:
{"command", "answer"} for a text answer, {"command", "binary": true,
"bytes", "hex"} for a block (or "file" with --out), {"command", "error"} for
a setting the device refused, {"command", "timeout": true} for a query that
got no answer; the exit status is as without it.

  kelvo query /dev/ttyACM0 '*IDN?'
  kelvo query SIM0001 'CONFigure:DEVice 3' 'CONFigure:DEVice?'
)";

const char kStreamHelp[] = R"(usage: kelvo stream DEVICE -c|--config CMD... [-s|--seconds N]
                    [-o|--out FILE.csv|FILE.bin|-] [--raw] [--rate HZ] [--plot] [--span N] [--json]

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
  --rate HZ         the device's nominal sample rate, stated in the CSV's
                    '# rate:' line; no longer needed for the times, which
                    come from the library's sample clock
  --plot            show the live plot as well (needs a display); closing
                    its window closes only the plot
  --span N          samples across the plot window (default 2000)
  --json            the closing summary as one JSON document on stdout

The CSV begins with '#' lines: device, idn (the answer to *IDN?), config
(one line per command), sample size, rate (given with --rate, else the
sample clock's), start time (UTC, when the start command was sent) and
channels. Then a header row and one row per sample: time in seconds since
the first sample, the counter of a 32-bit layout, and the channels' values:
decoded with full scale +-1, or with --raw the int32 words (24-bit values in
the top bits) or int16 words. The time is each sample's on the library's
sample clock, fitted to the arrivals (a lost sample leaves a gap in it); the
rows wait in memory for the first second, until the clock has followed the
stream. At the end a '# clock:' line gives the clock's fit, "# clock: SERIAL
rate_hz=R jitter_us=J samples=N" (the path for a device without a serial),
and a last '#' line the counts: "# end: N samples received, N dropped, N
framing errors, N bytes skipped".

Exit status: 0 for a clean run, 3 when any sample was lost or a framing
error occurred, 1 when the device failed (the library's text is printed)
or sent nothing for 2 s, 2 for a usage error.
)";

const char kSyncHelp[] = R"(usage: kelvo sync DEVICE... -c|--config CMD... [-s|--seconds N] [--json]

Opens up to four devices, configures each with the same commands (checked
with "SYSTem:ERRor?" as in 'kelvo stream'), holds transmission, queues the
start command for each and releases them at one moment. Streams for N
seconds (default 2), then prints per device the four stamps of the start
(released, sent, first bytes back, first payload; the last three in
microseconds after the release), the spread between the devices in
microseconds, and the throughput with the exact counts: samples received,
dropped, framing errors and bytes skipped.

With --json the same as one JSON document: {"seconds", "devices": [{"slot",
"device", "released_ticks", "sent_us", "first_bytes_us", "first_payload_us",
"samples", "dropped", "framing_errors", "bytes_skipped", "sample_bytes",
"samples_per_second", "bytes_per_second"}], "spread_us": {"sent",
"first_bytes", "first_payload"}}; a stamp not taken is null.

Exit status: 0 for a clean run, 3 when any device lost a sample or had a
framing error, 1 when a device failed, 2 for a usage error.
)";

const char kUploadHelp[] = R"(usage: kelvo upload DEVICE FILE

Sends the bytes of FILE (1 to 4096) to the device as one definite-length
block, then asks "*OPC?" and prints what the device answered besides it.
)";

const char kPlotHelp[] = R"(usage: kelvo plot DEVICE -c|--config CMD... [-s|--seconds N] [--span N] [--json]

Streams like 'kelvo stream' and shows the samples in the live plot window
until the window is closed, Ctrl-C, or N seconds have passed. The window is
titled after the device and its layout: kelvo — DEVICE (LAYOUT). Each strip
is labelled with its channel and its full-scale value; the bottom strip
tells the time across the window at the measured sample rate (--span N
samples across, default 2000).

Needs a display; SDL_VIDEODRIVER=offscreen plots where nobody sees it (for
headless runs). The status line and the summary give the same exact counts
as 'kelvo stream' (--json: the summary as one JSON document), and so does
the exit status, however the plot ends: 0 for a clean run, 3 when any
sample was lost or a framing error occurred.
)";

const char kDemoHelp[] = R"(usage: kelvo demo [-s|--seconds N] [--no-plot]

Starts two simulated devices in this process, configures them (one with
three 24-bit channels, one with 16-bit channels and an inertial unit),
starts them together, streams for N seconds (default 3) with the status
line, and prints the time stamps of the start and the throughput. With a
display it then shows the live plot of the first device for N seconds;
without one (or with --no-plot) it says so in one line and skips it.
)";

const char kRecordHelp[] = R"(usage: kelvo record DEVICE... --config CMD... (--seconds S | --samples N)
                    --out FILE.h5 [--raw]

Opens 1 to 4 devices, configures each with the same commands, starts them
in one synchronized moment and records their streams into one HDF5 file
until S seconds passed, every device gave N samples, or Ctrl-C (SIGINT,
SIGTERM and SIGHUP all end the run with a complete file). The file holds,
per device, the group /devices/<serial> (/devices/slot<N> without a serial):
  samples   float32 (n, channels), full scale +-1.0; attribute channel_names
  counter   uint32 (n), when the layout has a sample counter
  time      float64 (n), each sample's time on the library's sample clock,
            in seconds since tick 0 (ticks / 10^7), as the fit had it when
            the sample was written
  index     int64 (n), each sample's stream index (0 for the first after
            the start; a lost sample leaves a gap)
  raw       uint8 (n, sample size), only with --raw
and the attributes idn, path, serial, config, sample_size, layout_*,
start_stamps (the four ticks of the start), stats and the clock's fit at the
end of the run: clock_rate_hz, clock_period_ticks, clock_origin_index,
clock_origin_ticks, clock_jitter_us and clock_samples_fitted (sample i was
measured at clock_origin_ticks + (i - clock_origin_index) x
clock_period_ticks). The root has kelvo_version, host_name, start_time_utc,
tick_origin_utc (tick 0 as UTC; a tick is 100 ns), tick_origin_unix_ns and
stamp_spread_us. The data is flushed to disk once a second.

At the end it prints per device: samples, rate, dropped samples and framing
errors. The exit status is 3 when samples were dropped or the stream had
framing errors, 1 on a failure, 0 for a clean run.
)";

const char kPublishHelp[] = R"(usage: kelvo publish DEVICE... --config CMD... --bind ENDPOINT [--seconds S]
                     [--hwm MESSAGES]

Starts 1 to 4 devices together and publishes their streams on a ZeroMQ PUB
socket bound to ENDPOINT (tcp://*:5555, ipc:///tmp/kelvo.sock) until Ctrl-C
or S seconds. Each chunk of whole samples is one message on the topic
kelvo/<serial> (kelvo/slot<N>): the topic, a 48-byte header (sequence
number, index of the first sample, count, sample size, arrival time) and the
raw samples. Once a second the topic kelvo/meta carries a JSON document
that says how to decode them. docs/wire-format.md has the details.

A subscriber that falls behind loses whole messages once MESSAGES (default
1000) are queued for it; the sequence numbers show the gap.
)";

const char kSubscribeHelp[] = R"(usage: kelvo subscribe ENDPOINT [--topic kelvo/SERIAL] [--seconds S]
                       [--out FILE.h5|FILE.csv]

Connects to a publisher ('kelvo publish') and receives its streams (only
TOPIC's with --topic) until Ctrl-C or S seconds. At the end it prints per
device the messages, samples, rate and lost messages: gaps in the sequence
numbers, counted from the first message received; then the median and 99th
percentile of the latency, from the arrival of a message's first byte at the
publisher to its receipt (meaningful with both on one machine only: the
clocks of two machines do not agree).

  --out FILE.h5   records what arrives in the layout of 'kelvo record'
                  (without its time and index datasets and clock_*
                  attributes), from the first message after the device's
                  meta document
  --out FILE.csv  one device (use --topic with several): '#' lines that
                  describe it, then the sample index, the time in seconds
                  since the start and the decoded values

The exit status is 3 when messages were lost, 0 otherwise.
)";

struct CommandEntry {
    const char *name;
    const char *help;
};

const CommandEntry kCommands[] = {
    {"list", kListHelp},       {"query", kQueryHelp},         {"stream", kStreamHelp}, {"sync", kSyncHelp},
    {"upload", kUploadHelp},   {"plot", kPlotHelp},           {"demo", kDemoHelp},     {"record", kRecordHelp},
    {"publish", kPublishHelp}, {"subscribe", kSubscribeHelp},
};

}  // namespace

const char *helpText(const std::string &command) {
    for (const CommandEntry &entry : kCommands) {
        if (command == entry.name) return entry.help;
    }
    return kToolHelp;
}

namespace {

// The short forms of the common options.
const std::pair<char, const char *> kShortOptions[] = {
    {'c', "--config"}, {'s', "--seconds"}, {'n', "--samples"}, {'o', "--out"}, {'t', "--timeout"},
};

// Options that take no value.
bool isSwitch(const std::string &option) {
    for (const char *name : {"--quiet-rule", "--all", "--diagnose", "--plot", "--no-plot", "--json", "--raw"}) {
        if (option == name) return true;
    }
    return false;
}

// A word that names an option rather than a value: "--x" or "-x". A lone
// "-", or "-5" and the like, is a value.
bool isOptionWord(const char *word) {
    return word[0] == '-' && (word[1] == '-' || std::isalpha(static_cast<unsigned char>(word[1])) != 0);
}

// The long name of an option word, and the value glued to it by '=', if any.
struct OptionWord {
    std::string name;
    std::string value;
    bool hasValue = false;
};

OptionWord splitOption(const std::string &command, const std::string &word) {
    OptionWord option;
    if (word.rfind("--", 0) == 0) {
        const size_t equals = word.find('=');
        option.name = word.substr(0, equals);
        if (equals != std::string::npos) {
            option.value = word.substr(equals + 1);
            option.hasValue = true;
        }
        return option;
    }
    // "-s 5", or with the value glued on, "-s5".
    for (const auto &[letter, name] : kShortOptions) {
        if (word[1] == letter) {
            option.name = name;
            option.hasValue = word.size() > 2;
            if (option.hasValue) option.value = word.substr(2);
            return option;
        }
    }
    throw Failure("'" + command + "' has no option " + word + "; see 'kelvo " + command + " --help'", 2);
}

}  // namespace

namespace {

double number(const std::string &option, const std::string &text, double low, double high) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(v >= low && v <= high)) {
        throw Failure(option + " takes a number from " + std::to_string(static_cast<long>(low)) + " to " +
                          std::to_string(static_cast<long>(high)),
                      2);
    }
    return v;
}

// The value of an option: glued on with '=' (or to a short form), else the
// next word, which must not be an option; "" for a switch.
std::string optionValue(const std::string &command, const OptionWord &option, int argc, char **argv, int &i) {
    if (isSwitch(option.name)) {
        if (option.hasValue) throw Failure(option.name + " takes no value", 2);
        return "";
    }
    if (option.hasValue) return option.value;
    if (i + 1 >= argc || isOptionWord(argv[i + 1])) {
        throw Failure(option.name + " needs a value; see 'kelvo " + command + " --help'", 2);
    }
    return argv[++i];
}

// --config=CMD is one command; --config and -c take every word up to the
// next option.
void takeConfig(Arguments &args, const OptionWord &option, int argc, char **argv, int &i) {
    const size_t before = args.config.size();
    if (option.hasValue) {
        args.config.push_back(option.value);
    } else {
        while (i + 1 < argc && !isOptionWord(argv[i + 1])) args.config.push_back(argv[++i]);
    }
    if (args.config.size() == before || args.config.back().empty()) {
        throw Failure("--config needs at least one command", 2);
    }
}

void storeOption(Arguments &args, const std::string &name, const std::string &value) {
    if (name == "--seconds") {
        args.seconds = number(name, value, 0, 86400);
    } else if (name == "--samples") {
        args.samples = static_cast<long long>(number(name, value, 1, 1e15));
    } else if (name == "--rate") {
        args.rate = number(name, value, 0.001, 1e9);
    } else if (name == "--span") {
        args.span = static_cast<int>(number(name, value, 10, 10000000));
    } else if (name == "--timeout") {
        args.timeoutMs = static_cast<int>(number(name, value, 1, 3600000));
    } else if (name == "--out") {
        if (value.empty()) throw Failure("--out needs a file name", 2);
        args.out = value;
    } else if (name == "--bind" || name == "--topic") {
        (name == "--bind" ? args.bind : args.topic) = value;
    } else if (name == "--hwm") {
        args.hwm = static_cast<int>(number(name, value, 1, 10000000));
    } else {
        // The switches.
        args.raw = args.raw || name == "--raw";
        args.quietRule = args.quietRule || name == "--quiet-rule";
        args.all = args.all || name == "--all";
        args.diagnose = args.diagnose || name == "--diagnose";
        args.plot = args.plot || name == "--plot";
        args.noPlot = args.noPlot || name == "--no-plot";
        args.json = args.json || name == "--json";
    }
}

}  // namespace

Arguments parseArguments(const std::string &command, int argc, char **argv, int first,
                         const std::vector<std::string> &allowed) {
    Arguments args;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
        } else if (!isOptionWord(argv[i])) {
            args.positional.push_back(word);
        } else {
            const OptionWord option = splitOption(command, word);
            if (std::find(allowed.begin(), allowed.end(), option.name) == allowed.end()) {
                throw Failure("'" + command + "' has no option " + option.name + "; see 'kelvo " + command + " --help'",
                              2);
            }
            if (option.name == "--config") {
                takeConfig(args, option, argc, argv, i);
            } else {
                storeOption(args, option.name, optionValue(command, option, argc, argv, i));
            }
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
    if (command == "--version" || command == "-V") {
        std::printf("kelvo %s\n", kelvoGetVersion());
        return 0;
    }
    // The plot window's title is UTF-8, which SDL passes to X through the
    // character-type locale: the user's, or C.UTF-8 if that is not UTF-8.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
    catchInterrupt();
    try {
        if (command == "list") return listCommand(argc, argv);
        if (command == "query") return queryCommand(argc, argv);
        if (command == "stream") return streamCommand(argc, argv, false);
        if (command == "plot") return streamCommand(argc, argv, true);
        if (command == "sync") return syncCommand(argc, argv);
        if (command == "upload") return uploadCommand(argc, argv);
        if (command == "demo") return demoCommand(argc, argv);
        if (command == "record") return recordCommand(argc, argv);
        if (command == "publish") return publishCommand(argc, argv);
        if (command == "subscribe") return subscribeCommand(argc, argv);
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
