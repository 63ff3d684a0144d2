// SPDX-License-Identifier: MIT
// kelvo demo: two simulated devices in this process, started together.
#include <cinttypes>
#include <memory>

#include "cli.h"
#include "commands.h"
#include "kelvo.h"
#include "prologue.h"
#include "simulatedDevice.h"

namespace kelvo::cli {

namespace {

struct DemoDevice {
    const char *serial;
    std::vector<std::string> config;
};

const DemoDevice kDevices[] = {
    {"SIM0001", {"CONFigure:DEVice 3"}},
    {"SIM0002", {"CONFigure:SCAn:OVErsampling 1", "CONFigure:DEVice 0,4,1"}},
};

constexpr double kSampleRate = 5000.0;
constexpr unsigned kSamplesPerBlock = 250;

std::string identity(int slot) {
    int length = 0;
    int binary = 0;
    const char *answer = kelvoSendCmd(slot, "*IDN?", &length, &binary);
    if (answer == nullptr) throw Failure(libraryError(slot));
    std::string text(answer, static_cast<size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

int run(const Arguments &args) {
    if (!args.positional.empty()) throw Failure("'demo' takes no device", 2);
    const double seconds = *args.number("seconds");

    std::vector<std::unique_ptr<sim::SimulatedDevice>> devices;
    for (const DemoDevice &d : kDevices) {
        sim::SimOptions options;
        options.sampleRate = kSampleRate;
        options.samplesPerBlock = kSamplesPerBlock;
        options.serial = d.serial;
        devices.push_back(std::make_unique<sim::SimulatedDevice>(options));
    }
    std::printf("kelvo %s demo: two simulated devices, %.0f samples/s each\n", kelvoGetVersion(), kSampleRate);

    OpenSlots open;
    StreamRun run;
    std::vector<std::pair<int, std::string>> named;
    for (size_t i = 0; i < devices.size(); ++i) {
        const int slot = openConfigured(open, {devices[i]->path()}, kDevices[i].config).front();
        const std::string &name = open.name(slot);
        std::string config;
        for (const std::string &c : kDevices[i].config) config += (config.empty() ? "" : "; ") + c;
        std::printf("  slot %d  %-12s  %s\n          %s  ->  %d bytes per sample\n", slot, name.c_str(),
                    identity(slot).c_str(), config.c_str(), kelvoGetSampleSize(slot));
        run.add(slot, name, kelvoGetSampleSize(slot));
        named.emplace_back(slot, name);
    }

    std::printf("synchronized start, streaming for %.1f s\n", seconds);
    std::fflush(stdout);
    startTogether(open);
    const double elapsed = run.run(seconds);
    stopStreams(open.slots());

    std::printf("\ntime stamps of the start:\n");
    printStamps(named);
    std::printf("\nthroughput over %.1f s:\n", elapsed);
    printThroughput(run, elapsed);
    std::printf("\n");
    std::fflush(stdout);
    if (interrupted) return 0;

    if (args.flag("no-plot")) {
        std::printf("live plot skipped (--no-plot)\n");
        return 0;
    }
    const int slot = open.slots().front();
    if (!openPlot(slot, static_cast<int>(2 * kSampleRate))) return 0;
    std::printf("live plot of slot %d for %.1f s (window \"SDL Output\"; Ctrl-C ends it early)\n", slot, seconds);
    std::fflush(stdout);
    StreamRun plotRun;
    plotRun.add(slot, open.name(slot), kelvoGetSampleSize(slot));
    try {
        startStream(slot, open.name(slot));
        plotRun.run(seconds);
    } catch (...) {
        closePlot();
        throw;
    }
    stopStreams({slot});
    closePlot();
    std::printf("plot closed\n");
    return 0;
}

constexpr Option kOptions[] = {
    option::seconds.defaulting("3"),
    Option::flag("no-plot", "skip the live plot"),
};

}  // namespace

const Command demoCommand{
    .name = "demo",
    .summary = "two simulated devices, streamed and timed",
    .outline = "",
    .usage = "[-s|--seconds N] [--no-plot]",
    .description = R"(Starts two simulated devices in this process, configures them (one with
three 24-bit channels, one with 16-bit channels and an inertial unit),
starts them together, streams for N seconds (default 3) with the status
line, and prints the time stamps of the start and the throughput. With a
display it then shows the live plot of the first device for N seconds;
without one (or with --no-plot) it says so in one line and skips it.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
