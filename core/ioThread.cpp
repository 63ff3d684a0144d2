// SPDX-License-Identifier: MIT
// The I/O service thread. It sleeps in epoll on the lines it serves and on
// its wake-up descriptor, and wakes for what happens: bytes from a device,
// room on a line it has bytes for, a request or queued bytes from the
// application, a hang-up, or a timer that falls due (the stop rule, a
// closing line's drain, the pass hook's period).
//
// Each pass takes one turn per slot. A turn reads what the device sent and
// routes it, transmits what the application queued, takes the time stamps
// of a synchronized start and serves open and close requests, in that
// order: transmitting before the close service is what gets kelvoClose's
// "abort\n" out before the port closes.
#include "ioThread.h"

#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>

#include "atomics.h"
#include "blockDecoder.h"
#include "byteRing.h"
#include "clock.h"
#include "ioHooks.h"
#include "lineWatch.h"
#include "openError.h"
#include "sampleCallback.h"
#include "sampleClock.h"
#include "sampleDecode.h"
#include "sampleFeed.h"
#include "sampleSequence.h"
#include "slots.h"
#include "streamLayout.h"
#include "streamStats.h"
#include "tty.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

// A closing line gets this long to take what is still queued for it.
constexpr int64_t kCloseDrainTicks = 500 * kTicksPerMs;
// While a closing line's own output buffer drains, look again this often:
// epoll tells when there is room, not when the buffer is empty.
constexpr int64_t kCloseRecheckTicks = 5 * kTicksPerMs;
constexpr int64_t kNever = -1;
constexpr unsigned long kTimerSlackNs = 10000;

// The thread's own view of a slot's line.
struct Line {
    bool served = false;      // a terminal, neither hung up nor failed: read and written
    bool readable = false;    // bytes may be waiting without a new report
    bool hangUpSeen = false;  // the line reported a hang-up; marked once it is read empty
    int64_t closeSeenAt = 0;  // when the pending close was first seen, 0 when none
};

Line lines[kSlots];
LineWatch lineWatch;

// The thread's own view of a slot's stream; only this thread touches it.
struct StreamPath {
    SampleFeed feed;           // keeps the stream queue's losses whole samples
    SampleCarry carry;         // assembles whole samples for the callbacks and the clock
    SampleSequence sequence;   // numbers them
    BlockSearch search;        // after a malformed block: where the next one begins
    bool searching = false;    // the decoder failed; the search reads the bytes
    int32_t blockLength = -1;  // payload length of the last good block, -1 before one
    int64_t readAt = 0;        // when the read being routed returned
};
StreamPath streams[kSlots];

PassHook passHook;
const StreamSink *streamSink;
int64_t passHookDelay = kNever;

// Capture progress of a synchronized start; the thread moves 2 -> 3 -> 4 -> 5.
enum StampProgress : int32_t { kReleased = 2, kSent = 3, kAnswered = 4, kDelivered = 5 };

void advanceStamp(int dev, int32_t from, int stampIndex) {
    Slot &slot = slots[dev];
    if (loadAcquire(slot.timestampRequest) != from) return;
    storeRelease(slot.timeStamp[stampIndex], ticksNow());
    storeRelease(slot.timestampRequest, from + 1);
    announceSlotEvent(dev);  // a synchronized start waits for the last stamp
}

// The device is gone. What it sent before is queued already; callers
// waiting on the slot learn of it at once.
void markHungUp(int dev) {
    Slot &slot = slots[dev];
    lines[dev].served = false;
    ringDiscard(slot.outQ);
    setBits(slot.isFatal, kFaultDisconnected);
    storeRelease(slot.lineHungUp, 1);
    announceSlotEvent(dev);
}

void markFailed(int dev) {
    lines[dev].served = false;
    storeRelease(myPortErr[dev], 1);
    announceSlotEvent(dev);
}

void noteLineState(int dev, LineState state) {
    if (state == LineState::hungUp) markHungUp(dev);
    if (state == LineState::failed) markFailed(dev);
}

