// SPDX-License-Identifier: MIT
// kelvoQuery: one command and exactly one complete answer, parsed straight
// into the caller's buffer while the answer arrives. The I/O thread moves
// the bytes; while the call waits it reads the slot's tty only as far as the
// response queue has room, and the call makes room as it goes.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "atomics.h"
#include "byteRing.h"
#include "clock.h"
#include "errors.h"
#include "queueCommandLine.h"
#include "slots.h"
#include "streamLayout.h"
#include "wakeups.h"

using namespace kelvo;

namespace {

constexpr int kDefaultTimeoutMs = 1000;
constexpr SlotNeeds kSlotNeeds{.open = true, .healthyPort = true, .connected = true};

// Cuts one answer out of the bytes as they come: a text up to a line feed
// (a CR right before it dropped), or, for an answer that begins with a valid
// definite-length block header, the block's payload up to the CR or LF after
// it. A '#' that starts no valid header makes the answer a text. What does
// not fit into the buffer is counted but not stored.
class AnswerParser {
public:
    AnswerParser(char *out, int capacity) : out_(out), capacity_(capacity) {}

    // Takes bytes until the answer is complete; returns how many it took.
    uint32_t feed(const uint8_t *bytes, uint32_t count) {
        uint32_t at = 0;
        while (at < count && phase_ != Phase::complete) {
            if (phase_ == Phase::payload) {
                at += takePayload(bytes + at, count - at);
            } else {
                take(static_cast<char>(bytes[at++]));
            }
        }
        return at;
    }

    bool complete() const { return phase_ == Phase::complete; }
    bool binary() const { return binary_; }
    // The answer's length: the text's or the declared payload's.
    int64_t length() const { return binary_ ? declared_ : length_; }
    // The longest answer of this kind the buffer holds.
    int64_t room() const { return binary_ ? capacity_ : capacity_ - 1; }
    bool fits() const { return length() <= room(); }

    void terminateText() const { out_[std::min<int64_t>(length_, capacity_ - 1)] = '\0'; }

private:
    enum class Phase { first, text, blockDigitCount, blockLength, payload, blockEnd, complete };

    void take(char c) {
        switch (phase_) {
            case Phase::first:
                phase_ = c == '#' ? Phase::blockDigitCount : Phase::text;
                if (c == '#') {
                    header_[headerLength_++] = c;
                } else {
                    takeText(c);
                }
                break;
            case Phase::text: takeText(c); break;
            case Phase::blockDigitCount:
                if (c < '1' || c > '9') return fallBackToText(c);
                header_[headerLength_++] = c;
                digitsLeft_ = c - '0';
                phase_ = Phase::blockLength;
                break;
            case Phase::blockLength:
                if (c < '0' || c > '9') return fallBackToText(c);
                header_[headerLength_++] = c;
                declared_ = declared_ * 10 + (c - '0');
                if (--digitsLeft_ == 0) {
                    binary_ = true;
                    phase_ = declared_ == 0 ? Phase::blockEnd : Phase::payload;
                }
                break;
            case Phase::blockEnd:
                // Anything between the payload and its terminator is dropped.
                if (c == '\n' || c == '\r') phase_ = Phase::complete;
                break;
            case Phase::payload:
            case Phase::complete: break;
        }
    }

    uint32_t takePayload(const uint8_t *bytes, uint32_t count) {
        const auto n = static_cast<uint32_t>(std::min<int64_t>(count, declared_ - payloadSeen_));
        if (payloadSeen_ < capacity_) {
            const auto stored = static_cast<size_t>(std::min<int64_t>(n, capacity_ - payloadSeen_));
            std::memcpy(out_ + payloadSeen_, bytes, stored);
        }
        payloadSeen_ += n;
        if (payloadSeen_ == declared_) phase_ = Phase::blockEnd;
        return n;
    }

    // A CR is held back until the byte after it shows whether it ends the line.
    void takeText(char c) {
        if (c == '\n') {
            phase_ = Phase::complete;
            return;
        }
        if (pendingCr_) store('\r');
        pendingCr_ = c == '\r';
        if (!pendingCr_) store(c);
    }

    void store(char c) {
        if (length_ < capacity_ - 1) out_[length_] = c;
        ++length_;
    }

    void fallBackToText(char c) {
        phase_ = Phase::text;
        declared_ = 0;
        for (int i = 0; i < headerLength_; ++i) store(header_[i]);
        takeText(c);
    }

