// SPDX-License-Identifier: MIT
// The application's side of a stream: start and stop requests, commands that
// do not wait for an answer, and taking whole samples from the stream queue.
#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "atomics.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "queueCommandLine.h"
#include "queueReader.h"
#include "sampleCallback.h"
#include "slots.h"
#include "streamLayout.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

constexpr int64_t kStreamTimeoutTicks = 200 * kTicksPerMs;

bool startsWith(const char *command, const char *prefix) { return strncasecmp(command, prefix, 4) == 0; }

// Streaming, or about to: a start the I/O thread has not taken up yet counts.
// The request first: the I/O thread lowers it only after it raised the mark.
bool slotStreams(int dev) {
    return loadAcquire(slots[dev].isStreamingRequest) != 0 || loadAcquire(slots[dev].isStreaming) != 0;
}

// Why a read cannot start, nullptr when it can.
const char *refusalOfRead(const void *destination, int capacitySamples, int minSamples, int timeoutMs,
                          int64_t sampleBytes) {
    if (destination == nullptr) return "destination must not be NULL";
    if (capacitySamples < 1) return "the capacity must be at least one sample";
    if (minSamples < 1 || minSamples > capacitySamples) return "minSamples must be 1 to the capacity";
    if (timeoutMs < 0) return "the time-out must not be negative";
    if (sampleBytes <= 0) return "no sample layout; send a configuration command first";
    return nullptr;
}

// Waits, asleep, until `minSamples` consecutive samples are queued (or a
// jump ends the run sooner, or half the queue is full), the stream ended,
// the device went, or the deadline passed; then takes what there is.
int readSamples(const char *name, int dev, void *destination, int capacitySamples, int minSamples, int timeoutMs,
                int64_t *firstIndex) {
    if (refuseSlot(name, dev, {.open = true, .healthyPort = true})) return KELVO_REFUSED;
    const int64_t sampleBytes = streamSampleBytes(dev);
    if (const char *why = refusalOfRead(destination, capacitySamples, minSamples, timeoutMs, sampleBytes)) {
        buildErrMsg(dev, name, why);
        return KELVO_REFUSED;
    }
    const auto S = static_cast<uint32_t>(sampleBytes);
    // Waiting for more than half the queue holds would only let it overflow.
    const uint32_t enough = std::min(static_cast<uint32_t>(minSamples), std::max(kScpiQSize / 2 / S, 1u));
    setPayloadWanted(dev, enough * S);
    const int64_t deadline = ticksNow() + timeoutMs * kTicksPerMs;
    bool hungUp = false;
    bool live = false;
    // Looked at before the queue: the I/O thread queues every byte before
    // it marks a hang-up or the end of streaming.
    (void)awaitSlotUntil(dev, deadline, [&] {
        hungUp = lineIsHungUp(dev);
        live = slotStreams(dev);
        return hungUp || !live || queuedRun(dev, S) >= enough || ringFill(slots[dev].scpiQ) >= enough * S;
    });
    int64_t index = 0;
    const uint32_t count = takeQueuedSamples(dev, destination, static_cast<uint32_t>(capacitySamples), S, &index);
    if (count != 0) {
        if (firstIndex != nullptr) *firstIndex = index;
        return static_cast<int>(count);
    }
    if (hungUp) {
        buildErrMsg(dev, name, "fatal I/O error on Port");
        return KELVO_DISCONNECTED;
    }
    if (!live) {
        buildErrMsg(dev, name, "the slot is not streaming");
        return KELVO_REFUSED;
    }
    char message[64];
    std::snprintf(message, sizeof message, "no samples within %d ms", timeoutMs);
    buildErrMsg(dev, name, message);
    return KELVO_TIMEOUT;
}

}  // namespace

