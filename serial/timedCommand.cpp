// SPDX-License-Identifier: MIT
#include "timedCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kelvo::discovery {

namespace {

// Sleeps until `fd` is readable or `deadline` passes. A deadline already
// past still looks once: what a child printed, or its exit, while the caller
// was busy elsewhere counts as in time.
bool readableBefore(int fd, int64_t deadline) {
    for (;;) {
        const int64_t remaining = deadline - ticksNow();
        const timespec timeout = timespecOf(remaining > 0 ? remaining : 0);
        pollfd watched{fd, POLLIN, 0};
        const int ready = ppoll(&watched, 1, &timeout, nullptr);
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// /bin/sh running `command` with its standard output on `output`; -1 when
// it cannot be started. The file actions take a few bytes of heap, as
// popen's own did.
pid_t spawnShell(const char *command, int output) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    // Python, for one, ignores SIGPIPE, and an ignored signal stays ignored
    // across exec: the child must end on the broken pipe when the reading
    // stops early, and must not inherit a thread's blocked signals.
    sigset_t none;
    sigset_t brokenPipe;
    sigemptyset(&none);
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &brokenPipe);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failed != 0 ? -1 : pid;
}

void reap(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool TimedCommand::start(const char *command) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
    deadline_ = ticksNow() + kChildTimeLimitTicks;
    pid_ = spawnShell(command, pipeEnds[1]);
    close(pipeEnds[1]);
    if (pid_ < 0) {
        close(pipeEnds[0]);
        return false;
    }
    out_ = pipeEnds[0];
    // Signalled through its pidfd, the child is never mistaken for a
    // process that took its id after someone else reaped it.
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    ended_ = late_ = false;
    begin_ = end_ = 0;
    return true;
}

bool TimedCommand::fill() {
    while (begin_ == end_ && !ended_ && !late_) {
        if (!readableBefore(out_, deadline_)) {
            late_ = true;
            break;
        }
        const ssize_t got = read(out_, buffer_, sizeof buffer_);
        if (got > 0) {
            begin_ = 0;
            end_ = static_cast<size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            ended_ = true;
        }
    }
    return begin_ < end_;
}

int TimedCommand::readChar() {
    if (!fill()) return EOF;
    return static_cast<unsigned char>(buffer_[begin_++]);
}

bool TimedCommand::readLine(char *line, size_t capacity) {
    if (capacity == 0) return false;
    size_t used = 0;
    while (used < capacity - 1) {
        if (!fill()) break;
        const char c = buffer_[begin_++];
        line[used++] = c;
        if (c == '\n') break;
    }
    line[used] = '\0';
    if (late_ && (used == 0 || line[used - 1] != '\n')) {
        line[0] = '\0';
        return false;
    }
    return used > 0;
}

// Without a pidfd (a kernel before 5.3) there is nothing to sleep on: the
// child is killed at once, having printed all it would.
bool TimedCommand::awaitExit() {
    if (pidfd_ < 0) return false;
    const bool exited = readableBefore(pidfd_, deadline_);
    if (!exited) late_ = true;
    return exited;
}

void TimedCommand::killChild() const {
    if (pidfd_ >= 0) {
        (void)syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
    } else {
        kill(pid_, SIGKILL);
    }
}

bool TimedCommand::finish() {
    if (pid_ < 0) return true;
    close(out_);
    out_ = -1;
    if (!(ended_ && awaitExit())) killChild();
    reap(pid_);
    if (pidfd_ >= 0) close(pidfd_);
    pidfd_ = -1;
    pid_ = -1;
    return !late_;
}

}  // namespace kelvo::discovery
