// SPDX-License-Identifier: MIT
// The tty transport as the I/O thread uses it: every call says how it went,
// and none of them waits.
#pragma once

namespace kelvo {

enum class LineState {
    ok,      // the call did what it could; possibly nothing (no bytes, no room)
    hungUp,  // the device is gone: the tty was hung up
    failed,  // any other failure of the descriptor
};

struct Transfer {
    int bytes;  // moved, 0 or more
    LineState state;
};

// How ttyOpen went, with the errno behind a failure.
enum class OpenOutcome {
    ready,
    notOpened,        // open() failed; nothing stays open
    busy,             // another descriptor holds the device's lock; nothing stays open
    settingsRefused,  // open, but no terminal or it refused its settings
};
struct OpenResult {
    OpenOutcome outcome;
    int error;
};

// Opens `path` non-blocking and takes it exclusively (flock), then sets it
// raw 8N1 at 9600 Bd, flushes the bytes waiting from before and raises DTR
// and RTS. The descriptor is stored in *port once the lock is held, so a
// device that is busy, or does not open, leaves *port alone; one that
// refused its settings stays open there.
OpenResult ttyOpen(int *port, const char *path);

// Reads what is waiting, up to `capacity` bytes.
Transfer ttyRead(int fd, void *buffer, int capacity);

// Writes as much of `count` bytes as the line takes now.
Transfer ttyWrite(int fd, const void *buffer, int count);

// Whether output the line took is still waiting in the tty's own buffer.
bool ttyOutputPending(int fd);

// Drops what the tty holds for output, so that closing does not wait for a
// device that does not read.
void ttyDropOutput(int fd);

// Drops DTR and RTS, gives up the lock and closes *port, which becomes -1.
void ttyClose(int *port);

// Whether the line is hung up, seen by poll(); touches no shared state.
bool ttyHungUp(int fd);

}  // namespace kelvo
