// SPDX-License-Identifier: MIT
// Queueing one command line (the text and a line feed) for a device.
#pragma once

#include <cstdint>

namespace kelvo {

// Puts `command` and a line feed into the slot's transmit queue, all or
// nothing: only when the free space holds both with `spare` bytes left
// over. Otherwise nothing is queued and `faultBit` is set in the slot's
// fault word. The text is published before the line feed. Returns whether
// it was queued.
bool queueCommandLine(int dev, const char *command, uint32_t spare, uint32_t faultBit);

// Queues a command as kelvoSendCmdWhileStreaming does: one beginning "init"
// raises the start request, one beginning "abor" the stop request, before
// it is queued. Returns whether it was queued (else fault bit 0x40 is set).
bool queueStreamCommand(int dev, const char *command);

}  // namespace kelvo
