// SPDX-License-Identifier: MIT
// Operations on the single-producer single-consumer ByteRing.
//
// The producer owns `head`, the consumer owns `tail`. Each side reads its own
// index relaxed and the other side's with acquire; the producer copies the
// bytes before it publishes `head` with release, the consumer copies out
// before it publishes `tail` with release. One byte is always kept free so
// that head == tail means empty.
#pragma once

#include <cstdint>

#include "kelvo_lowlevel.h"

namespace kelvo {

// Bytes queued; callable from either side.
uint32_t ringFill(ByteRing &ring);

// Bytes that can still be put; callable from either side.
uint32_t ringFree(ByteRing &ring);

// Producer: append n bytes when n is not above the free space (all or
// nothing). Returns whether they were taken.
bool ringPut(ByteRing &ring, const void *bytes, uint32_t n);

// Producer: copy n bytes to the place `offset` bytes past the end of what
// is queued, without queueing them; offset + n must not exceed the free
// space. The consumer sees them only once ringPublish covers them.
void ringStage(ByteRing &ring, uint32_t offset, const void *bytes, uint32_t n);

// Producer: queue the next n bytes, staged before; n must not exceed the
// free space.
void ringPublish(ByteRing &ring, uint32_t n);

// Consumer: copy n bytes out and release them; n must not exceed the fill.
void ringTake(ByteRing &ring, void *destination, uint32_t n);

// Consumer: copy the first n bytes out but keep them queued; n must not
// exceed the fill.
void ringPeek(ByteRing &ring, void *destination, uint32_t n);

// Consumer: release n bytes without copying them; n must not exceed the fill.
void ringSkip(ByteRing &ring, uint32_t n);

// Consumer (or a side that knows the other is idle): drop everything queued.
void ringDiscard(ByteRing &ring);

// Empty the ring by resetting both indexes; only while neither side uses it.
// Its memory and size never change: the rings are set up statically.
void ringReset(ByteRing &ring);

}  // namespace kelvo
