// SPDX-License-Identifier: MIT
// The per-slot tables and single words shared by the application-side
// operations and the I/O thread. All storage is static and of fixed size.
//
// Who writes what (the rest is read-only for the other side):
//   application: openRequest, closeRequest, isStreamingRequest,
//                isStopStreamingRequest (raise), stopStreamingRequestTimestamp,
//                myPortnames, t0, lastErrorMsg, isErrorOccurred, doTxQueue,
//                filteredSampleSize (the I/O thread keeps its queues in
//                samples of this size), queryActive
//   I/O thread:  myPorts, isStreaming, scpiBuf, the requests (lower),
//                timeStamp[4..15], lineHungUp, lineStalled, the stream's
//                marks (head), streamGeneration, streamCounted, streamOrigin
//   reader:      the marks' tail (kelvoGetStreamingData, kelvoReadSamples)
//   both:        myPortErr, isFatal (bits set with an atomic OR),
//                timestampRequest (see the synchronized start)
#pragma once

#include <cstdint>

#include "atomics.h"
#include "blockDecoder.h"
#include "kelvo_lowlevel.h"
#include "sampleFeed.h"

namespace kelvo {

inline constexpr int kSlots = 4;
inline constexpr uint32_t kOutQSize = 8192;
inline constexpr uint32_t kInQSize = 8192;
inline constexpr uint32_t kScpiQSize = 262144;
inline constexpr uint32_t kIoScratchSize = 65536;
inline constexpr uint32_t kAnswerBufferSize = 262144;
inline constexpr int kPortNameSize = 256;
inline constexpr int kErrorTextSize = 512;

// Sticky fault bits of isFatal, as kelvo.h names them.
inline constexpr uint32_t kFaultStreamQueueFull = KELVO_FAULT_STREAM_QUEUE_FULL;
inline constexpr uint32_t kFaultResponseQueueFull = KELVO_FAULT_RESPONSE_QUEUE_FULL;
inline constexpr uint32_t kFaultAbortNoRoom = KELVO_FAULT_ABORT_NO_ROOM;
inline constexpr uint32_t kFaultCommandNoRoom = KELVO_FAULT_COMMAND_NO_ROOM;
inline constexpr uint32_t kFaultTransmitTooLarge = KELVO_FAULT_TRANSMIT_TOO_LARGE;
inline constexpr uint32_t kFaultAnswerTooLarge = KELVO_FAULT_ANSWER_TOO_LARGE;
inline constexpr uint32_t kFaultStreamCommandNoRoom = KELVO_FAULT_STREAM_COMMAND_NO_ROOM;
inline constexpr uint32_t kFaultDisconnected = KELVO_FAULT_DISCONNECTED;
inline constexpr uint32_t kFaultStreamFraming = KELVO_FAULT_STREAM_FRAMING;

inline bool isValidSlot(int dev) { return static_cast<unsigned>(dev) < kSlots; }

extern ByteRing outQ[kSlots];
extern ByteRing inQ[kSlots];
extern ByteRing scpiQ[kSlots];

extern char myPortnames[kSlots][kPortNameSize];
extern int32_t openRequest[kSlots];
extern int32_t closeRequest[kSlots];
extern int32_t isStreamingRequest[kSlots];
extern int32_t isStreaming[kSlots];
extern int32_t isStopStreamingRequest[kSlots];
extern int64_t stopStreamingRequestTimestamp[kSlots];
extern int32_t timestampRequest[kSlots];
extern int64_t timeStamp[4 * kSlots];
extern int64_t t0[kSlots];
extern uint32_t isFatal[kSlots];
extern char lastErrorMsg[kSlots][kErrorTextSize];
extern int32_t isErrorOccurred[kSlots];
extern int32_t filteredSampleSize[kSlots];
extern int32_t filteredAdcOversamplingFactors[kSlots];
extern BlockDecoder scpiBuf[kSlots];
// 1 once the slot's tty hung up (the device was unplugged), until the next
// open; the thread sets it only after it queued every byte the line held.
extern int32_t lineHungUp[kSlots];
inline bool lineIsHungUp(int dev) { return kelvo::loadAcquire(lineHungUp[dev]) != 0; }
// 1 while the device does not take what the thread has to send.
extern int32_t lineStalled[kSlots];
// Non-zero while a kelvoQuery waits on the slot: in command mode the thread
// then reads from the tty only what the response queue can take, and leaves
// the rest in the tty until the caller makes room (and wakes it). A query
// that waits for an answer (kQueryAwaitsAnswer) is not woken when its
// command goes out.
extern int32_t queryActive[kSlots];
inline constexpr int32_t kQueryAwaitsSending = 1;
inline constexpr int32_t kQueryAwaitsAnswer = 2;
// Set by the I/O thread when it left a query's bytes in the tty because the
// response queue was full; the caller clears it and wakes the thread once it
// has made room.
extern int32_t queryReadHeld[kSlots];

// The stream queue's marks (see sampleFeed.h), and what a reader needs to
// number the queued samples: the I/O thread publishes them when it takes up
// a start, after emptying the queue and its marks, and the generation last,
// so a reader that sees a new generation starts afresh.
extern MarkQueue scpiMarks[kSlots];
extern uint32_t streamGeneration[kSlots];
extern int32_t streamCounted[kSlots];  // 1 when the stream's samples carry a counter
// The counter of the stream's first sample, published (streamOriginKnown)
// before that sample is queued.
extern uint32_t streamOrigin[kSlots];
extern int32_t streamOriginKnown[kSlots];

extern int32_t doTxQueue;
extern int32_t terminate;
extern int32_t isThreadRunning;
extern uint8_t tmpBuf[kIoScratchSize];
extern char inputBuffer[kAnswerBufferSize];

}  // namespace kelvo