namespace kelvo {

bool queueStreamCommand(int dev, const char *command) {
    Slot &slot = slots[dev];
    // The flags go up before the command is queued, so the device's first
    // bytes are already taken as stream data.
    if (startsWith(command, "abor")) {
        storeRelease(slot.isStopStreamingRequest, 1);
        storeRelease(slot.stopStreamingRequestTimestamp, ticksNow());
    }
    if (startsWith(command, "init")) {
        storeRelease(slot.isStopStreamingRequest, 0);
        storeRelease(slot.isStreamingRequest, 1);
        storeRelease(slot.t0, ticksNow());
        storeRelease(slot.timestampRequest, 1);
    }
    return queueCommandLine(dev, command, 0, kFaultStreamCommandNoRoom);
}

SeqLock<SampleCallbackRecord> sampleCallbacks[kSlots];

}  // namespace kelvo

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
    (void)queueStreamCommand(dev, command);
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
    const uint32_t count = takeQueuedBytes(dev, destination, capacity, unit);
    const int64_t now = ticksNow();
    if (count > 0) {
        storeRelease(slots[dev].t0, now);
        return static_cast<int>(count);
    }
    if (hungUp && refuseSlot(kName, dev, {.open = false, .healthyPort = false, .connected = true})) return -1;
    if (now - loadAcquire(slots[dev].t0) > kStreamTimeoutTicks) {
        storeWholeErrorText(dev, "GetStreamingData(): Timeouted");
        return -2;
    }
    return 0;
}

KELVO_API int kelvoSetSampleCallback(int dev, kelvoSampleCallback callback, void *user) noexcept {
    if (refuseSlot("kelvoSetSampleCallback", dev, {.open = false, .healthyPort = false})) return KELVO_REFUSED;
    sampleCallbacks[dev].write({callback, callback != nullptr ? user : nullptr});
    return KELVO_OK;
}

KELVO_API int kelvoReadSamples(int dev, void *destination, int capacitySamples, int timeoutMs,
                               int64_t *firstIndex) noexcept {
    return readSamples("kelvoReadSamples", dev, destination, capacitySamples, 1, timeoutMs, firstIndex);
}

KELVO_API int kelvoReadSamplesAtLeast(int dev, void *destination, int capacitySamples, int minSamples, int timeoutMs,
                                      int64_t *firstIndex) noexcept {
    return readSamples("kelvoReadSamplesAtLeast", dev, destination, capacitySamples, minSamples, timeoutMs, firstIndex);
}

KELVO_API int kelvoStopStream(int dev, int timeoutMs) noexcept {
    static const char kName[] = "kelvoStopStream";
    if (refuseSlot(kName, dev, {.open = true, .healthyPort = true, .connected = true})) {
        return isValidSlot(dev) && isDisconnected(dev) ? KELVO_DISCONNECTED : KELVO_REFUSED;
    }
    if (!slotStreams(dev)) return KELVO_OK;
    if (!queueStreamCommand(dev, "ABORt")) {
        buildErrMsg(dev, kName, "no room in the transmit queue for ABORt");
        return KELVO_REFUSED;
    }
    const int waitMs = timeoutMs > 0 ? timeoutMs : 1000;
    const int64_t deadline = ticksNow() + waitMs * kTicksPerMs;
    bool hungUp = false;
    const bool stopped = awaitSlotUntil(dev, deadline, [&] {
        hungUp = lineIsHungUp(dev);
        return hungUp || !slotStreams(dev);
    });
    if (hungUp) {
        buildErrMsg(dev, kName, "fatal I/O error on Port");
        return KELVO_DISCONNECTED;
    }
    if (stopped) return KELVO_OK;
    char message[64];
    std::snprintf(message, sizeof message, "still streaming %d ms after ABORt", waitMs);
    buildErrMsg(dev, kName, message);
    return KELVO_TIMEOUT;
}

KELVO_API int kelvoGetSampleSize(int dev) noexcept {
    if (refuseSlot("kelvoGetSampleSize", dev, {.open = true, .healthyPort = false})) return -1;
    return static_cast<int>(streamSampleBytes(dev));
}

KELVO_API int kelvoGetAdcOversampling(int dev) noexcept {
    if (refuseSlot("kelvoGetAdcOversampling", dev, {.open = true, .healthyPort = false})) return -1;
    return slots[dev].filteredAdcOversamplingFactors;
}

}  // extern "C"
