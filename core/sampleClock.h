// SPDX-License-Identifier: MIT
// Each slot's sample clock: when each stream sample was measured, fitted
// from when its bytes arrived.
//
// For every read the I/O thread notes the arrival time and the stream index
// of the last sample the read completed. Arrivals are late by the
// transport's latency and by scheduling, never early, so the fit is the
// lower envelope of the arrivals, not a regression through them: the line
// below every arrival of the last seconds that lies closest to them on
// average (it runs along an edge of their lower convex hull), over the last
// 32 s. To keep the
// work bounded, arrivals are kept as the earliest of each short span of
// time, and spans older than the window are forgotten, so the fit follows a
// rate that drifts.
#pragma once

#include <cstdint>

namespace kelvo {

// I/O thread only.
void restartSampleClock(int dev, int64_t nowTicks);
// The start command went out (it may have been held back): the first
// arrival is measured from here until there are two.
void noteStartSent(int dev, int64_t nowTicks);
// A read completed `completed` samples, the last of them `lastIndex`.
void noteArrival(int dev, int64_t lastIndex, uint32_t completed, int64_t arrivalTicks);

// Any thread: the fitted time of sample `index`, latency taken off; false
// before the stream's first arrival.
bool sampleTicksOf(int dev, int64_t index, int64_t &ticks);

}  // namespace kelvo
