// SPDX-License-Identifier: MIT
// kelvo stream, and the run kelvo plot shares with it: one device's
// stream to the status line, a file and the plot window.
#include <cinttypes>

#include "cli.h"
#include "commands.h"
#include "deviceInfo.h"
#include "kelvo.h"
#include "prologue.h"

namespace kelvo::cli {

namespace {

std::string identity(int slot, const std::string &name) {
    char answer[512];
    int binary = 0;
    const int n = kelvoQuery(slot, "*IDN?", answer, sizeof answer, 1000, &binary);
    if (n == -2) return "(no answer)";
    if (n < 0) throw Failure(name + ": " + libraryError(slot));
    return binary != 0 ? "(a binary block)" : std::string(answer, static_cast<size_t>(n));
}

// Where --out sends the samples; none without it.
std::unique_ptr<SampleSink> sinkFor(const Arguments &args, int slot, const std::string &name, const Layout &layout) {
    const std::string out = args.text("out");
    if (out.empty()) return nullptr;
    const std::string idn = identity(slot, name);
    const StreamDescription description{name, idn, recording::findSerial(name, idn), args.words("config"),
                                        args.number("rate").value_or(-1)};
    return openSink(out, slot, layout, description, args.flag("raw"));
}

void printSummary(const StreamRun::Slot &s, double elapsed, const std::string &out) {
    std::fprintf(stderr,
                 "%s: %" PRIu64 " samples of %d bytes in %.1f s%s%s; dropped %" PRIu64 ", framing errors %" PRIu64
                 ", skipped %" PRIu64 " bytes\n",
                 s.name.c_str(), s.counts.received, s.sampleBytes, elapsed, out.empty() ? "" : ", written to ",
                 out == "-" ? "standard output" : out.c_str(), s.counts.dropped, s.counts.framingErrors,
                 s.counts.bytesSkipped);
}

constexpr Option kOptions[] = {
    option::config,
    option::seconds.describedAs("how long to stream; until Ctrl-C without it"),
    option::out.valueCalled("FILE.csv|FILE.bin|-")
        .describedAs("FILE.csv: a CSV that describes itself; '-' writes it to standard output\n"
                     "FILE.bin: the raw sample bytes"),
    Option::flag("raw", "CSV values as the raw integers the device sent instead of decoded values"),
    Option::number("rate", "HZ",
                   "the device's nominal sample rate, stated in the CSV's '# rate:' line; no longer needed for the "
                   "times, which come from the library's sample clock",
                   0.001, 1e9),
    Option::flag("plot", "show the live plot as well (needs a display); closing its window closes only the plot"),
    option::span,
    option::json.describedAs("the closing summary as one JSON document on stdout"),
};

int run(const Arguments &args) { return runStream(args, false); }

}  // namespace

int runStream(const Arguments &args, bool plotOnly) {
    const std::string command = plotOnly ? "plot" : "stream";
    requireDevicesAndConfig(args, command, 1);
    const std::string out = args.text("out");
    if (args.flag("json") && out == "-") throw Failure("--json and --out - both want standard output", 2);
    if (plotOnly && !hasDisplay()) throw Failure("no display to plot on (DISPLAY is not set)");

    OpenSlots open;
    const int slot = openConfigured(open, args.positional, args.words("config")).front();
    const std::string &name = open.name(slot);
    const Layout layout = layoutOf(slot);
    const std::unique_ptr<SampleSink> sink = sinkFor(args, slot, name, layout);

    const std::string device = args.positional[0].find('\t') == std::string::npos ? args.positional[0] : name;
    // The samples may be going to standard output.
    const int span = static_cast<int>(*args.number("span"));
    bool plotting = (plotOnly || args.flag("plot")) && openPlot(slot, span, plotTitle(slot, device), stderr);
    if (plotOnly && !plotting) throw Failure("'plot' has no window to show the stream in");
    StreamRun run;
    run.add(slot, name, layout.sampleBytes, sink.get());
    StreamingGuard streaming(open.slots());
    // Closing the window ends 'plot'; 'stream --plot' carries on without it.
    if (plotting && plotOnly) run.endWhen(plotClosed);
    if (plotting && !plotOnly) {
        run.endWhen([&plotting] {
            if (plotting && plotClosed()) {
                closePlot();
                plotting = false;
            }
            return false;
        });
    }
    startStream(slot, name);
    if (sink) sink->started(std::chrono::system_clock::now());
    double elapsed = 0;
    try {
        elapsed = run.run(args.number("seconds").value_or(-1));
        streaming.stop();
        run.drain();
    } catch (...) {
        if (plotting) closePlot();
        throw;
    }
    if (plotting) closePlot();
    const StreamRun::Slot &s = run.slots().front();
    if (sink) sink->finish(s.counts);
    if (args.flag("json")) printStreamJson(s, elapsed, out);
    printSummary(s, elapsed, out);
    return streamStatus(run);
}

const Command streamCommand{
    .name = "stream",
    .summary = "stream samples to the terminal or a file",
    .outline = "DEVICE --config CMD...",
    .usage =
        "DEVICE -c|--config CMD... [-s|--seconds N]\n"
        "[-o|--out FILE.csv|FILE.bin|-] [--raw] [--rate HZ] [--plot] [--span N] [--json]",
    .description = R"(Sends the configuration commands, asking the device "SYSTem:ERRor?" after
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
or sent nothing for 2 s, 2 for a usage error.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
