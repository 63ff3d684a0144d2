// SPDX-License-Identifier: MIT
// How the I/O thread and the application's threads wake each other.
//
// Application -> I/O thread: the thread sleeps in epoll on the open ttys
// and one eventfd. Every operation that gives it work (a request raised,
// bytes queued, transmission released) calls wakeIoThread() after
// publishing that work.
//
// I/O thread -> application: each slot has an event count that the thread
// advances whenever something a caller may wait for changes on that slot
// (an answer byte queued, the transmit queue drained, a request served, a
// hang-up seen). A caller waits with awaitSlotUntil(): it sleeps on the count
// with a futex until its condition holds or its deadline passes.
#pragma once

#include <cstdint>

#include "clock.h"

namespace kelvo {

// Called once before the I/O thread starts. False when no eventfd can be
// had; the thread then wakes every millisecond instead.
bool openIoWakeup();

// The descriptor the I/O thread polls for wake-ups, -1 without one.
int ioWakeupFd();

// Application side: the thread must look at its tables again.
void wakeIoThread();

// I/O thread: clear the wake-up after it has been seen.
void consumeIoWakeup();

// I/O thread: something on slot `dev` changed; wake its waiters.
void announceSlotEvent(int dev);

// I/O thread: `queuedBytes` of stream payload are queued on slot `dev`. The
// slot's event count moves on (one locked instruction), but a sleeper is
// woken only once as much is queued as the reader asked to wait for.
void announcePayload(int dev, uint32_t queuedBytes);

// Reader: the payload to wait for before announcePayload wakes this slot's
// sleepers. Set before taking the event count for a wait.
void setPayloadWanted(int dev, uint32_t bytes);

// A deadline that never passes.
inline constexpr int64_t kNoDeadline = INT64_MAX;

// The slot's event count, taken before a caller looks at its condition.
uint32_t slotEventCount(int dev);

// Sleeps until the slot's event count differs from `seen` or the deadline
// (in ticks) passes; may return early.
void sleepOnSlotEvent(int dev, uint32_t seen, int64_t deadlineTicks);

// Application side: sleeps until ready() holds or the deadline passes.
// Returns the last value of ready(). The count is taken before ready() is
// looked at, so an event between the two ends the sleep at once.
template <class Ready>
bool awaitSlotUntil(int dev, int64_t deadlineTicks, Ready ready) {
    for (;;) {
        const uint32_t seen = slotEventCount(dev);
        if (ready()) return true;
        if (ticksNow() >= deadlineTicks) return false;
        sleepOnSlotEvent(dev, seen, deadlineTicks);
    }
}

}  // namespace kelvo