void startStreaming(int dev) {
    Slot &slot = slots[dev];
    // Before the slot shows it streams: whoever sees it streaming sees the
    // new stream's counts. The request goes down only after: a caller that
    // looks at the request, then at the mark, never finds the slot idle
    // between the two.
    resetStreamStats(dev);
    storeRelease(slot.isStreaming, 1);
    storeRelease(slot.isStreamingRequest, 0);
    resetBlockDecoder(slot.scpiBuf);
    StreamPath &path = streams[dev];
    path.feed = SampleFeed{};
    path.carry.held = 0;
    path.searching = false;
    path.blockLength = -1;
    // The layout was learnt before the start was requested.
    const bool counted = layoutHasCounter(dev);
    restartSequence(path.sequence, counted);
    restartSampleClock(dev, ticksNow());
    // A reader that sees the new generation finds the queue and its marks
    // empty and the stream's numbering in place.
    ringDiscard(slot.scpiQ);
    discardMarks(slot.scpiMarks);
    storeRelease(slot.streamOriginKnown, 0);
    storeRelease(slot.streamCounted, counted ? 1 : 0);
    storeRelease(slot.streamGeneration, loadRelaxed(slot.streamGeneration) + 1);
    if (const StreamSink *sink = loadAcquire(streamSink)) sink->streamStarted(dev);
}

bool stopPending(int dev) {
    return loadAcquire(slots[dev].isStreaming) != 0 && loadAcquire(slots[dev].isStopStreamingRequest) != 0;
}

int64_t stopDueAt(int dev) { return loadAcquire(slots[dev].stopStreamingRequestTimestamp) + kStopQuietTicks + 1; }

// A pending stop ends streaming once the line has been quiet for 50 ms.
void applyStopRule(int dev, int len) {
    Slot &slot = slots[dev];
    if (loadAcquire(slot.isStopStreamingRequest) == 0) return;
    const int64_t now = ticksNow();
    if (len > 0) storeRelease(slot.stopStreamingRequestTimestamp, now);
    if (now - loadAcquire(slot.stopStreamingRequestTimestamp) > kStopQuietTicks) {
        storeRelease(slot.isStopStreamingRequest, 0);
        storeRelease(slot.isStreaming, 0);
        announceSlotEvent(dev);
    }
}

// The callbacks registered now; none while a stop is pending (the payload
// is dropped then).
struct Callbacks {
    kelvoDataCallback data = nullptr;
    SampleCallbackRecord samples{};
    bool any() const { return data != nullptr || samples.callback != nullptr; }
};

Callbacks callbacksOf(int dev) {
    Callbacks now;
    now.data = loadAcquire(myDataCallback[dev]);
    now.samples = sampleCallbacks[dev].read();
    return now;
}

// The stream's first sample sets index 0 for readers of the queue too.
void publishOrigin(int dev, const StreamPath &path, const uint8_t *sample) {
    if (!path.sequence.counted || path.sequence.begun) return;
    storeRelease(slots[dev].streamOrigin, sampleCounter(sample));
    storeRelease(slots[dev].streamOriginKnown, 1);
}

// Numbers whole samples in runs of consecutive indexes, notes each run's
// arrival for the clock (before the callbacks, which get its time) and hands
// it to the callbacks.
void takeSampleRun(int dev, const Callbacks &callbacks, const uint8_t *run, uint32_t count, uint32_t S) {
    StreamPath &path = streams[dev];
    while (count != 0) {
        publishOrigin(dev, path, run);
        int64_t first = 0;
        const uint32_t k = numberRun(path.sequence, run, count, S, &first);
        noteArrival(dev, first + k - 1, k, path.readAt);
        if (callbacks.data != nullptr) callbacks.data(run, static_cast<int>(k * S));
        if (callbacks.samples.callback != nullptr) {
            int64_t firstTicks = 0;
            (void)sampleTicksOf(dev, first, firstTicks);
            callbacks.samples.callback(callbacks.samples.user, run, static_cast<int>(k), first, firstTicks);
        }
        run += size_t{k} * S;
        count -= k;
    }
}

void deliverPayload(int dev, const uint8_t *bytes, uint32_t n) {
    Slot &slot = slots[dev];
    const int64_t sampleBytes = streamSampleBytes(dev);
    StreamPath &path = streams[dev];
    const Callbacks registered = callbacksOf(dev);
    const bool stopping = loadAcquire(slot.isStopStreamingRequest) != 0;
    const Callbacks callbacks = stopping ? Callbacks{} : registered;
    if (carriesWholeSamples(sampleBytes)) {
        const auto S = static_cast<uint32_t>(sampleBytes);
        takeWholeSamples(path.carry, bytes, n, S,
                         [&](const uint8_t *run, uint32_t count) { takeSampleRun(dev, callbacks, run, count, S); });
    } else if (callbacks.data != nullptr) {
        callbacks.data(bytes, static_cast<int>(n));  // no layout: the bytes as they come
    }
    if (registered.any()) {
        bypassFeed(slot.scpiQ, &slot.scpiMarks, path.feed, bytes, n, sampleBytes);
    } else {
        if (const uint32_t dropped = feedSamples(slot.scpiQ, &slot.scpiMarks, path.feed, bytes, n, sampleBytes)) {
            countSamplesDropped(dev, dropped);
            setBits(slot.isFatal, kFaultStreamQueueFull);
        }
        announcePayload(dev, ringFill(slot.scpiQ));
    }
    if (const StreamSink *sink = loadAcquire(streamSink)) sink->payload(dev, bytes, n, sampleBytes);
    advanceStamp(dev, kAnswered, 3);
}

