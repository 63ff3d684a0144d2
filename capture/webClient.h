// SPDX-License-Identifier: MIT
// One browser's WebSocket: its own bounded queue of frames and its own
// writer thread, so that a browser that stops reading stalls nobody but
// itself. The view thread offers it frames (dropped and counted when the
// queue is full); the writer sends them through civetweb; civetweb's
// close handler stops the writer; then the view thread deletes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "chunkQueue.h"
#include "latencyHistogram.h"
#include "webFrames.h"

struct mg_connection;

namespace kelvo::recording {

class WebSocketClient {
public:
    static constexpr size_t kQueueBytes = 1 << 20;
    static constexpr size_t kQueueFrames = 64;

    WebSocketClient();
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient &) = delete;
    WebSocketClient &operator=(const WebSocketClient &) = delete;

    // civetweb's thread of the connection: once it is open, and once it
    // closed (waits for the writer to let go of it).
    void open(mg_connection *connection);
    void close();
    bool opened() const { return opened_.load(std::memory_order_acquire); }
    bool finished() const { return finished_.load(std::memory_order_acquire); }

    // The view thread's. `frame` is numbered for this socket (its
    // sequence written at kSequenceOffset); `oldestArrival` (ticks, 0 for
    // none) is kept to measure the page's latency once it tells it drew
    // the frame. False when the frame was dropped.
    bool offer(FrameWriter &frame, int64_t oldestArrival);
    bool offerText(const std::string &text);
    uint64_t framesNotSent() const { return notSent_.load(std::memory_order_relaxed); }

    // civetweb's thread of the connection: the page drew up to `sequence`;
    // adds the latency of each frame since the last it told of.
    void drawn(uint32_t sequence, int64_t nowTicks, LatencyHistogram &latency, std::mutex &latencyMutex);

private:
    void write();

    mg_connection *connection_ = nullptr;
    ChunkQueue queue_{kQueueBytes, kQueueFrames};
    std::vector<unsigned char> sending_;
    int stopFd_ = -1;
    std::thread writer_;
    std::atomic<bool> opened_{false}, finished_{false};

    uint32_t sequence_ = 0;  // the next frame's, the view thread's
    std::atomic<uint64_t> notSent_{0};
    // The arrival stamp of the frames sent last, by sequence.
    static constexpr size_t kStamps = 256;
    struct Stamp {
        std::atomic<uint32_t> sequence{UINT32_MAX};
        std::atomic<int64_t> arrival{0};
    };
    Stamp stamps_[kStamps];
    bool drewAny_ = false;
    uint32_t lastDrawn_ = 0;  // the connection thread's
};

}  // namespace kelvo::recording
