// SPDX-License-Identifier: MIT
// The library's one time unit: ticks of 100 ns of CLOCK_MONOTONIC_RAW.
#pragma once

#include <cstdint>
#include <ctime>

namespace kelvo {

inline constexpr int64_t kTicksPerSecond = 10000000;
inline constexpr int64_t kTicksPerMs = 10000;

inline int64_t ticksNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<int64_t>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100;
}

// A span of ticks as a timespec, for the kernel's time-outs.
inline timespec timespecOf(int64_t ticks) {
    return timespec{static_cast<time_t>(ticks / kTicksPerSecond), static_cast<long>(ticks % kTicksPerSecond) * 100};
}

}  // namespace kelvo
