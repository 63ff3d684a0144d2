// SPDX-License-Identifier: MIT
// The state of the four slots, shared by the application-side operations
// and the I/O thread, and the library's single words. All storage is static
// and of fixed size.
//
// Every field of a Slot that two threads touch goes through the helpers of
// atomics.h; the comments on the fields say which side writes them. The
// other side only reads, unless a field says otherwise. "The reader" is the
// application thread that takes the stream (kelvoGetStreamingData,
// kelvoReadSamples).
//
// The exported state of kelvo_lowlevel.h stays in its C tables: the I/O
// thread writes myPorts; myPortErr is written by both sides.
#pragma once

#include <cstddef>
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
// Words that different threads write often are kept this far apart.
inline constexpr size_t kCacheLine = 64;

// Sticky fault bits of Slot::isFatal, as kelvo.h names them.
inline constexpr uint32_t kFaultStreamQueueFull = KELVO_FAULT_STREAM_QUEUE_FULL;
inline constexpr uint32_t kFaultResponseQueueFull = KELVO_FAULT_RESPONSE_QUEUE_FULL;
inline constexpr uint32_t kFaultAbortNoRoom = KELVO_FAULT_ABORT_NO_ROOM;
inline constexpr uint32_t kFaultCommandNoRoom = KELVO_FAULT_COMMAND_NO_ROOM;
inline constexpr uint32_t kFaultTransmitTooLarge = KELVO_FAULT_TRANSMIT_TOO_LARGE;
inline constexpr uint32_t kFaultAnswerTooLarge = KELVO_FAULT_ANSWER_TOO_LARGE;
inline constexpr uint32_t kFaultStreamCommandNoRoom = KELVO_FAULT_STREAM_COMMAND_NO_ROOM;
inline constexpr uint32_t kFaultDisconnected = KELVO_FAULT_DISCONNECTED;
inline constexpr uint32_t kFaultStreamFraming = KELVO_FAULT_STREAM_FRAMING;

// Values of Slot::queryActive.
inline constexpr int32_t kQueryAwaitsSending = 1;
inline constexpr int32_t kQueryAwaitsAnswer = 2;

// One slot's state. Each slot starts on a cache line of its own, and so do
// the groups of fields that the two sides write on every read of a stream:
// the stream queue, the decoder and the reader's own words.
struct alignas(kCacheLine) Slot {
    // ---- Queues: each one's head is its producer's, its tail its consumer's.
    ByteRing outQ;  // application -> I/O thread: bytes for the device
    ByteRing inQ;   // I/O thread -> application: the answers in command mode
    // I/O thread -> reader: the stream's payload.
    alignas(kCacheLine) ByteRing scpiQ;
    // Where the stream queue's run of samples breaks (see sampleFeed.h); the
    // I/O thread owns the head, the reader the tail.
    MarkQueue scpiMarks;

    // ---- Application side. The requests are raised here and lowered by
    // the I/O thread once it has served them.
    alignas(kCacheLine) int32_t openRequest;
    int32_t closeRequest;
    int32_t isStreamingRequest;
    // A start lowers it here too.
    int32_t isStopStreamingRequest;
    // When the stop was asked for; the I/O thread moves it on while the
    // device still sends (the stop waits for a quiet line).
    int64_t stopStreamingRequestTimestamp;
    // The learnt layout's words per sample; the I/O thread keeps its queues
    // in samples of this size.
    int32_t filteredSampleSize;
    // Non-zero while a kelvoQuery waits on the slot: in command mode the
    // thread then reads from the tty only what the response queue can take,
    // and leaves the rest in the tty until the caller makes room (and wakes
    // it). A query that waits for an answer (kQueryAwaitsAnswer) is not woken
    // when its command goes out.
    int32_t queryActive;

    // ---- I/O thread.
    int32_t isStreaming;
    // 1 once the slot's tty hung up (the device was unplugged), until the
    // next open; set only after every byte the line held was queued.
    int32_t lineHungUp;
    // 1 while the device does not take what the thread has to send.
    int32_t lineStalled;
    // What a reader needs to number the queued samples, published when the
    // thread takes up a start, after emptying the queue and its marks, and
    // the generation last, so a reader that sees a new generation starts
    // afresh.
    uint32_t streamGeneration;
    int32_t streamCounted;  // 1 when the stream's samples carry a counter
    // The counter of the stream's first sample, published (streamOriginKnown)
    // before that sample is queued.
    uint32_t streamOrigin;
    int32_t streamOriginKnown;
    // The stamps of a synchronized start: released (written by the
    // application), sent, first bytes back, first payload delivered.
    int64_t timeStamp[4];

    // ---- Both sides.
    // Fault bits, set with an atomic OR; the application clears them.
    uint32_t isFatal;
    // Capture progress of a synchronized start: the application arms and
    // releases it, the I/O thread moves it on with each stamp.
    int32_t timestampRequest;
    // Set by the I/O thread when it left a query's bytes in the tty because
    // the response queue was full; the caller clears it and wakes the thread
    // once it has made room.
    int32_t queryReadHeld;

    // ---- I/O thread only: the stream's block decoder, stepped on every read.
    alignas(kCacheLine) BlockDecoder scpiBuf;

    // ---- Reader: when kelvoGetStreamingData last took samples, or the start
    // was asked for; its time-out counts from there. Refreshed on every take,
    // so it keeps off the lines the I/O thread reads.
    alignas(kCacheLine) int64_t t0;

    // ---- Application only; the I/O thread reads the port name to open it.
    int32_t filteredAdcOversamplingFactors;
    int32_t isErrorOccurred;
    char lastErrorMsg[kErrorTextSize];
    char myPortnames[kPortNameSize];
};

extern Slot slots[kSlots];

inline bool isValidSlot(int dev) { return static_cast<unsigned>(dev) < kSlots; }

inline bool lineIsHungUp(int dev) { return kelvo::loadAcquire(slots[dev].lineHungUp) != 0; }

// ---- The library's single words.
extern int32_t doTxQueue;        // application: 0 holds all transmission
extern int32_t terminate;        // application: asks the I/O thread to end
extern int32_t isThreadRunning;  // application: the I/O thread was started
// The I/O thread's scratch for what it reads and writes.
extern uint8_t tmpBuf[kIoScratchSize];
// kelvoSendCmd's answer, returned to its caller.
extern char inputBuffer[kAnswerBufferSize];

}  // namespace kelvo
