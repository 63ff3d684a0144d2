// SPDX-License-Identifier: MIT
// The I/O service thread: the only user of the serial ports.
#pragma once

namespace kelvo {
inline constexpr long long kStopQuietTicks = 500000;  // 50 ms

void *myThread(void *);

}  // namespace kelvo
