// SPDX-License-Identifier: MIT
// Per-slot error texts, sticky fault words and the version.
#include "errors.h"

#include <cstdio>
#include <cstring>

#include "atomics.h"
#include "slots.h"

using namespace kelvo;

namespace {
char systemErrorReport[256];
const char kEmptyText[] = "";
}  // namespace

namespace kelvo {

bool isDisconnected(int dev) { return lineIsHungUp(dev) || isSerialPortDisconnected(loadAcquire(myPorts[dev])) != 0; }

bool refuseSlot(const char *operation, int dev, SlotNeeds needs) {
    if (!isValidSlot(dev)) return true;
    const char *message = nullptr;
    if (needs.open && loadAcquire(myPorts[dev]) < 0) {
        if (needs.notOpenText != nullptr) {
            storeWholeErrorText(dev, needs.notOpenText);
            return true;
        }
        message = "port not open";
    } else if (needs.healthyPort && loadAcquire(myPortErr[dev]) != 0) {
        message = "fatal R/W error on Port";
    } else if (needs.connected && isDisconnected(dev)) {
        message = "fatal I/O error on Port";
    }
    if (message == nullptr) return false;
    buildErrMsg(dev, operation, message);
    return true;
}

void storeWholeErrorText(int dev, const char *text) {
    Slot &slot = slots[dev];
    std::memset(slot.lastErrorMsg, 0, kErrorTextSize);
    std::strncpy(slot.lastErrorMsg, text, kErrorTextSize - 1);
    storeRelease(slot.isErrorOccurred, 1);
}

}  // namespace kelvo

extern "C" {

KELVO_API void buildErrMsg(int dev, const char *name, const char *message) noexcept {
    if (!isValidSlot(dev)) return;
    char slotPart[16];
    std::snprintf(slotPart, sizeof slotPart, "(dev=%d):", dev);
    std::snprintf(slots[dev].lastErrorMsg, kErrorTextSize, "%s%s%s", name ? name : "", slotPart,
                  message ? message : "");
    storeRelease(slots[dev].isErrorOccurred, 1);
}

KELVO_API const char *kelvoGetLastError(int dev) noexcept {
    // A negative number is refused like one above 3: there is no slot to
    // hold a text.
    constexpr SlotNeeds kNeeds{.healthyPort = false, .notOpenText = "GetLastError(): port not open"};
    if (refuseSlot("kelvoGetLastError", dev, kNeeds)) return nullptr;
    const bool unread = std::atomic_ref<int32_t>(slots[dev].isErrorOccurred).exchange(0) != 0;
    return unread ? slots[dev].lastErrorMsg : kEmptyText;
}

KELVO_API void kelvoClearSystemErrors(void) noexcept {
    for (Slot &slot : slots) storeRelease(slot.isFatal, 0u);
}

KELVO_API const char *kelvoGetSystemErrors(void) noexcept {
    systemErrorReport[0] = '\0';
    if (loadAcquire(debugLevel) != 1) return systemErrorReport;
    uint32_t words[kSlots];
    bool anySet = false;
    for (int dev = 0; dev < kSlots; ++dev) {
        words[dev] = loadAcquire(slots[dev].isFatal);
        anySet = anySet || words[dev] != 0;
    }
    if (!anySet) return systemErrorReport;
    std::snprintf(systemErrorReport, sizeof systemErrorReport, "0x%x,0x%x,0x%x,0x%x,", words[0], words[1], words[2],
                  words[3]);
    return systemErrorReport;
}

KELVO_API const char *kelvoGetVersion(void) noexcept { return versionInfo; }

KELVO_API uint32_t kelvoGetFaultBits(int dev) noexcept {
    return isValidSlot(dev) ? loadAcquire(slots[dev].isFatal) : 0u;
}

}  // extern "C"
