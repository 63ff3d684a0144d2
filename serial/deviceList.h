// SPDX-License-Identifier: MIT
// Device discovery: the attached devices of the two accepted USB identities,
// found by asking `ls` for the candidate ttys and `udevadm` for the USB
// attributes above each.
#pragma once

namespace kelvo {

// One line per device, in a static buffer that the next call overwrites, so
// two threads must not list at the same time. `listAll` adds every other USB
// tty as a "foreign" line. An ls or udevadm that runs out of its time limit
// (timedCommand.h) is ended, and the list stops with what it has.
const char *listSerialDevices(bool listAll);

}  // namespace kelvo
