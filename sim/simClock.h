// SPDX-License-Identifier: MIT
// The simulated device's sample clock: when each sample of a stream was
// measured, on the library's clock.
//
// Ticks are the library's time unit: 100 ns of CLOCK_MONOTONIC_RAW. Sample n
// of a stream (n from 0 at each start, the n its 32-bit counter carries) is
// measured at start + n * period, where start is the tick at which the
// device took the start command and the period is that of the nominal rate
// with the clock running `ppm` parts per million fast (or slow, negative).
// A real converter's crystal is off by tens to hundreds of ppm; the library
// has to find out by how much from the arrivals alone.
#pragma once

#include <cstdint>

namespace kelvo::sim {

// CLOCK_MONOTONIC_RAW now, in nanoseconds and in ticks (nanoseconds / 100,
// rounded down, as the library reads it).
int64_t rawNanoseconds();
int64_t rawTicks();

class SampleClock {
public:
    SampleClock(int64_t startTick, double sampleRate, double ppm);

    int64_t startTick() const { return startTick_; }
    long double periodTicks() const { return periodTicks_; }

    // When sample n was measured, rounded to the nearest tick.
    int64_t measuredTick(uint64_t n) const;
    // The first CLOCK_MONOTONIC_RAW nanosecond at which sample n has been
    // measured (rounded up, so that nothing is written a nanosecond early).
    int64_t measuredNanoseconds(uint64_t n) const;

private:
    int64_t startTick_;
    // Long double: n * period stays exact to far below a tick for any n a
    // stream reaches, so the schedule does not drift from its formula.
    long double periodTicks_;
};

}  // namespace kelvo::sim
