// SPDX-License-Identifier: MIT
// What the bus's attachment to the library (busAttach.cpp) needs of it.
#pragma once

namespace kelvo {

// Load hook: attach the announced segment, initialise its record when this
// is its first user, count this process as a user.
void busJoinAtLoad();

// Unload hook: stop counting this process as a user (the segment stays
// attached).
void busLeaveAtUnload();

// I/O thread: deliver waiting messages to the registered callbacks through
// a 256-byte scratch buffer. Returns whether any callback is registered.
bool busDeliverToCallbacks(char *scratch);

// The segment's user count, or -1 when no segment is attached.
int busUserCount();

}  // namespace kelvo
