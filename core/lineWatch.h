// SPDX-License-Identifier: MIT
// The descriptors the I/O thread sleeps on: each served slot's tty, for
// input and, while it has bytes for the device, for room to write; and the
// thread's wake-up descriptor. Built on epoll, so a wake-up costs a look at
// the lines that are ready rather than at all of them.
#pragma once

#include <cstdint>

#include "slots.h"

namespace kelvo {

class LineWatch {
public:
    // False when the kernel gives no epoll instance; the thread then looks
    // at every line every millisecond instead.
    bool open(int wakeupFd);

    // Watch slot `dev`'s tty `fd`; for room to write as well when asked.
    void watch(int dev, int fd, bool forRoom);

    // Stop watching the slot's tty; before it is closed.
    void forget(int dev);

    // Sleeps until a watched descriptor is ready, or `timeoutTicks` passed
    // (negative: no time-out). Then eventsOf() and woken() tell what came.
    void sleep(int64_t timeoutTicks);

    // poll() bits of what the slot's tty reported in the last sleep. Without
    // epoll every line counts as readable and writable.
    uint32_t eventsOf(int dev) const;

    // Whether the wake-up descriptor fired in the last sleep.
    bool woken() const { return woken_; }

private:
    int epollFd_ = -1;
    int fdOf_[kSlots] = {-1, -1, -1, -1};
    uint32_t watched_[kSlots] = {};
    uint32_t ready_[kSlots] = {};
    bool woken_ = false;
};

}  // namespace kelvo