// The slot's decoder failed on the last byte it took: a malformed header or
// a missing terminator. The sample that the broken block was in is lost
// whole, everywhere the payload goes, and the search for the next block
// begins at the byte that broke it.
void breakStream(int dev) {
    StreamPath &path = streams[dev];
    countFramingError(dev);
    setBits(slots[dev].isFatal, kFaultStreamFraming);
    countBytesSkipped(dev, beginBlockSearch(path.search, slots[dev].scpiBuf));
    path.searching = true;
    const bool toCallback = callbacksOf(dev).any();
    const bool queueCut = cutFeed(path.feed);
    const bool carryCut = cutCarry(path.carry);
    // A layout without a counter numbers the cut sample too.
    if (carryCut) skipSamples(path.sequence, 1);
    if (toCallback ? carryCut : queueCut) countSamplesDropped(dev, 1);
    if (const StreamSink *sink = loadAcquire(streamSink)) sink->streamCut(dev);
}

// Returns how many of the n bytes the search looked at.
uint32_t searchNextBlock(int dev, const uint8_t *bytes, uint32_t n) {
    StreamPath &path = streams[dev];
    const SearchRun run = searchBlockHeader(path.search, slots[dev].scpiBuf, bytes, n, path.blockLength);
    countBytesSkipped(dev, run.skipped);
    if (run.found) path.searching = false;
    return run.consumed;
}

// The payload of each stretch between two framing errors is compacted in
// place at the start of that stretch and delivered before the next one is
// decoded, so a cut falls between the right bytes.
void routeStream(int dev, int len, int64_t readAt) {
    applyStopRule(dev, len);
    if (len == 0) return;
    countStreamRead(dev, readAt);
    StreamPath &path = streams[dev];
    path.readAt = readAt;
    const auto n = static_cast<uint32_t>(len);
    for (uint32_t at = 0; at < n;) {
        uint8_t *bytes = tmpBuf + at;
        if (path.searching) {
            at += searchNextBlock(dev, bytes, n - at);
            continue;
        }
        const DecodedRun run = decodeBlockBytes(slots[dev].scpiBuf, bytes, n - at, bytes);
        countDecoded(dev, run.blocks, run.payload);
        if (run.blocks != 0) path.blockLength = run.lastLength;
        if (run.payload != 0) deliverPayload(dev, bytes, run.payload);
        at += run.consumed;
        if (run.failed) {
            breakStream(dev);
            --at;  // the byte that broke the block may be the line end before the next
        }
    }
}

// Command mode: a chunk is accepted only when it is smaller than the free
// space, so a full queue marks a fault on every turn, even an empty one.
// While a kelvoQuery waits, receive() read only what fits, and a turn that
// read nothing because the queue is full is no fault.
void routeAnswer(int dev, int len) {
    Slot &slot = slots[dev];
    const auto count = static_cast<uint32_t>(len);
    if (count == 0 && loadAcquire(slot.queryActive) != 0) return;
    if (count < ringFree(slot.inQ)) {
        if (count == 0) return;
        (void)ringPut(slot.inQ, tmpBuf, count);
        announceSlotEvent(dev);
    } else {
        setBits(slot.isFatal, kFaultResponseQueueFull);
    }
}

bool wantsToTransmit(int dev) { return loadAcquire(doTxQueue) != 0 && ringFill(slots[dev].outQ) != 0; }

// Sends what the line takes now; the rest stays queued, in order, until
// the line has room again.
void transmit(int dev, int fd) {
    Slot &slot = slots[dev];
    if (!wantsToTransmit(dev)) return;
    const uint32_t fill = ringFill(slot.outQ);
    if (fill > kIoScratchSize) {
        setBits(slot.isFatal, kFaultTransmitTooLarge);
        return;
    }
    ringPeek(slot.outQ, tmpBuf, fill);
    const Transfer sent = ttyWrite(fd, tmpBuf, static_cast<int>(fill));
    if (sent.bytes > 0) {
        ringSkip(slot.outQ, static_cast<uint32_t>(sent.bytes));
        advanceStamp(dev, kReleased, 1);
        if (loadAcquire(slot.isStreaming) != 0) noteStartSent(dev, ticksNow());
        // A query waiting for its answer would only wake to sleep again.
        if (loadAcquire(slot.queryActive) != kQueryAwaitsAnswer) announceSlotEvent(dev);
    }
    storeRelease(slot.lineStalled, static_cast<uint32_t>(sent.bytes) < fill ? 1 : 0);
    if (sent.state == LineState::failed) markFailed(dev);
    // Nothing more will go out. The hang-up itself is marked by the reading
    // side, once it has taken what the line still held.
    if (sent.state == LineState::hungUp) ringDiscard(slot.outQ);
}

