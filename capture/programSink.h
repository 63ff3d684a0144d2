// SPDX-License-Identifier: MIT
// The program's own share of a session's samples: decoded batches handed
// to a callback on the consumer thread, or queued for a reader that sleeps
// until they come (kelvoCaptureRead). The queue is a single-producer
// single-consumer ring; a batch that finds it full is dropped whole and
// counted, so a slow reader costs the other sinks nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "chunkQueue.h"
#include "kelvo_capture.h"
#include "session.h"

namespace kelvo::capture {

class ProgramSink : public Sink {
public:
    using Callback = std::function<void(const kelvoCaptureBatch &)>;
    // With a callback every batch goes to it; without one they are queued.
    ProgramSink(const Session &session, Callback callback);
    ~ProgramSink() override;

    void take(const SessionBatch &batch) override;
    void finished(const Session &) override;
    uint64_t droppedSamples(int device) const override;

    enum class Read { batch, timedOut, ended };
    // The reader: the oldest queued batch, valid until the next read;
    // waits up to `timeout` (negative: for ever).
    Read read(kelvoCaptureBatch &batch, std::chrono::milliseconds timeout);

private:
    bool pop(kelvoCaptureBatch &batch);

    const Session &session_;
    Callback callback_;
    std::unique_ptr<recording::ChunkQueue> queue_;
    std::vector<unsigned char> scratch_;  // the consumer's: one batch being queued
    // The reader's: the batch handed out. As large as the queue's biggest
    // batch, but left uninitialised, so that only the pages batches use
    // become resident.
    std::unique_ptr<unsigned char[]> taken_;
    std::unique_ptr<std::atomic<uint64_t>[]> dropped_;
    std::atomic<bool> finished_{false};
    int finishedFd_ = -1;  // eventfd: wakes a sleeping reader at the end
};

}  // namespace kelvo::capture
