// SPDX-License-Identifier: MIT
#include "simClock.h"

#include <time.h>

#include <cmath>

namespace kelvo::sim {

int64_t rawNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t rawTicks() { return rawNanoseconds() / 100; }

SampleClock::SampleClock(int64_t startTick, double sampleRate, double ppm)
    : startTick_(startTick), periodTicks_(1e7L / (static_cast<long double>(sampleRate) * (1.0L + ppm * 1e-6L))) {}

int64_t SampleClock::measuredTick(uint64_t n) const {
    return startTick_ + std::llround(static_cast<long double>(n) * periodTicks_);
}

int64_t SampleClock::measuredNanoseconds(uint64_t n) const {
    return startTick_ * 100 + static_cast<int64_t>(std::ceil(static_cast<long double>(n) * periodTicks_ * 100.0L));
}

}  // namespace kelvo::sim
