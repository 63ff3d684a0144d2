// SPDX-License-Identifier: MIT
// What other layers attach to the I/O thread. The thread knows nothing of
// them beyond these registrations, which their owners make when they start.
#pragma once

#include <cstdint>

namespace kelvo {

// Runs on the I/O thread at the end of every pass. Returns how many ticks
// may pass before it wants to run again, or a negative number when only the
// next event need wake the thread.
using PassHook = int64_t (*)();

// Receives a copy of every streaming slot's payload, on the I/O thread,
// after the data callback and the stream queue had theirs. streamCut says
// that the stream broke off (a malformed block): the sample it was in is
// lost, and the next payload byte starts a new sample.
struct StreamSink {
    void (*streamStarted)(int dev);
    void (*payload)(int dev, const uint8_t *bytes, uint32_t count, int64_t sampleBytes);
    void (*streamCut)(int dev);
};

// One of each; registering again replaces it, null removes it. Safe from
// any thread; the thread picks the change up at its next pass.
void registerPassHook(PassHook hook);
void registerStreamSink(const StreamSink *sink);

}  // namespace kelvo
