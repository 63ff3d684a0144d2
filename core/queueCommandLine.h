// SPDX-License-Identifier: MIT
// Queueing one command line (the text and a line feed) for a device.
#pragma once

#include <cstdint>

namespace kelvo {

// Puts `command` and a line feed into the slot's transmit queue, all or
// nothing: only when the free space holds both with `spare` bytes left
// over. Otherwise nothing is queued and `faultBit` is set in the slot's
// fault word. The text is published before the line feed.
void queueCommandLine(int dev, const char *command, uint32_t spare, uint32_t faultBit);

}  // namespace kelvo
