// The I/O service thread. It sleeps in poll() on the lines it serves and on
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
#include "byteRing.h"
#include "clock.h"
#include "ioHooks.h"
#include "sampleFeed.h"
#include "slots.h"
#include "streamLayout.h"
#include "tty.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

// A closing line gets this long to take what is still queued for it.
constexpr int64_t kCloseDrainTicks = 500 * kTicksPerMs;
// While a closing line's own output buffer drains, look again this often:
// poll() tells when there is room, not when the buffer is empty.
constexpr int64_t kCloseRecheckTicks = 5 * kTicksPerMs;
// Without a wake-up descriptor the thread looks at its tables this often.
constexpr int64_t kFallbackWakeTicks = kTicksPerMs;
constexpr int64_t kNever = -1;
constexpr unsigned long kTimerSlackNs = 10000;
// The most a tty hands out in one read.
constexpr uint32_t kTtyReadChunk = 4096;

// The thread's own view of a slot's line.
struct Line {
    bool served = false;      // a terminal, neither hung up nor failed: read and written
    int64_t closeSeenAt = 0;  // when the pending close was first seen, 0 when none
};

Line lines[kSlots];
// Keep the stream queues in whole samples; only this thread touches them.
SampleFeed streamFeed[kSlots];

PassHook passHook;
const StreamSink *streamSink;
int64_t passHookDelay = kNever;

// Capture progress of a synchronized start; the thread moves 2 -> 3 -> 4 -> 5.
enum StampProgress : int32_t { kReleased = 2, kSent = 3, kAnswered = 4, kDelivered = 5 };

void advanceStamp(int dev, int32_t from, int stampIndex) {
    if (loadAcquire(timestampRequest[dev]) != from) return;
    storeRelease(timeStamp[4 * stampIndex + dev], ticksNow());
    storeRelease(timestampRequest[dev], from + 1);
}

// The device is gone. What it sent before is queued already; callers
// waiting on the slot learn of it at once.
void markHungUp(int dev) {
    lines[dev].served = false;
    ringDiscard(outQ[dev]);
    setBits(isFatal[dev], kFaultDisconnected);
    storeRelease(lineHungUp[dev], 1);
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
    storeRelease(isStreamingRequest[dev], 0);
    storeRelease(isStreaming[dev], 1);
    ringDiscard(scpiQ[dev]);
    SCPIdecoderReset(&scpiBuf[dev]);
    streamFeed[dev] = SampleFeed{};
    if (const StreamSink *sink = loadAcquire(streamSink)) sink->streamStarted(dev);
}

bool stopPending(int dev) {
    return loadAcquire(isStreaming[dev]) != 0 && loadAcquire(isStopStreamingRequest[dev]) != 0;
}

int64_t stopDueAt(int dev) { return loadAcquire(stopStreamingRequestTimestamp[dev]) + kStopQuietTicks + 1; }

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
    if (const StreamSink *sink = loadAcquire(streamSink)) sink->payload(dev, tmpBuf, n, sampleBytes);
    advanceStamp(dev, kAnswered, 3);
    announceSlotEvent(dev);
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
        if (count == 0) return;
        (void)ringPut(inQ[dev], tmpBuf, count);
        announceSlotEvent(dev);
    } else {
        setBits(isFatal[dev], kFaultResponseQueueFull);
    }
}

bool wantsToTransmit(int dev) { return loadAcquire(doTxQueue) != 0 && ringFill(outQ[dev]) != 0; }

// Sends what the line takes now; the rest stays queued, in order, until
// the line has room again.
void transmit(int dev, int fd) {
    if (!wantsToTransmit(dev)) return;
    const uint32_t fill = ringFill(outQ[dev]);
    if (fill > kIoScratchSize) {
        setBits(isFatal[dev], kFaultTransmitTooLarge);
        return;
    }
    ringPeek(outQ[dev], tmpBuf, fill);
    const Transfer sent = ttyWrite(fd, tmpBuf, static_cast<int>(fill));
    if (sent.bytes > 0) {
        ringSkip(outQ[dev], static_cast<uint32_t>(sent.bytes));
        advanceStamp(dev, kReleased, 1);
        announceSlotEvent(dev);
    }
    storeRelease(lineStalled[dev], static_cast<uint32_t>(sent.bytes) < fill ? 1 : 0);
    noteLineState(dev, sent.state);
}

