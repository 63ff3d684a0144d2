// SPDX-License-Identifier: MIT
// The application's side of a stream: start and stop requests, commands that
// do not wait for an answer, and taking whole samples from the stream queue.
#include <strings.h>

#include <algorithm>

#include "atomics.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "queueCommandLine.h"
#include "slots.h"
#include "streamLayout.h"

using namespace kelvo;

namespace {

constexpr int64_t kStreamTimeoutTicks = 200 * kTicksPerMs;

bool startsWith(const char *command, const char *prefix) { return strncasecmp(command, prefix, 4) == 0; }

}  // namespace

extern "C" {

KELVO_API int kelvoSetCallbackData(int dev, kelvoDataCallback callback) noexcept {
    // Open or not: only the slot number is checked.
    if (refuseSlot("kelvoSetCallbackData", dev, {.open = false, .healthyPort = false})) return -1;
    storeRelease(myDataCallback[dev], callback);
    return 0;
}

KELVO_API int kelvoSendCmdWhileStreaming(int dev, const char *command) noexcept {
    static const char kName[] = "kelvoSendCmdWhileStreaming";
    constexpr SlotNeeds kNeeds{.connected = true, .notOpenText = "sendCmdWhileStreaming(): port not open"};
    if (refuseSlot(kName, dev, kNeeds)) return 1;
    if (command == nullptr) {
        buildErrMsg(dev, kName, "command must not be NULL");
        return 1;
    }
    // The flags go up before the command is queued, so the device's first
    // bytes are already taken as stream data.
    if (startsWith(command, "abor")) {
        storeRelease(isStopStreamingRequest[dev], 1);
        storeRelease(stopStreamingRequestTimestamp[dev], ticksNow());
    }
    if (startsWith(command, "init")) {
        storeRelease(isStopStreamingRequest[dev], 0);
        storeRelease(isStreamingRequest[dev], 1);
        storeRelease(t0[dev], ticksNow());
        storeRelease(timestampRequest[dev], 1);
    }
    queueCommandLine(dev, command, 0, kFaultStreamCommandNoRoom);
    return 0;
}

KELVO_API int kelvoGetStreamingData(int dev, void *destination, int sampleSize, unsigned int capacity) noexcept {
    static const char kName[] = "kelvoGetStreamingData";
    if (refuseSlot(kName, dev, {.open = true, .healthyPort = true})) return -1;
    if (destination == nullptr && capacity != 0) {
        buildErrMsg(dev, kName, "destination must not be NULL");
        return -1;
    }
    // Taken before the queue is looked at: the I/O thread marks a hang-up
    // only after it queued everything the line held, so all of that is
    // handed out before the refusal. A look at the line itself could find it
    // hung up while its last bytes are still on their way into the queue.
    const bool hungUp = lineIsHungUp(dev);
    const uint32_t unit = sampleSize > 0 ? static_cast<uint32_t>(sampleSize) : 1;
    uint32_t count = std::min<uint32_t>(capacity, ringFill(scpiQ[dev]));
    count -= count % unit;
    const int64_t now = ticksNow();
    if (count > 0) {
        ringTake(scpiQ[dev], destination, count);
        storeRelease(t0[dev], now);
        return static_cast<int>(count);
    }
    if (hungUp && refuseSlot(kName, dev, {.open = false, .healthyPort = false, .connected = true})) return -1;
    if (now - loadAcquire(t0[dev]) > kStreamTimeoutTicks) {
        storeWholeErrorText(dev, "GetStreamingData(): Timeouted");
        return -2;
    }
    return 0;
}

KELVO_API int kelvoGetSampleSize(int dev) noexcept {
    if (refuseSlot("kelvoGetSampleSize", dev, {.open = true, .healthyPort = false})) return -1;
    return static_cast<int>(streamSampleBytes(dev));
}

KELVO_API int kelvoGetAdcOversampling(int dev) noexcept {
    if (refuseSlot("kelvoGetAdcOversampling", dev, {.open = true, .healthyPort = false})) return -1;
    return filteredAdcOversamplingFactors[dev];
}

}  // extern "C"
