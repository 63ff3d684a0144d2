// SPDX-License-Identifier: MIT
// The plot window as the commands use it: whether there is somewhere to
// show it, opening it with a title that tells the windows apart, and
// noticing that the user closed it.
#include <cstdlib>
#include <string>

#include "cli.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

// The strips of the plot, as sdl2WindowConfigure lays them out.
std::string layoutName(const kelvoLayout &info) {
    std::string name;
    const auto add = [&name](int count, const char *kind) {
        if (count <= 0) return;
        name += (name.empty() ? "" : ", ") + std::to_string(count) + " \u00d7 " + kind;
    };
    add(info.nAdc24, "Adc24");
    add(info.nAdc16, "Adc16");
    add(info.nImu6, "Imu6");
    if (info.oversampling > 1) name += ", oversampling " + std::to_string(info.oversampling);
    if (name.empty()) name = std::to_string(info.sampleSize) + "-byte samples";
    return name;
}

}  // namespace

bool hasDisplay() {
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}) {
        const char *value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

std::string plotTitle(int slot, const std::string &device) {
    kelvoLayout layout{};
    (void)kelvoGetLayout(slot, &layout);
    return "kelvo \u2014 " + device + " (" + layoutName(layout) + ")";
}

bool openPlot(int slot, int span, const std::string &title, FILE *notices) {
    if (!hasDisplay()) {
        std::fprintf(notices, "live plot skipped: no display (DISPLAY is not set)\n");
        return false;
    }
    sdl2Window(100, 100, 1000, 600);
    if (kelvoPlotWindowIsOpen() == 0) {
        std::fprintf(notices, "live plot skipped: %s\n", kelvoGetPlotError());
        return false;
    }
    sdl2WindowConfigure(slot, span);
    // A window closed this early is noticed by the caller's loop.
    if (!title.empty()) (void)kelvoSetPlotTitle(title.c_str());
    return true;
}

bool plotClosed() { return kelvoPlotWindowIsOpen() == 0; }

void closePlot() { sdl2KillWindow(); }

}  // namespace kelvo::cli
