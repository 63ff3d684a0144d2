// SPDX-License-Identifier: MIT
#include "byteRing.h"

#include <cstring>

#include "atomics.h"

namespace kelvo {
namespace {

uint32_t fillOf(uint32_t head, uint32_t tail, uint32_t size) { return head >= tail ? head - tail : head + size - tail; }

uint32_t advance(uint32_t index, uint32_t n, uint32_t size) {
    uint32_t next = index + n;
    return next >= size ? next - size : next;
}

// Copies n bytes into the ring's memory from index `at` on, wrapping at the end.
void copyIn(ByteRing &ring, uint32_t at, const void *bytes, uint32_t n) {
    const auto *source = static_cast<const uint8_t *>(bytes);
    const uint32_t toEnd = ring.size - at;
    if (n > toEnd) {
        std::memcpy(ring.buffer + at, source, toEnd);
        std::memcpy(ring.buffer, source + toEnd, n - toEnd);
    } else if (n > 0) {
        std::memcpy(ring.buffer + at, source, n);
    }
}

}  // namespace

uint32_t ringFill(ByteRing &ring) { return fillOf(loadAcquire(ring.head), loadAcquire(ring.tail), ring.size); }

uint32_t ringFree(ByteRing &ring) { return ring.size - 1 - ringFill(ring); }

void ringStage(ByteRing &ring, uint32_t offset, const void *bytes, uint32_t n) {
    copyIn(ring, advance(loadRelaxed(ring.head), offset, ring.size), bytes, n);
}

void ringPublish(ByteRing &ring, uint32_t n) { storeRelease(ring.head, advance(loadRelaxed(ring.head), n, ring.size)); }

bool ringPut(ByteRing &ring, const void *bytes, uint32_t n) {
    const uint32_t head = loadRelaxed(ring.head);
    const uint32_t tail = loadAcquire(ring.tail);
    if (n > ring.size - 1 - fillOf(head, tail, ring.size)) return false;
    copyIn(ring, head, bytes, n);
    storeRelease(ring.head, advance(head, n, ring.size));
    return true;
}

void ringPeek(ByteRing &ring, void *destination, uint32_t n) {
    const uint32_t tail = loadRelaxed(ring.tail);
    auto *target = static_cast<uint8_t *>(destination);
    const uint32_t toEnd = ring.size - tail;
    if (n > toEnd) {
        std::memcpy(target, ring.buffer + tail, toEnd);
        std::memcpy(target + toEnd, ring.buffer, n - toEnd);
    } else if (n > 0) {
        std::memcpy(target, ring.buffer + tail, n);
    }
}

void ringTake(ByteRing &ring, void *destination, uint32_t n) {
    ringPeek(ring, destination, n);
    ringSkip(ring, n);
}

void ringSkip(ByteRing &ring, uint32_t n) { storeRelease(ring.tail, advance(loadRelaxed(ring.tail), n, ring.size)); }

void ringDiscard(ByteRing &ring) { storeRelease(ring.tail, loadAcquire(ring.head)); }

void ringReset(ByteRing &ring) {
    storeRelease(ring.tail, 0u);
    storeRelease(ring.head, 0u);
}

}  // namespace kelvo
