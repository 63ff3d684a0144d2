// SPDX-License-Identifier: MIT
// kelvoSendCmd: one synchronous command and answer with a device that is not
// streaming. The command goes into the slot's transmit queue, the answer is
// collected from its response queue; the I/O thread moves the bytes.
#include <cstring>

#include "atomics.h"
#include "blockDecoder.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "queueCommandLine.h"
#include "slots.h"
#include "streamLayout.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

constexpr int64_t kQueryFirstByteTicks = 400 * kTicksPerMs;
constexpr int64_t kCommandFirstByteTicks = 30 * kTicksPerMs;
constexpr int64_t kQuietTicks = 5 * kTicksPerMs;

// Waits for the first answer byte, then until the queue fill has not changed
// for 5 ms. Bytes already waiting (a late answer) end the first wait at once;
// a hang-up ends both.
void awaitAnswer(int dev, int64_t firstByteTicks) {
    const auto hungUp = [dev] { return lineIsHungUp(dev); };
    awaitSlotUntil(dev, ticksNow() + firstByteTicks, [&] { return ringFill(slots[dev].inQ) != 0 || hungUp(); });
    uint32_t seen = ringFill(slots[dev].inQ);
    for (int64_t lastChange = ticksNow(); !hungUp(); lastChange = ticksNow()) {
        const bool changed =
            awaitSlotUntil(dev, lastChange + kQuietTicks, [&] { return ringFill(slots[dev].inQ) != seen || hungUp(); });
        if (!changed) return;
        seen = ringFill(slots[dev].inQ);
    }
}

uint32_t collectAnswer(int dev) {
    Slot &slot = slots[dev];
    const uint32_t count = ringFill(slot.inQ);
    if (count >= kAnswerBufferSize) {
        setBits(slot.isFatal, kFaultAnswerTooLarge);
        inputBuffer[0] = '\0';
        return 0;
    }
    ringTake(slot.inQ, inputBuffer, count);
    inputBuffer[count] = '\0';
    return count;
}

// The index of the first payload byte when the answer is complete
// definite-length blocks followed by CR or LF, else -1. `length` gets the
// length declared by the last block header.
long blockPayloadStart(uint32_t count, int *length) {
    if (count <= 7 || inputBuffer[0] != '#') return -1;
    BlockDecoder decoder{};
    resetBlockDecoder(decoder);
    long first = -1;
    for (uint32_t i = 0; i < count; ++i) {
        if (stepBlockDecoder(decoder, inputBuffer[i]) && first < 0) first = static_cast<long>(i);
    }
    if (first < 0 || decoder.state != 0 || decoder.error != 0) return -1;
    *length = decoder.length;
    return first;
}

}  // namespace

extern "C" KELVO_API const char *kelvoSendCmd(int dev, const char *command, int *answerLength, int *isBinary) noexcept {
    if (isBinary != nullptr) *isBinary = 0;
    if (refuseSlot("kelvoSendCmd", dev, {.open = true, .healthyPort = true, .connected = true})) return nullptr;
    if (command == nullptr || answerLength == nullptr || isBinary == nullptr) {
        buildErrMsg(dev, "kelvoSendCmd", "command, answerLength and isBinary must not be NULL");
        return nullptr;
    }
    learnStreamLayout(dev, command);
    // One byte to spare beyond command and line feed.
    queueCommandLine(dev, command, 1, kFaultCommandNoRoom);
    awaitAnswer(dev, std::strchr(command, '?') ? kQueryFirstByteTicks : kCommandFirstByteTicks);
    // The device left while the call waited.
    if (refuseSlot("kelvoSendCmd", dev, {.open = true, .healthyPort = true, .connected = true})) return nullptr;
    const uint32_t count = collectAnswer(dev);
    int payloadLength = 0;
    const long payload = blockPayloadStart(count, &payloadLength);
    if (payload >= 0) {
        *isBinary = 1;
        *answerLength = payloadLength;
        return inputBuffer + payload;
    }
    *answerLength = static_cast<int>(count);
    return inputBuffer;
}