// Reads what the line holds. A tty hands out at most one buffer (4 KiB) per
// read; a stream reads on while more keeps coming, which saves a sleep and
// a wake-up per buffer. Answers are read once per turn, so that each chunk
// is judged against the response queue's room on its own. A hung-up line
// still hands out what it held; it reads as nothing (or EIO) once that is
// gone.
int receive(int dev, int fd, short events) {
    if ((events & (POLLIN | POLLHUP | POLLERR)) == 0) return 0;
    const bool readOn = loadAcquire(isStreaming[dev]) != 0 || loadAcquire(isStreamingRequest[dev]) != 0;
    int total = 0;
    Transfer got{};
    do {
        got = ttyRead(fd, tmpBuf + total, static_cast<int>(kIoScratchSize) - total);
        total += got.bytes;
    } while (readOn && got.bytes > 0 && got.state == LineState::ok && kIoScratchSize - total >= kTtyReadChunk);
    noteLineState(dev, got.state);
    if (total == 0 && lines[dev].served && (events & (POLLHUP | POLLERR)) != 0) markHungUp(dev);
    return total;
}

void serveLine(int dev, int fd, short events) {
    if ((events & POLLNVAL) != 0) {
        markFailed(dev);
        return;
    }
    const int len = receive(dev, fd, events);
    if (len != 0) advanceStamp(dev, kSent, 2);
    if (loadAcquire(isStreamingRequest[dev]) != 0) startStreaming(dev);
    if (loadAcquire(isStreaming[dev]) != 0) {
        routeStream(dev, len);
    } else {
        routeAnswer(dev, len);
    }
    if (lines[dev].served) transmit(dev, fd);
}

void serveOpenRequest(int dev) {
    if (loadAcquire(openRequest[dev]) == 0) return;
    storeRelease(isStreaming[dev], 0);
    storeRelease(isStopStreamingRequest[dev], 0);
    storeRelease(isStreamingRequest[dev], 0);
    // Reopening an open slot must not leak the earlier descriptor.
    ttyClose(&myPorts[dev]);
    storeRelease(lineHungUp[dev], 0);
    storeRelease(lineStalled[dev], 0);
    lines[dev] = Line{};
    // A path that opens but is no terminal stays unserved: reading a FIFO
    // or a file would block the thread or feed it junk.
    if (ttyOpen(&myPorts[dev], myPortnames[dev]) == 0) {
        lines[dev].served = true;
    } else {
        storeRelease(myPortErr[dev], 1);
    }
    // Lowered last: kelvoOpen reads myPortErr once it sees the request down.
    storeRelease(openRequest[dev], 0);
    announceSlotEvent(dev);
}

// Whether a closing line still has bytes to get out, and time to do it.
bool stillDraining(int dev, int fd, int64_t now) {
    if (!lines[dev].served || loadAcquire(doTxQueue) == 0) return false;
    if (lines[dev].closeSeenAt == 0) lines[dev].closeSeenAt = now;
    if (now - lines[dev].closeSeenAt >= kCloseDrainTicks) return false;
    return ringFill(outQ[dev]) != 0 || ttyOutputPending(fd);
}

void closeLine(int dev) {
    const int fd = loadAcquire(myPorts[dev]);
    if (fd >= 0 && lines[dev].served && (ringFill(outQ[dev]) != 0 || ttyOutputPending(fd))) {
        // The device did not take it in time: closing must not wait for it.
        ttyDropOutput(fd);
    }
    ringDiscard(outQ[dev]);
    ttyClose(&myPorts[dev]);
    lines[dev] = Line{};
    storeRelease(closeRequest[dev], 0);
    announceSlotEvent(dev);
}

