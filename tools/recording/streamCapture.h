// SPDX-License-Identifier: MIT
// Takes the streams of up to four slots through the library's data
// callback and hands them, cut into whole samples, to one consumer thread.
//
// The callback runs on the library's I/O thread and only copies each chunk
// into the slot's ChunkQueue with its arrival tick; all slow work happens on
// the consumer's side. A chunk lost to a full queue costs the samples it
// touched, whole: the samples after it keep their place and their index.
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
    uint64_t firstSample = 0;              // index of the first sample in the device's stream
    uint32_t count = 0;                    // samples
    const unsigned char *bytes = nullptr;  // count × sample size
    int64_t ticks = 0;                     // when the first byte of these samples arrived
};

// Cuts one device's chunks, as they come out of its queue, into batches of
// whole samples, keeping each sample's index in the stream across lost
// chunks. The consumer's alone.
class SampleAssembler {
public:
    SampleAssembler(int device, int sampleBytes, size_t maxChunk);
    // `bytes` holds chunk.length bytes.
    void take(const Chunk &chunk, const unsigned char *bytes, const std::function<void(const Batch &)> &sink);
    uint64_t lost() const { return lost_; }
    uint64_t samples() const { return nextSample_; }

private:
    int device_;
    uint64_t size_;
    std::vector<unsigned char> out_;  // a partial sample, then whole ones
    size_t pending_ = 0;              // bytes of a partial sample in `out_`
    int64_t pendingTicks_ = 0;
    uint64_t expected_ = 0;   // stream offset of the next byte
    uint64_t alignBase_ = 0;  // a stream offset where a sample begins
    uint64_t baseIndex_ = 0;  // the index of that sample
    uint64_t skip_ = 0;       // bytes still to pass up to a sample start
    uint64_t nextSample_ = 0;
    uint64_t lost_ = 0;
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

    // Registers (removes) the data callbacks; attach before the streams start.
    void attach();
    void detach();

    // Consumer: sleeps until data came or `timeout` passed, then hands every
    // whole-sample batch queued so far to `sink`. False when it timed out
    // with nothing.
    bool drain(std::chrono::milliseconds timeout, const std::function<void(const Batch &)> &sink);

    // Consumer: samples lost between the queue and the consumer (a full
    // queue) of a device, and the samples handed out so far.
    uint64_t lostSamples(int device) const { return devices_[static_cast<size_t>(device)].assembler.lost(); }
    uint64_t samples(int device) const { return devices_[static_cast<size_t>(device)].assembler.samples(); }
    size_t size() const { return devices_.size(); }

private:
    struct Device {
        Source source;
        std::unique_ptr<ChunkQueue> queue;
        std::vector<unsigned char> chunk;  // one popped chunk
        SampleAssembler assembler;
    };
    std::vector<Device> devices_;
    bool attached_ = false;
};

}  // namespace kelvo::recording
