// SPDX-License-Identifier: MIT
// Synchronized start: hold all transmission, queue the start commands, then
// release every queue in one moment and read back each slot's four stamps
// (released, sent, first bytes back, first payload delivered).
#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "atomics.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "queueCommandLine.h"
#include "slots.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

constexpr int kDelivered = 5;  // the capture state once the first payload came
constexpr int kDefaultStartMs = 1000;
constexpr uint32_t kStartRoom = 256;

// A list of 1..4 different slots in 0..3; otherwise the reason, kept by
// the list's first slot when it has one.
bool refuseSlotList(const char *name, const int *devs, int count) {
    const char *why = nullptr;
    if (devs == nullptr) why = "the slot list must not be NULL";
    else if (count < 1 || count > kSlots) why = "the slot list must name 1 to 4 slots";
    for (int k = 0; why == nullptr && k < count; ++k) {
        if (!isValidSlot(devs[k])) why = "illegal port number in the slot list";
        for (int j = 0; why == nullptr && j < k; ++j) {
            if (devs[j] == devs[k]) why = "a slot is listed twice";
        }
    }
    if (why == nullptr) return false;
    if (devs != nullptr && count >= 1 && isValidSlot(devs[0])) buildErrMsg(devs[0], name, why);
    return true;
}

// Everything that could make queueing the start command fail is looked at
// before transmission is held, so that nothing starts when one slot cannot.
bool refuseStart(const char *name, const int *devs, int count, const char *command) {
    if (refuseSlotList(name, devs, count)) return true;
    if (command == nullptr || strncasecmp(command, "init", 4) != 0) {
        buildErrMsg(devs[0], name, "the start command must begin with INIT");
        return true;
    }
    for (int k = 0; k < count; ++k) {
        if (refuseSlot(name, devs[k], {.open = true, .healthyPort = true, .connected = true})) return true;
        if (ringFree(slots[devs[k]].outQ) < kStartRoom) {
            buildErrMsg(devs[k], name, "no room in the transmit queue for the start command");
            return true;
        }
    }
    return false;
}

bool delivered(int dev) { return loadAcquire(slots[dev].timestampRequest) >= kDelivered; }

}  // namespace

extern "C" {

KELVO_API int kelvoDisableTx(void) noexcept {
    for (Slot &slot : slots) storeRelease(slot.timestampRequest, 0);
    storeRelease(doTxQueue, 0);
    return 0;
}

KELVO_API int kelvoEnableTx(void) noexcept {
    const int64_t released = ticksNow();
    for (int dev = 0; dev < kSlots; ++dev) {
        if (loadAcquire(slots[dev].timestampRequest) == 0) continue;
        storeRelease(slots[dev].timeStamp[0], released);
        fetchAdd(slots[dev].timestampRequest, 1);
    }
    storeRelease(doTxQueue, 1);
    wakeIoThread();
    return 0;
}

KELVO_API int64_t kelvoGetTicks(void) noexcept { return ticksNow(); }

KELVO_API int kelvoGetTimeStampsFromSynchronizedGroup(int dev, int64_t stamps[4]) noexcept {
    constexpr SlotNeeds kNeeds{.healthyPort = false,
                               .notOpenText = "kelvoGetTimeStampsFromSynchronizedGroup(): port not open"};
    if (refuseSlot("kelvoGetTimeStampsFromSynchronizedGroup", dev, kNeeds)) return -1;
    if (stamps == nullptr) {
        buildErrMsg(dev, "kelvoGetTimeStampsFromSynchronizedGroup", "stamps must not be NULL");
        return -1;
    }
    for (int k = 0; k < 4; ++k) stamps[k] = loadAcquire(slots[dev].timeStamp[k]);
    return 0;
}

KELVO_API int kelvoStartTogether(const int *devs, int count, const char *startCommand, int timeoutMs) noexcept {
    static const char kName[] = "kelvoStartTogether";
    if (refuseStart(kName, devs, count, startCommand)) return KELVO_REFUSED;
    kelvoDisableTx();
    for (int k = 0; k < count; ++k) (void)queueStreamCommand(devs[k], startCommand);
    kelvoEnableTx();
    const int waitMs = timeoutMs > 0 ? timeoutMs : kDefaultStartMs;
    const int64_t deadline = ticksNow() + waitMs * kTicksPerMs;
    for (int k = 0; k < count; ++k) {
        const int dev = devs[k];
        if (awaitSlotUntil(dev, deadline, [dev] { return delivered(dev) || lineIsHungUp(dev); }) && delivered(dev)) {
            continue;
        }
        char message[96];
        std::snprintf(message, sizeof message, "no stream payload within %d ms of the synchronized start", waitMs);
        buildErrMsg(dev, kName, message);
        return KELVO_TIMEOUT;
    }
    return KELVO_OK;
}

KELVO_API int kelvoGetStartSpread(const int *devs, int count, int64_t *spreadTicks) noexcept {
    static const char kName[] = "kelvoGetStartSpread";
    if (refuseSlotList(kName, devs, count)) return KELVO_REFUSED;
    if (spreadTicks == nullptr) {
        buildErrMsg(devs[0], kName, "spreadTicks must not be NULL");
        return KELVO_REFUSED;
    }
    // Stamp 1 belongs to the last start only once that start's capture went
    // past it; a common stamp 0 says the slots were released together.
    const int64_t released = loadAcquire(slots[devs[0]].timeStamp[0]);
    int64_t earliest = INT64_MAX;
    int64_t latest = INT64_MIN;
    for (int k = 0; k < count; ++k) {
        const int dev = devs[k];
        const int64_t sent = loadAcquire(slots[dev].timeStamp[1]);
        if (loadAcquire(slots[dev].timestampRequest) < 3 || sent == 0 ||
            loadAcquire(slots[dev].timeStamp[0]) != released) {
            buildErrMsg(dev, kName, "the slot's last start has no send stamp of this synchronized start");
            return KELVO_REFUSED;
        }
        earliest = std::min(earliest, sent);
        latest = std::max(latest, sent);
    }
    *spreadTicks = latest - earliest;
    return KELVO_OK;
}

}  // extern "C"
