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

// Opens `path` non-blocking, raw 8N1 at 9600 Bd, with DTR and RTS raised;
// bytes waiting from before the open are flushed. The descriptor is stored
// in *port as soon as it exists. 0 when the line is ready; 1 when it could
// not be opened, or is open but no terminal or refused its settings.
int ttyOpen(int *port, const char *path);

// Reads what is waiting, up to `capacity` bytes.
Transfer ttyRead(int fd, void *buffer, int capacity);

// Writes as much of `count` bytes as the line takes now.
Transfer ttyWrite(int fd, const void *buffer, int count);

// Whether output the line took is still waiting in the tty's own buffer.
bool ttyOutputPending(int fd);

// Drops what the tty holds for output, so that closing does not wait for a
// device that does not read.
void ttyDropOutput(int fd);

// Drops DTR and RTS and closes *port, which becomes -1.
void ttyClose(int *port);

// Whether the line is hung up, seen by poll(); touches no shared state.
bool ttyHungUp(int fd);

}  // namespace kelvo
