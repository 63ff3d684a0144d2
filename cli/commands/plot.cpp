// SPDX-License-Identifier: MIT
// kelvo plot: a device's stream in the live plot window.
#include "commands.h"

namespace kelvo::cli {

namespace {

constexpr Option kOptions[] = {
    option::config,
    option::seconds.describedAs("how long to plot; until the window is closed or Ctrl-C without it"),
    option::span,
    option::json.describedAs("the summary as one JSON document on stdout"),
};

int run(const Arguments &args) { return runStream(args, true); }

}  // namespace

const Command plotCommand{
    .name = "plot",
    .summary = "show the live plot of a stream",
    .outline = "DEVICE --config CMD...",
    .usage = "DEVICE -c|--config CMD... [-s|--seconds N] [--span N] [--json]",
    .description = R"(Streams like 'kelvo stream' and shows the samples in the live plot window
until the window is closed, Ctrl-C, or N seconds have passed. The window is
titled after the device and its layout: kelvo — DEVICE (LAYOUT). Each strip
is labelled with its channel and its full-scale value; the bottom strip
tells the time across the window at the measured sample rate (--span N
samples across, default 2000).

Needs a display; SDL_VIDEODRIVER=offscreen plots where nobody sees it (for
headless runs). The status line and the summary give the same exact counts
as 'kelvo stream' (--json: the summary as one JSON document), and so does
the exit status, however the plot ends: 0 for a clean run, 3 when any
sample was lost or a framing error occurred.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