    char *out_;
    int64_t capacity_;
    Phase phase_ = Phase::first;
    int64_t length_ = 0;
    bool pendingCr_ = false;
    bool binary_ = false;
    char header_[11] = {};
    int headerLength_ = 0;
    int digitsLeft_ = 0;
    int64_t declared_ = 0;
    int64_t payloadSeen_ = 0;
};

// After the caller made room in the response queue: when the I/O thread has
// left bytes in the tty for want of room, it is woken to read on. Clearing
// the mark with a read-modify-write pairs with the thread's setting it:
// either this sees the mark or the thread, looking at the room after it set
// the mark, sees the room made here.
void releaseHeldRead(int dev) {
    if (exchange(slots[dev].queryReadHeld, 0) != 0) wakeIoThread();
}

// Feeds what the response queue holds to the parser, leaving bytes past the
// answer's end queued.
void drainInto(int dev, AnswerParser &parser) {
    Slot &slot = slots[dev];
    uint8_t chunk[4096];
    uint32_t fill = ringFill(slot.inQ);
    while (fill != 0 && !parser.complete()) {
        const uint32_t n = std::min<uint32_t>(fill, sizeof chunk);
        ringPeek(slot.inQ, chunk, n);
        const uint32_t used = parser.feed(chunk, n);
        ringSkip(slot.inQ, used);
        fill = used == n ? ringFill(slot.inQ) : 0;
    }
    releaseHeldRead(dev);
}

// Keeps `message` as the slot's error text and returns `result`.
int fail(int dev, int result, const char *message) {
    buildErrMsg(dev, "kelvoQuery", message);
    return result;
}

int refuse(int dev, const char *message) { return fail(dev, -1, message); }

// Lowers the slot's query mark on every way out; a read held back for want
// of room goes on at full size (the dropped stale bytes made room).
struct QueryMark {
    QueryMark(int slot, int32_t waitsFor) : dev(slot) { storeRelease(slots[dev].queryActive, waitsFor); }
    ~QueryMark() {
        storeRelease(slots[dev].queryActive, 0);
        releaseHeldRead(dev);
    }
    QueryMark(const QueryMark &) = delete;
    QueryMark &operator=(const QueryMark &) = delete;
    int dev;
};

// A command without '?': done once the I/O thread has written it.
int awaitSent(int dev, char *answer, int64_t deadline, int timeoutMs) {
    const bool sent =
        awaitSlotUntil(dev, deadline, [dev] { return ringFill(slots[dev].outQ) == 0 || lineIsHungUp(dev); });
    if (refuseSlot("kelvoQuery", dev, kSlotNeeds)) return -1;
    if (!sent) {
        char message[64];
        std::snprintf(message, sizeof message, "command not sent within %d ms", timeoutMs);
        return fail(dev, -2, message);
    }
    answer[0] = '\0';
    return 0;
}

int awaitAnswer(int dev, char *answer, int capacity, int64_t deadline, int timeoutMs, int *isBinary) {
    AnswerParser parser(answer, capacity);
    for (;;) {
        const bool ready =
            awaitSlotUntil(dev, deadline, [dev] { return ringFill(slots[dev].inQ) != 0 || lineIsHungUp(dev); });
        drainInto(dev, parser);
        if (parser.complete()) break;
        if (refuseSlot("kelvoQuery", dev, kSlotNeeds)) return -1;
        if (!ready) {
            char message[64];
            std::snprintf(message, sizeof message, "no complete answer within %d ms", timeoutMs);
            return fail(dev, -2, message);
        }
    }
    if (!parser.fits()) {
        char message[64];
        std::snprintf(message, sizeof message, "answer longer than %lld bytes", static_cast<long long>(parser.room()));
        return fail(dev, -3, message);
    }
    if (parser.binary()) {
        *isBinary = 1;
    } else {
        parser.terminateText();
    }
    return static_cast<int>(parser.length());
}

}  // namespace

extern "C" KELVO_API int kelvoQuery(int dev, const char *command, void *answer, int capacity, int timeoutMs,
                                    int *isBinary) noexcept {
    if (isBinary != nullptr) *isBinary = 0;
    if (refuseSlot("kelvoQuery", dev, kSlotNeeds)) return -1;
    if (command == nullptr || answer == nullptr || isBinary == nullptr) {
        return refuse(dev, "command, answer and isBinary must not be NULL");
    }
    if (capacity < 1) return refuse(dev, "capacity must be at least 1");
    if (loadAcquire(slots[dev].isStreaming) != 0 || loadAcquire(slots[dev].isStreamingRequest) != 0) {
        return refuse(dev, "slot is streaming");
    }
    if (ringFree(slots[dev].outQ) < std::strlen(command) + 1) {
        return refuse(dev, "no room for the command in the transmit queue");
    }
    auto *const out = static_cast<char *>(answer);
    out[0] = '\0';
    if (timeoutMs <= 0) timeoutMs = kDefaultTimeoutMs;
    const int64_t deadline = ticksNow() + int64_t{timeoutMs} * kTicksPerMs;

    const bool isQuery = std::strchr(command, '?') != nullptr;
    const QueryMark mark(dev, isQuery ? kQueryAwaitsAnswer : kQueryAwaitsSending);
    ringDiscard(slots[dev].inQ);  // stale bytes of an earlier exchange
    learnStreamLayout(dev, command);
    queueCommandLine(dev, command, 0, kFaultCommandNoRoom);
    if (!isQuery) return awaitSent(dev, out, deadline, timeoutMs);
    const int result = awaitAnswer(dev, out, capacity, deadline, timeoutMs, isBinary);
    if (result < 0) out[0] = '\0';
    return result;
}
