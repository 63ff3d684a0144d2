// SPDX-License-Identifier: MIT
// Takes the streams of up to four slots through the library's sample
// callback and hands them to one consumer thread.
//
// The callback runs on the library's I/O thread and only copies each run of
// whole samples into the slot's ChunkQueue with its stream index and arrival
// tick; all slow work happens on the consumer's side. A chunk lost to a full
// queue costs the samples it held, whole: the samples after it keep their
// index, so the loss shows as a jump in it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "chunkQueue.h"

namespace kelvo::recording {

// Whole samples of one device, consecutive in its stream.
struct Batch {
    int device = 0;                        // position in the capture's slot list
    uint64_t firstSample = 0;              // the library's stream index of the first sample
    uint32_t count = 0;                    // samples
    const unsigned char *bytes = nullptr;  // count × sample size
    int64_t ticks = 0;                     // when these samples arrived
};

class StreamCapture {
public:
    struct Source {
        int slot;
        int sampleBytes;
    };
    explicit StreamCapture(const std::vector<Source> &sources);
    ~StreamCapture();  // detaches
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;

    // Registers (removes) the sample callbacks; attach before the streams start.
    void attach();
    // Registers one device's callback again, for its slot opened anew.
    void attach(int device);
    void detach();

    // Consumer: sleeps until data came, `alsoWake` (a descriptor, -1 for
    // none) became readable or `timeout` passed, then hands every batch
    // queued so far to `sink`. False when it found nothing.
    bool drain(std::chrono::milliseconds timeout, const std::function<void(const Batch &)> &sink, int alsoWake = -1);

    // Samples of a device lost between the library and the consumer (a
    // full queue). Any thread.
    uint64_t lostSamples(int device) const;
    size_t size() const { return devices_.size(); }

private:
    // Stays where it is from construction on: the callback's user pointer.
    struct Device {
        Source source;
        std::unique_ptr<ChunkQueue> queue;
        std::vector<unsigned char> chunk;  // one popped chunk
    };
    static void onSamples(void *user, const void *samples, int count, int64_t firstIndex, int64_t firstTicks);
    std::vector<std::unique_ptr<Device>> devices_;
    bool attached_ = false;
};

}  // namespace kelvo::recording