void serveCloseRequest(int dev) {
    if (loadAcquire(closeRequest[dev]) == 0) return;
    const int fd = loadAcquire(myPorts[dev]);
    if (fd >= 0 && stillDraining(dev, fd, ticksNow())) return;
    closeLine(dev);
}

void takeTurn(int dev, short events) {
    const int fd = loadAcquire(myPorts[dev]);
    if (fd >= 0 && lines[dev].served) serveLine(dev, fd, events);
    serveOpenRequest(dev);
    serveCloseRequest(dev);
}

// ---- sleeping until something happens ------------------------------------

struct PollSet {
    pollfd fds[kSlots + 1];
    int slotOf[kSlots + 1];
    nfds_t count = 0;

    void add(int fd, short events, int dev) {
        fds[count] = pollfd{fd, events, 0};
        slotOf[count] = dev;
        ++count;
    }

    short eventsOf(int dev) const {
        for (nfds_t i = 0; i < count; ++i) {
            if (slotOf[i] == dev) return fds[i].revents;
        }
        return 0;
    }
};

PollSet linesToWatch() {
    PollSet set;
    if (ioWakeupFd() >= 0) set.add(ioWakeupFd(), POLLIN, -1);
    for (int dev = 0; dev < kSlots; ++dev) {
        const int fd = loadAcquire(myPorts[dev]);
        if (fd < 0 || !lines[dev].served) continue;
        set.add(fd, static_cast<short>(POLLIN | (wantsToTransmit(dev) ? POLLOUT : 0)), dev);
    }
    return set;
}

void keepEarliest(int64_t &due, int64_t candidate) {
    if (due == kNever || candidate < due) due = candidate;
}

// The earliest moment a timer falls due, kNever when none is running.
int64_t nextDue(int64_t now) {
    int64_t due = kNever;
    if (ioWakeupFd() < 0) keepEarliest(due, now + kFallbackWakeTicks);
    if (passHookDelay >= 0) keepEarliest(due, now + passHookDelay);
    for (int dev = 0; dev < kSlots; ++dev) {
        if (!lines[dev].served) continue;
        if (stopPending(dev)) keepEarliest(due, stopDueAt(dev));
        if (lines[dev].closeSeenAt != 0) {
            keepEarliest(due, std::min(lines[dev].closeSeenAt + kCloseDrainTicks, now + kCloseRecheckTicks));
        }
    }
    return due;
}

void sleepUntilSomethingHappens(PollSet &set) {
    const int64_t now = ticksNow();
    const int64_t due = nextDue(now);
    timespec timeout{};
    if (due != kNever) {
        const int64_t wait = std::max<int64_t>(due - now, 0);
        timeout = {static_cast<time_t>(wait / kTicksPerSecond), static_cast<long>(wait % kTicksPerSecond) * 100};
    }
    if (ppoll(set.fds, set.count, due == kNever ? nullptr : &timeout, nullptr) < 0) {
        for (nfds_t i = 0; i < set.count; ++i) set.fds[i].revents = 0;
    }
}

// Unloading: lines still closing get no more time.
void closeRemainingLines() {
    for (int dev = 0; dev < kSlots; ++dev) {
        if (loadAcquire(closeRequest[dev]) != 0) closeLine(dev);
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

}  // namespace kelvo

void *myThread(void *) {
    // Timers wake the thread only for what falls due; the default slack of
    // 50 us would add to the bus's delivery time.
    (void)prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    while (loadAcquire(terminate) == 0) {
        PollSet set = linesToWatch();
        sleepUntilSomethingHappens(set);
        if (loadAcquire(terminate) != 0) break;
        consumeIoWakeup();
        for (int dev = 0; dev < kSlots; ++dev) takeTurn(dev, set.eventsOf(dev));
        const PassHook hook = loadAcquire(passHook);
        passHookDelay = hook != nullptr ? hook() : kNever;
    }
    closeRemainingLines();
    return nullptr;
}
