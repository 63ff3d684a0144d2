// SPDX-License-Identifier: MIT
// Why a slot's last kelvoOpen failed (kelvoGetOpenError). The text is
// written by whichever side decides the outcome: kelvoOpen for its own
// refusals, the I/O thread for the tty's, before it lowers the open
// request (kelvoOpen reads nothing until it sees the request down).
#pragma once

#include "tty.h"

namespace kelvo {

// Keeps `text` as the slot's open error; "" after a successful open. The
// slot number must be valid.
void recordOpenError(int dev, const char *text);

// Keeps the text that says how ttyOpen went.
void recordOpenOutcome(int dev, OpenResult result);

// Whether the slot's last open left a text (failed).
bool hasOpenError(int dev);

}  // namespace kelvo
