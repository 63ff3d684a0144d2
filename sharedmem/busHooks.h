// What the library's lifecycle and the I/O thread need of the message bus.
#pragma once

namespace kelvo {

// Load hook: attach the announced segment, initialise its record when this
// is its first user, count this process as a user.
void busJoinAtLoad();

// Unload hook: stop counting this process as a user (the segment stays
// attached).
void busLeaveAtUnload();

// I/O thread, once per pass: deliver waiting messages to the registered
// callbacks through the thread's 256-byte scratch buffer.
void busDeliverToCallbacks(char *scratch);

// The segment's user count, or -1 when no segment is attached.
int busUserCount();

}  // namespace kelvo
