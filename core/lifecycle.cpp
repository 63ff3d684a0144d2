// SPDX-License-Identifier: MIT
// Load and unload hooks, the I/O thread's start and stop, and opening and
// closing a slot. Opening and closing are served by the I/O thread: the
// caller raises a request flag, wakes the thread and sleeps until the
// thread has lowered the flag.
#include <unistd.h>

#include <cstring>

#include "atomics.h"
#include "byteRing.h"
#include "errors.h"
#include "ioThread.h"
#include "openError.h"
#include "slots.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

void raiseRequest(int32_t &request) {
    storeRelease(request, 1);
    wakeIoThread();
}

// Sleeps until the I/O thread has served the slot's request.
void awaitServed(int dev, int32_t &request) {
    awaitSlotUntil(dev, kNoDeadline, [&request] { return loadAcquire(request) == 0; });
}

void discardSlotQueues(int dev) {
    Slot &slot = slots[dev];
    ringDiscard(slot.outQ);
    ringDiscard(slot.inQ);
    ringDiscard(slot.scpiQ);
}

// The tty path of a kelvoOpen argument: a plain path, or the middle field of
// a device-list line "kind\tpath\tserial". Null with a refusal message when
// the argument cannot be used.
const char *portNameOf(const char *path, char (&name)[kPortNameSize], const char **refusal) {
    if (path == nullptr) {
        *refusal = "no path given";
        return nullptr;
    }
    const char *start = path;
    size_t length = std::strlen(path);
    if (const char *firstTab = std::strchr(path, '\t')) {
        const char *secondTab = std::strchr(firstTab + 1, '\t');
        if (secondTab == nullptr) {
            *refusal = "device line without a second tab";
            return nullptr;
        }
        start = firstTab + 1;
        length = static_cast<size_t>(secondTab - start);
    }
    if (length >= kPortNameSize) {
        *refusal = "path longer than 255 characters";
        return nullptr;
    }
    std::memcpy(name, start, length);
    name[length] = '\0';
    return name;
}

__attribute__((constructor)) void shared_lib_init_1() { myInit(0); }

__attribute__((destructor)) void shared_lib_uninit_1() { myDeInit(); }

}  // namespace

extern "C" {

KELVO_API int myInit(int /*unused*/) noexcept {
    storeRelease(debugLevel, 0);
    for (int dev = 0; dev < kSlots; ++dev) {
        storeRelease(myPorts[dev], -1);
        ringReset(slots[dev].inQ);
        ringReset(slots[dev].scpiQ);
        ringReset(slots[dev].outQ);
    }
    storeRelease(terminate, 0);
    (void)openIoWakeup();
    if (loadAcquire(isThreadRunning) == 0 && pthread_create(&threadId, nullptr, myThread, nullptr) == 0) {
        storeRelease(isThreadRunning, 1);
    }
    storeRelease(doTxQueue, 1);
    return 0;
}

KELVO_API int myDeInit(void) noexcept {
    for (int dev = 0; dev < kSlots; ++dev) {
        if (loadAcquire(myPorts[dev]) >= 0) storeRelease(slots[dev].closeRequest, 1);
    }
    wakeIoThread();
    usleep(50000);
    if (loadAcquire(isThreadRunning) == 1) {
        storeRelease(terminate, 1);
        wakeIoThread();
        pthread_join(threadId, nullptr);
        storeRelease(isThreadRunning, 0);
    }
    usleep(50000);
    storeRelease(doTxQueue, 0);
    usleep(10000);
    for (Slot &slot : slots) ringDiscard(slot.outQ);
    return 0;
}

KELVO_API int kelvoInit(void) noexcept { return 0; }
KELVO_API int kelvoDeInit(void) noexcept { return 0; }

KELVO_API int kelvoOpen(int dev, const char *path) noexcept {
    if (loadAcquire(isThreadRunning) == 0) {
        if (isValidSlot(dev)) recordOpenError(dev, "the library's I/O thread is not running");
        return 1;
    }
    // Opening a closed slot, or reopening one whatever its state: only the
    // slot number is checked.
    constexpr SlotNeeds kNeeds{.open = false, .healthyPort = false};
    if (refuseSlot("kelvoOpen", dev, kNeeds)) return 1;
    const char *refusal = nullptr;
    if (portNameOf(path, slots[dev].myPortnames, &refusal) == nullptr) {
        buildErrMsg(dev, "kelvoOpen", refusal);
        recordOpenError(dev, refusal);
        return 1;
    }
    storeRelease(myPortErr[dev], 0);
    raiseRequest(slots[dev].openRequest);
    awaitServed(dev, slots[dev].openRequest);
    usleep(10000);
    if (loadAcquire(myPortErr[dev]) != 0) {
        // The line opened but failed in the moments after.
        if (!hasOpenError(dev)) recordOpenError(dev, "fatal R/W error on Port");
        return 1;
    }
    storeRelease(slots[dev].filteredAdcOversamplingFactors, 1);
    discardSlotQueues(dev);
    usleep(100000);
    return 0;
}

KELVO_API int kelvoIsOpen(int dev) noexcept { return isValidSlot(dev) && loadAcquire(myPorts[dev]) >= 0 ? 1 : 0; }

KELVO_API int kelvoClose(int dev) noexcept {
    if (loadAcquire(isThreadRunning) == 0) return 1;
    if (refuseSlot("kelvoClose", dev, {.open = true, .healthyPort = false})) return 1;
    static const char kAbort[] = "abort\n";
    if (!ringPut(slots[dev].outQ, kAbort, sizeof kAbort - 1)) setBits(slots[dev].isFatal, kFaultAbortNoRoom);
    raiseRequest(slots[dev].closeRequest);
    usleep(20000);
    awaitServed(dev, slots[dev].closeRequest);
    discardSlotQueues(dev);
    return 0;
}

}  // extern "C"
