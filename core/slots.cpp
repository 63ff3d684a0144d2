// SPDX-License-Identifier: MIT
// Storage of the slots and the library's single words.
#include "slots.h"

#include "kelvoVersion.h"

namespace kelvo {

namespace {
uint8_t memOutQ[kSlots][kOutQSize];
uint8_t memInQ[kSlots][kInQSize];
uint8_t memScpiQ[kSlots][kScpiQSize];
}  // namespace

// Constant-initialized, so the rings are in place before any load hook runs.
constexpr Slot emptySlot(int dev) {
    Slot slot{};
    slot.outQ = {0, 0, memOutQ[dev], kOutQSize};
    slot.inQ = {0, 0, memInQ[dev], kInQSize};
    slot.scpiQ = {0, 0, memScpiQ[dev], kScpiQSize};
    return slot;
}

constinit Slot slots[kSlots] = {emptySlot(0), emptySlot(1), emptySlot(2), emptySlot(3)};

int32_t doTxQueue = 1;
int32_t terminate;
int32_t isThreadRunning;
uint8_t tmpBuf[kIoScratchSize];
char inputBuffer[kAnswerBufferSize];

}  // namespace kelvo

using namespace kelvo;

extern "C" {
KELVO_API int myPorts[kSlots] = {-1, -1, -1, -1};
KELVO_API int myPortErr[kSlots];
KELVO_API pthread_t threadId;
KELVO_API int debugLevel;
KELVO_API const char *versionInfo = KELVO_VERSION;
KELVO_API FiltInfo filtInfo[kSlots];
KELVO_API kelvoDataCallback myDataCallback[kSlots];
}
