// SPDX-License-Identifier: MIT
#include "spanLabel.h"

#include <cstdio>

namespace kelvo {

namespace {

constexpr double kMeasuringSeconds = 1.0;

}  // namespace

void SampleRateMeter::add(uint32_t samples, double now) {
    if (!started_) {
        // The first drain may carry a backlog from before the clock started.
        started_ = true;
        since_ = now;
        return;
    }
    counted_ += samples;
    const double elapsed = now - since_;
    if (elapsed < kMeasuringSeconds) return;
    if (counted_ > 0) rate_ = static_cast<double>(counted_) / elapsed;
    counted_ = 0;
    since_ = now;
}

// Two significant figures are what a reader takes in at a glance.
void formatSpan(char *text, size_t capacity, uint32_t span, double rate) {
    if (capacity == 0) return;
    if (!(rate > 0)) {
        std::snprintf(text, capacity, "%u samples across", span);
        return;
    }
    const double seconds = static_cast<double>(span) / rate;
    if (seconds >= 10) {
        std::snprintf(text, capacity, "%.0f s across", seconds);
    } else if (seconds >= 1) {
        std::snprintf(text, capacity, "%.1f s across", seconds);
    } else if (seconds >= 0.01) {
        std::snprintf(text, capacity, "%.0f ms across", seconds * 1e3);
    } else {
        std::snprintf(text, capacity, "%.1f ms across", seconds * 1e3);
    }
}

}  // namespace kelvo
