// SPDX-License-Identifier: MIT
// One shell command run for what it prints, within a time limit, so that
// discovery never hangs on an ls or udevadm that does not end (a hung udev,
// a sysfs attribute that blocks).
//
// The command runs under /bin/sh with its standard output on a pipe, in the
// caller's process group (an interrupt at the terminal ends it with its
// caller). It must exec its program ("exec udevadm ..."): the child that is
// killed is then the program itself, not a shell that would leave the
// program running behind it. Every wait sleeps in ppoll, on the pipe or on
// the child's pidfd, until the child's deadline at the latest.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "clock.h"

namespace kelvo::discovery {

// How long a child may run, from its start until it has exited.
inline constexpr int64_t kChildTimeLimitTicks = 5 * kTicksPerSecond;

class TimedCommand {
public:
    // Starts `command`. False, with nothing to finish, when no child could
    // be started.
    bool start(const char *command);

    // The next line of output with its newline, cut after capacity - 1
    // bytes, as fgets gives it. False at the end of the output, and once the
    // child's time is up: a line the time-out cut short is dropped, as the
    // start of a path or a serial number would name something else.
    bool readLine(char *line, size_t capacity);

    // The next byte of output, or EOF (at its end, or once the time is up).
    int readChar();

    // Closes the pipe and reaps the child. A child whose output was read to
    // its end is given until its deadline to exit; one that is still
    // running then, or whose further output is not wanted, is killed first.
    // True unless the child ran out of time.
    bool finish();

private:
    bool fill();
    bool awaitExit();
    void killChild() const;

    pid_t pid_ = -1;
    int pidfd_ = -1;  // -1 where the kernel has no pidfds
    int out_ = -1;
    int64_t deadline_ = 0;
    bool ended_ = false;  // the output was read to its end
    bool late_ = false;   // the deadline passed while the child still ran
    size_t begin_ = 0;    // the unread bytes of buffer_
    size_t end_ = 0;
    char buffer_[1024];
};

}  // namespace kelvo::discovery
