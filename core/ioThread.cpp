// The I/O service thread. Every pass sleeps 50 us, takes one turn per slot
// and then delivers message-bus callbacks. A slot's turn reads what the
// device sent and routes it, transmits what the application queued, takes
// the time stamps of a synchronized start and serves open and close
// requests, in that order: transmitting before the close service is what
// gets kelvoClose's "abort\n" out before the port closes.
#include "ioThread.h"

#include <unistd.h>

#include "atomics.h"
#include "busHooks.h"
#include "byteRing.h"
#include "clock.h"
#include "sampleFeed.h"
#include "slots.h"
#include "streamLayout.h"

using namespace kelvo;

namespace {

constexpr int kBacklogBytes = 2048;

// Keep the stream queues and the plot queue in whole samples; only this
// thread touches them.
SampleFeed streamFeed[kSlots];
SampleFeed plotFeed;

// Capture progress of a synchronized start; the thread moves 2 -> 3 -> 4 -> 5.
enum StampProgress : int32_t { kReleased = 2, kSent = 3, kAnswered = 4, kDelivered = 5 };

void advanceStamp(int dev, int32_t from, int stampIndex) {
    if (loadAcquire(timestampRequest[dev]) != from) return;
    storeRelease(timeStamp[4 * stampIndex + dev], ticksNow());
    storeRelease(timestampRequest[dev], from + 1);
}

void startStreaming(int dev) {
    storeRelease(isStreamingRequest[dev], 0);
    storeRelease(isStreaming[dev], 1);
    ringDiscard(scpiQ[dev]);
    SCPIdecoderReset(&scpiBuf[dev]);
    streamFeed[dev] = SampleFeed{};
    plotFeed = SampleFeed{};
}

// A pending stop ends streaming once the line has been quiet for 50 ms.
void applyStopRule(int dev, int len) {
    if (loadAcquire(isStopStreamingRequest[dev]) == 0) return;
    const int64_t now = ticksNow();
    if (len > 0) storeRelease(stopStreamingRequestTimestamp[dev], now);
    if (now - loadAcquire(stopStreamingRequestTimestamp[dev]) > kStopQuietTicks) {
        storeRelease(isStopStreamingRequest[dev], 0);
        storeRelease(isStreaming[dev], 0);
    }
}

// Keeps only payload bytes, compacted in place at the start of tmpBuf.
uint32_t decodePayload(int dev, int len) {
    uint32_t n = 0;
    for (int i = 0; i < len; ++i) {
        const uint8_t byte = tmpBuf[i];
        if (SCPIdecoder(&scpiBuf[dev], static_cast<signed char>(byte))) tmpBuf[n++] = byte;
    }
    return n;
}

void deliverPayload(int dev, uint32_t n) {
    const int64_t sampleBytes = streamSampleBytes(dev);
    if (kelvoDataCallback callback = loadAcquire(myDataCallback[dev])) {
        // While a stop is pending the payload is dropped.
        if (loadAcquire(isStopStreamingRequest[dev]) == 0) callback(tmpBuf, static_cast<int>(n));
        bypassFeed(scpiQ[dev], streamFeed[dev], tmpBuf, n, sampleBytes);
    } else if (!feedSamples(scpiQ[dev], streamFeed[dev], tmpBuf, n, sampleBytes)) {
        setBits(isFatal[dev], kFaultStreamQueueFull);
    }
    // The plot queue is a best-effort copy: overflow is dropped unmarked.
    if (loadAcquire(isGraphicConfigured) != 0) (void)feedSamples(graphicQ, plotFeed, tmpBuf, n, sampleBytes);
    advanceStamp(dev, kAnswered, 3);
}

void routeStream(int dev, int len) {
    applyStopRule(dev, len);
    if (len == 0) return;
    const uint32_t n = decodePayload(dev, len);
    if (n != 0) deliverPayload(dev, n);
}

// Command mode: a chunk is accepted only when it is smaller than the free
// space, so a full queue marks a fault on every turn, even an empty one.
void routeAnswer(int dev, int len) {
    const auto count = static_cast<uint32_t>(len);
    if (count < ringFree(inQ[dev])) {
        (void)ringPut(inQ[dev], tmpBuf, count);
    } else {
        setBits(isFatal[dev], kFaultResponseQueueFull);
    }
}

void transmit(int dev, int fd) {
    if (loadAcquire(doTxQueue) == 0) return;
    const uint32_t fill = ringFill(outQ[dev]);
    if (fill == 0) return;
    if (fill > kIoScratchSize) {
        setBits(isFatal[dev], kFaultTransmitTooLarge);
        return;
    }
    ringTake(outQ[dev], tmpBuf, fill);
    (void)writeToSerialPort(fd, tmpBuf, static_cast<int>(fill));
    advanceStamp(dev, kReleased, 1);
}

void serveOpenRequest(int dev) {
    if (loadAcquire(openRequest[dev]) == 0) return;
    storeRelease(isStreaming[dev], 0);
    storeRelease(isStopStreamingRequest[dev], 0);
    storeRelease(isStreamingRequest[dev], 0);
    // Reopening an open slot must not leak the earlier descriptor.
    (void)closeSerialPort(&myPorts[dev]);
    if (openSerialPort(&myPorts[dev], myPortnames[dev]) != 0) storeRelease(myPortErr[dev], 1);
    // Lowered last: kelvoOpen reads myPortErr once it sees the request down.
    storeRelease(openRequest[dev], 0);
}

void serveCloseRequest(int dev) {
    if (loadAcquire(closeRequest[dev]) == 0) return;
    if (closeSerialPort(&myPorts[dev]) != 0) storeRelease(myPortErr[dev], 1);
    storeRelease(myPorts[dev], -1);
    storeRelease(closeRequest[dev], 0);
}

// Returns whether the slot's line is backlogged: a read this large means
// bytes piled up in the tty since the last pass.
bool takeTurn(int dev) {
    const int fd = loadAcquire(myPorts[dev]);
    int len = 0;
    if (fd >= 0) {
        len = readFromSerialPort(fd, tmpBuf, static_cast<int>(kIoScratchSize));
        if (len != 0) advanceStamp(dev, kSent, 2);
        if (loadAcquire(isStreamingRequest[dev]) != 0) startStreaming(dev);
        if (loadAcquire(isStreaming[dev]) != 0) {
            routeStream(dev, len);
        } else {
            routeAnswer(dev, len);
        }
        transmit(dev, fd);
    }
    serveOpenRequest(dev);
    serveCloseRequest(dev);
    return len >= kBacklogBytes;
}

}  // namespace

void *myThread(void *) {
    bool backlogged = false;
    while (loadAcquire(terminate) == 0) {
        // A backlogged line is served again at once; sleeping would cap a
        // fast stream at one tty buffer per pass.
        if (!backlogged) usleep(kPassSleepMicroseconds);
        backlogged = false;
        for (int dev = 0; dev < kSlots; ++dev) backlogged = takeTurn(dev) || backlogged;
        busDeliverToCallbacks(scratch_msg);
    }
    return nullptr;
}