// How much one read may take. While a kelvoQuery waits on a slot in command
// mode, no more than the response queue can take (a chunk must be smaller
// than its free space), so nothing is dropped; 0 while the queue is full.
int readCapacity(int dev) {
    Slot &slot = slots[dev];
    if (loadAcquire(slot.queryActive) == 0 || loadAcquire(slot.isStreaming) != 0 ||
        loadAcquire(slot.isStreamingRequest) != 0) {
        return static_cast<int>(kIoScratchSize);
    }
    const uint32_t free = ringFree(slot.inQ);
    return static_cast<int>(std::min(free > 0 ? free - 1 : 0, kIoScratchSize));
}

// Whether a line that may hold bytes must stay unread for want of room in
// the response queue. Its reports have been taken, so nothing but the
// query's caller can end the thread's sleep then: the mark asks the caller
// to wake the thread once it has made room. Marking with a read-modify-write
// pairs with the caller's clearing one, and the room is looked at again
// after it: either the caller sees the mark, or the thread sees the room.
bool heldForRoom(int dev) {
    if (readCapacity(dev) != 0) return false;
    (void)exchange(slots[dev].queryReadHeld, 1);
    return readCapacity(dev) == 0;
}

// The watch reports a line when bytes arrive, and one read takes all that
// the tty holds (it hands out at most 4 KiB at a time). A line is read again
// without a new report only while it may hold more: after a read that filled
// the buffer, or after a hang-up, until a read finds what was left. Reading
// a tty that holds nothing makes the kernel wait for input on its way, so
// the thread does not do it without reason. A line left unread because the
// response queue is full stays readable; the query's caller wakes the
// thread once it has made room.
int receive(int dev, int fd, uint32_t events) {
    Line &line = lines[dev];
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) line.readable = true;
    if ((events & (POLLHUP | POLLERR)) != 0) line.hangUpSeen = true;
    if (!line.readable) return 0;
    const int capacity = readCapacity(dev);
    // The sleep that follows marks the line as held for the caller.
    if (capacity == 0) return 0;
    const Transfer got = ttyRead(fd, tmpBuf, capacity);
    noteLineState(dev, got.state);
    line.readable = got.bytes > 0 && (line.hangUpSeen || got.bytes == capacity);
    if (got.bytes == 0 && line.served && line.hangUpSeen) markHungUp(dev);
    return got.bytes;
}

void serveLine(int dev, int fd, uint32_t events) {
    const int len = receive(dev, fd, events);
    const int64_t readAt = ticksNow();
    if (len != 0) advanceStamp(dev, kSent, 2);
    if (loadAcquire(slots[dev].isStreamingRequest) != 0) startStreaming(dev);
    if (loadAcquire(slots[dev].isStreaming) != 0) {
        routeStream(dev, len, readAt);
    } else {
        routeAnswer(dev, len);
    }
    if (lines[dev].served) transmit(dev, fd);
}

void serveOpenRequest(int dev) {
    Slot &slot = slots[dev];
    if (loadAcquire(slot.openRequest) == 0) return;
    storeRelease(slot.isStreaming, 0);
    storeRelease(slot.isStopStreamingRequest, 0);
    storeRelease(slot.isStreamingRequest, 0);
    // Reopening an open slot must not leak the earlier descriptor.
    lineWatch.forget(dev);
    ttyClose(&myPorts[dev]);
    storeRelease(slot.lineHungUp, 0);
    // The hang-up was the earlier line's; the slot's other faults stay
    // until they are cleared.
    clearBits(slot.isFatal, kFaultDisconnected);
    storeRelease(slot.lineStalled, 0);
    lines[dev] = Line{};
    // A path that opens but is no terminal stays unserved: reading a FIFO
    // or a file would block the thread or feed it junk.
    const OpenResult opened = ttyOpen(&myPorts[dev], slot.myPortnames);
    recordOpenOutcome(dev, opened);
    if (opened.outcome == OpenOutcome::ready) {
        lines[dev].served = true;
    } else {
        storeRelease(myPortErr[dev], 1);
    }
    // Lowered last: kelvoOpen reads myPortErr and the open error once it
    // sees the request down.
    storeRelease(slot.openRequest, 0);
    announceSlotEvent(dev);
}

