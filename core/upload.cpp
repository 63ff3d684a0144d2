// kelvoSendSCPIbinBlock: raw bytes to a device as one definite-length block.
#include <cstdio>
#include <thread>

#include "atomics.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "slots.h"

using namespace kelvo;

namespace {

constexpr int kMaxBlockPayload = 4096;
// The I/O thread empties a transmit queue within one pass (well under a
// millisecond); two seconds only runs out when nothing drains it at all.
constexpr int64_t kDrainTimeoutTicks = 2 * kTicksPerSecond;
constexpr char kName[] = "kelvoSendSCPIbinBlock";

bool waitUntilSent(int dev) {
    const int64_t start = ticksNow();
    while (ringFill(outQ[dev]) != 0) {
        if (ticksNow() - start > kDrainTimeoutTicks) return false;
        std::this_thread::yield();
    }
    return true;
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
    char message[160];
    std::snprintf(message, sizeof message, "transmit queue did not drain within 2 s (%s); %s",
                  blocker ? blocker : "I/O thread busy", blockFate);
    buildErrMsg(dev, kName, message);
    return -1;
}

}  // namespace

extern "C" KELVO_API int kelvoSendSCPIbinBlock(int dev, const void *data, int length) {
    if (refuseSlot(kName, dev, {.open = true, .healthyPort = true})) return -1;
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
    char header[10];
    const int digits = std::snprintf(header, sizeof header, "%d", length);
    const int headerLength = std::snprintf(header, sizeof header, "#%d%d", digits, length);
    // Each part is published as soon as it is written; the queue was empty
    // and a block of at most 4103 bytes always fits.
    (void)ringPut(outQ[dev], header, static_cast<uint32_t>(headerLength));
    (void)ringPut(outQ[dev], data, static_cast<uint32_t>(length));
    (void)ringPut(outQ[dev], "\n", 1);
    if (!waitUntilSent(dev)) return refuseStuckQueue(dev, "block still queued");
    return 0;
}
