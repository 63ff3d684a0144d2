// SPDX-License-Identifier: MIT
// Ticks (kelvoGetTicks, 100 ns of CLOCK_MONOTONIC_RAW) as wall-clock time.
#pragma once

#include <cstdint>
#include <string>

namespace kelvo::recording {

// The wall-clock time of tick 0 in ns since 1970, measured once: the
// realtime reading taken between the two closest tick readings.
int64_t tickOriginUnixNs();
inline int64_t ticksToUnixNs(int64_t origin, int64_t ticks) { return origin + ticks * 100; }
// "2026-12-08T15:33:48.123456789Z"
std::string isoUtc(int64_t unixNs);

}  // namespace kelvo::recording