// Whether a closing line still has bytes to get out, and time to do it.
bool stillDraining(int dev, int fd, int64_t now) {
    if (!lines[dev].served || loadAcquire(doTxQueue) == 0) return false;
    if (lines[dev].closeSeenAt == 0) lines[dev].closeSeenAt = now;
    if (now - lines[dev].closeSeenAt >= kCloseDrainTicks) return false;
    return ringFill(slots[dev].outQ) != 0 || ttyOutputPending(fd);
}

void closeLine(int dev) {
    Slot &slot = slots[dev];
    const int fd = loadAcquire(myPorts[dev]);
    if (fd >= 0 && lines[dev].served && (ringFill(slot.outQ) != 0 || ttyOutputPending(fd))) {
        // The device did not take it in time: closing must not wait for it.
        ttyDropOutput(fd);
    }
    ringDiscard(slot.outQ);
    lineWatch.forget(dev);
    ttyClose(&myPorts[dev]);
    lines[dev] = Line{};
    storeRelease(slot.closeRequest, 0);
    announceSlotEvent(dev);
}

void serveCloseRequest(int dev) {
    if (loadAcquire(slots[dev].closeRequest) == 0) return;
    const int fd = loadAcquire(myPorts[dev]);
    if (fd >= 0 && stillDraining(dev, fd, ticksNow())) return;
    closeLine(dev);
}

void takeTurn(int dev, uint32_t events) {
    const int fd = loadAcquire(myPorts[dev]);
    if (fd >= 0 && lines[dev].served) serveLine(dev, fd, events);
    serveOpenRequest(dev);
    serveCloseRequest(dev);
}

// ---- sleeping until something happens ------------------------------------

void updateWatches() {
    for (int dev = 0; dev < kSlots; ++dev) {
        const int fd = loadAcquire(myPorts[dev]);
        if (fd >= 0 && lines[dev].served) {
            lineWatch.watch(dev, fd, wantsToTransmit(dev));
        } else {
            lineWatch.forget(dev);
        }
    }
}

void keepEarliest(int64_t &due, int64_t candidate) {
    if (due == kNever || candidate < due) due = candidate;
}

// The earliest moment a timer falls due, kNever when none is running.
int64_t nextDue(int64_t now) {
    int64_t due = kNever;
    if (passHookDelay >= 0) keepEarliest(due, now + passHookDelay);
    for (int dev = 0; dev < kSlots; ++dev) {
        if (!lines[dev].served) continue;
        // A line waiting for room in the response queue is not due: the
        // query's caller wakes the thread.
        if (lines[dev].readable && !heldForRoom(dev)) keepEarliest(due, now);
        if (stopPending(dev)) keepEarliest(due, stopDueAt(dev));
        if (lines[dev].closeSeenAt != 0) {
            keepEarliest(due, std::min(lines[dev].closeSeenAt + kCloseDrainTicks, now + kCloseRecheckTicks));
        }
    }
    return due;
}

void sleepUntilSomethingHappens() {
    updateWatches();
    const int64_t now = ticksNow();
    const int64_t due = nextDue(now);
    lineWatch.sleep(due == kNever ? -1 : std::max<int64_t>(due - now, 0));
    if (lineWatch.woken()) consumeIoWakeup();
}

// Unloading: lines still closing get no more time.
void closeRemainingLines() {
    for (int dev = 0; dev < kSlots; ++dev) {
        if (loadAcquire(slots[dev].closeRequest) != 0) closeLine(dev);
    }
}

}  // namespace

namespace kelvo {

void registerPassHook(PassHook hook) {
    storeRelease(passHook, hook);
    wakeIoThread();
}

void registerStreamSink(const StreamSink *sink) {
    storeRelease(streamSink, sink);
    wakeIoThread();
}

void *myThread(void *) {
    // Timers wake the thread only for what falls due; the default slack of
    // 50 us would stretch a pass hook's short period by half.
    (void)prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    (void)lineWatch.open(ioWakeupFd());
    while (loadAcquire(terminate) == 0) {
        sleepUntilSomethingHappens();
        if (loadAcquire(terminate) != 0) break;
        for (int dev = 0; dev < kSlots; ++dev) takeTurn(dev, lineWatch.eventsOf(dev));
        const PassHook hook = loadAcquire(passHook);
        passHookDelay = hook != nullptr ? hook() : kNever;
    }
    closeRemainingLines();
    return nullptr;
}

}  // namespace kelvo
