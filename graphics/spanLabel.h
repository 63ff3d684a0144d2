// SPDX-License-Identifier: MIT
// What the bottom strip says about time: the plotted sample rate, measured
// on the render thread, and the span of the window in seconds at that rate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo {

// Counts the samples the render thread takes from the plot queue. The rate
// is of the samples that reach the plot: when the queue overflows, the span
// on screen covers more time, and the measured rate says so.
class SampleRateMeter {
public:
    // `now` in seconds on a monotonic clock. A new estimate is made once a
    // second has passed; a second without samples keeps the last one.
    void add(uint32_t samples, double now);
    // Samples per second; 0 until the first estimate.
    double rate() const { return rate_; }
    void reset() { *this = SampleRateMeter{}; }

private:
    bool started_ = false;
    double since_ = 0;
    uint64_t counted_ = 0;
    double rate_ = 0;
};

// "1.6 s across" for `span` samples at `rate`; "2000 samples across" while
// the rate is unknown. Always terminated, cut to `capacity`.
void formatSpan(char *text, size_t capacity, uint32_t span, double rate);

}  // namespace kelvo
