// SPDX-License-Identifier: MIT
// kelvo sync: up to four devices started at one moment, and how close
// together they started.
#include "cli.h"
#include "commands.h"
#include "kelvo.h"
#include "prologue.h"

namespace kelvo::cli {

namespace {

constexpr Option kOptions[] = {
    option::config,
    option::seconds.defaulting("2"),
    option::json.describedAs("print the stamps and the counts as one JSON document on stdout"),
};

int run(const Arguments &args) {
    requireDevicesAndConfig(args, "sync", 4);
    OpenSlots open;
    StreamRun run;
    std::vector<std::pair<int, std::string>> named;
    for (const int slot : openConfigured(open, args.positional, args.words("config"))) {
        run.add(slot, open.name(slot), kelvoGetSampleSize(slot));
        named.emplace_back(slot, open.name(slot));
    }
    StreamingGuard streaming(open.slots());
    startTogether(open);
    const double elapsed = run.run(*args.number("seconds"));
    streaming.stop();
    run.drain();
    if (args.flag("json")) {
        printSyncJson(named, run, elapsed);
        return streamStatus(run);
    }
    printStamps(named);
    printThroughput(run, elapsed);
    return streamStatus(run);
}

}  // namespace

const Command syncCommand{
    .name = "sync",
    .summary = "start several devices at one moment",
    .outline = "DEVICE... --config CMD...",
    .usage = "DEVICE... -c|--config CMD... [-s|--seconds N] [--json]",
    .description = R"(Opens up to four devices, configures each with the same commands (checked
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
framing error, 1 when a device failed, 2 for a usage error.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
