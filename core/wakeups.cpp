// SPDX-License-Identifier: MIT
#include "wakeups.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <ctime>

#include "slots.h"

namespace kelvo {
namespace {

int wakeupFd = -1;

// Per slot: the event count (the futex word) and how many callers sleep on
// it, so that the I/O thread makes the wake-up call only when someone waits.
uint32_t eventCount[kSlots];
uint32_t sleepers[kSlots];
uint32_t payloadWanted[kSlots];

std::atomic_ref<uint32_t> countOf(int dev) { return std::atomic_ref<uint32_t>(eventCount[dev]); }
std::atomic_ref<uint32_t> sleepersOf(int dev) { return std::atomic_ref<uint32_t>(sleepers[dev]); }

}  // namespace

bool openIoWakeup() {
    if (wakeupFd < 0) wakeupFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wakeupFd >= 0;
}

int ioWakeupFd() { return wakeupFd; }

void wakeIoThread() {
    if (wakeupFd < 0) return;
    const uint64_t one = 1;
    // A full counter (never in practice) already means "wake up".
    (void)!write(wakeupFd, &one, sizeof one);
}

void consumeIoWakeup() {
    uint64_t count = 0;
    if (wakeupFd >= 0) (void)!read(wakeupFd, &count, sizeof count);
}

// The count's increment and the sleepers' check are sequentially
// consistent, as are the caller's registration as a sleeper and the futex's
// comparison: either the caller sees the new count, or the thread sees the
// sleeper.
void announceSlotEvent(int dev) {
    countOf(dev).fetch_add(1, std::memory_order_seq_cst);
    if (sleepersOf(dev).load(std::memory_order_seq_cst) != 0) {
        (void)syscall(SYS_futex, &eventCount[dev], FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }
}

// The count's increment orders the payload's publication before the looks
// at the sleepers and at what they want, as the reader's store of what it
// wants comes before its registration as a sleeper: either the reader finds
// the payload when it looks, or this sees the reader and its wish.
void announcePayload(int dev, uint32_t queuedBytes) {
    countOf(dev).fetch_add(1, std::memory_order_seq_cst);
    if (sleepersOf(dev).load(std::memory_order_seq_cst) == 0) return;
    if (queuedBytes < std::atomic_ref<uint32_t>(payloadWanted[dev]).load(std::memory_order_seq_cst)) return;
    (void)syscall(SYS_futex, &eventCount[dev], FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void setPayloadWanted(int dev, uint32_t bytes) {
    std::atomic_ref<uint32_t>(payloadWanted[dev]).store(bytes, std::memory_order_seq_cst);
}

uint32_t slotEventCount(int dev) { return countOf(dev).load(std::memory_order_seq_cst); }

void sleepOnSlotEvent(int dev, uint32_t seen, int64_t deadlineTicks) {
    sleepersOf(dev).fetch_add(1, std::memory_order_seq_cst);
    if (deadlineTicks == kNoDeadline) {
        (void)syscall(SYS_futex, &eventCount[dev], FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    } else {
        const int64_t remaining = deadlineTicks - ticksNow();
        if (remaining > 0) {
            const timespec timeout = timespecOf(remaining);
            (void)syscall(SYS_futex, &eventCount[dev], FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
        }
    }
    sleepersOf(dev).fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace kelvo
