// SPDX-License-Identifier: MIT
// Synchronized start: hold all transmission, queue the start commands, then
// release every queue in one moment and read back each slot's four stamps
// (released, sent, first bytes back, first payload delivered).
#include "atomics.h"
#include "clock.h"
#include "errors.h"
#include "slots.h"
#include "wakeups.h"

using namespace kelvo;

extern "C" {

KELVO_API int kelvoDisableTx(void) noexcept {
    for (int32_t &progress : timestampRequest) storeRelease(progress, 0);
    storeRelease(doTxQueue, 0);
    return 0;
}

KELVO_API int kelvoEnableTx(void) noexcept {
    const int64_t released = ticksNow();
    for (int dev = 0; dev < kSlots; ++dev) {
        if (loadAcquire(timestampRequest[dev]) == 0) continue;
        storeRelease(timeStamp[dev], released);
        fetchAdd(timestampRequest[dev], 1);
    }
    storeRelease(doTxQueue, 1);
    wakeIoThread();
    return 0;
}

KELVO_API int64_t kelvoGetTicks(void) noexcept { return ticksNow() - timingT0; }

KELVO_API int kelvoGetTimeStampsFromSynchronizedGroup(int dev, int64_t stamps[4]) noexcept {
    constexpr SlotNeeds kNeeds{.healthyPort = false,
                               .notOpenText = "kelvoGetTimeStampsFromSynchronizedGroup(): port not open"};
    if (refuseSlot("kelvoGetTimeStampsFromSynchronizedGroup", dev, kNeeds)) return -1;
    if (stamps == nullptr) {
        buildErrMsg(dev, "kelvoGetTimeStampsFromSynchronizedGroup", "stamps must not be NULL");
        return -1;
    }
    for (int k = 0; k < 4; ++k) stamps[k] = loadAcquire(timeStamp[4 * k + dev]);
    return 0;
}

}  // extern "C"
