// SPDX-License-Identifier: MIT
// Storage of the per-slot tables and the library's single words.
#include "slots.h"

#include "kelvoVersion.h"

namespace kelvo {

namespace {
uint8_t memOutQ[kSlots][kOutQSize];
uint8_t memInQ[kSlots][kInQSize];
uint8_t memScpiQ[kSlots][kScpiQSize];
}  // namespace

ByteRing outQ[kSlots] = {{0, 0, memOutQ[0], kOutQSize},
                         {0, 0, memOutQ[1], kOutQSize},
                         {0, 0, memOutQ[2], kOutQSize},
                         {0, 0, memOutQ[3], kOutQSize}};
ByteRing inQ[kSlots] = {{0, 0, memInQ[0], kInQSize},
                        {0, 0, memInQ[1], kInQSize},
                        {0, 0, memInQ[2], kInQSize},
                        {0, 0, memInQ[3], kInQSize}};
ByteRing scpiQ[kSlots] = {{0, 0, memScpiQ[0], kScpiQSize},
                          {0, 0, memScpiQ[1], kScpiQSize},
                          {0, 0, memScpiQ[2], kScpiQSize},
                          {0, 0, memScpiQ[3], kScpiQSize}};

char myPortnames[kSlots][kPortNameSize];
int32_t openRequest[kSlots];
int32_t closeRequest[kSlots];
int32_t isStreamingRequest[kSlots];
int32_t isStreaming[kSlots];
int32_t isStopStreamingRequest[kSlots];
int64_t stopStreamingRequestTimestamp[kSlots];
int32_t timestampRequest[kSlots];
int64_t timeStamp[4 * kSlots];
int64_t t0[kSlots];
uint32_t isFatal[kSlots];
char lastErrorMsg[kSlots][kErrorTextSize];
int32_t isErrorOccurred[kSlots];
int32_t filteredSampleSize[kSlots];
int32_t filteredAdcOversamplingFactors[kSlots];
BlockDecoder scpiBuf[kSlots];
int32_t lineHungUp[kSlots];
int32_t lineStalled[kSlots];
int32_t queryActive[kSlots];
int32_t queryReadHeld[kSlots];

MarkQueue scpiMarks[kSlots];
uint32_t streamGeneration[kSlots];
int32_t streamCounted[kSlots];
uint32_t streamOrigin[kSlots];
int32_t streamOriginKnown[kSlots];

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
