// SPDX-License-Identifier: MIT
// kelvoSendSCPIbinBlock: raw bytes to a device as one definite-length block.
#include <cstdio>

#include "atomics.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "slots.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

constexpr int kMaxBlockPayload = 4096;
// The I/O thread sends what a working device takes at once; two seconds
// only run out when nothing drains the queue at all.
constexpr int64_t kDrainTimeoutTicks = 2 * kTicksPerSecond;
constexpr char kName[] = "kelvoSendSCPIbinBlock";

// Sleeps until the transmit queue is empty, or the device left (the
// thread then drops what was queued for it).
bool waitUntilSent(int dev) {
    return awaitSlotUntil(dev, ticksNow() + kDrainTimeoutTicks, [dev] { return ringFill(slots[dev].outQ) == 0; });
}

// Why the transmit queue cannot drain, or null when it can.
const char *drainBlocker(int dev) {
    if (loadAcquire(isThreadRunning) == 0) return "I/O thread not running";
    if (loadAcquire(doTxQueue) == 0) return "transmission is held (kelvoDisableTx)";
    if (loadAcquire(myPorts[dev]) < 0) return "port not open";
    return nullptr;
}

int refuseStuckQueue(int dev, const char *blockFate) {
    const char *blocker = drainBlocker(dev);
    if (blocker == nullptr) {
        blocker = loadAcquire(slots[dev].lineStalled) != 0 ? "the device does not take data" : "I/O thread busy";
    }
    char message[160];
    std::snprintf(message, sizeof message, "transmit queue did not drain within 2 s (%s); %s", blocker, blockFate);
    buildErrMsg(dev, kName, message);
    return -1;
}

}  // namespace

extern "C" KELVO_API int kelvoSendSCPIbinBlock(int dev, const void *data, int length) noexcept {
    constexpr SlotNeeds kNeeds{.open = true, .healthyPort = true, .connected = true};
    if (refuseSlot(kName, dev, kNeeds)) return -1;
    if (length > kMaxBlockPayload) {
        buildErrMsg(dev, kName, "len > 4096 not allowed");
        return 1;
    }
    if (length < 1) {
        buildErrMsg(dev, kName, "len < 1 makes no sense");
        return 1;
    }
    if (data == nullptr) {
        buildErrMsg(dev, kName, "data must not be NULL");
        return 1;
    }
    if (const char *blocker = drainBlocker(dev)) {
        buildErrMsg(dev, kName, blocker);
        return -1;
    }
    if (!waitUntilSent(dev)) return refuseStuckQueue(dev, "block not queued");
    if (refuseSlot(kName, dev, kNeeds)) return -1;
    char header[10];
    const int digits = std::snprintf(header, sizeof header, "%d", length);
    const int headerLength = std::snprintf(header, sizeof header, "#%d%d", digits, length);
    // Each part is published as soon as it is written; the queue was empty
    // and a block of at most 4103 bytes always fits.
    (void)ringPut(slots[dev].outQ, header, static_cast<uint32_t>(headerLength));
    (void)ringPut(slots[dev].outQ, data, static_cast<uint32_t>(length));
    (void)ringPut(slots[dev].outQ, "\n", 1);
    wakeIoThread();
    if (!waitUntilSent(dev)) return refuseStuckQueue(dev, "block still queued");
    return refuseSlot(kName, dev, kNeeds) ? -1 : 0;
}
