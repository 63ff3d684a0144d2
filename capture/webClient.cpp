// SPDX-License-Identifier: MIT
#include "webClient.h"

#include <civetweb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "webFrames.h"

namespace kelvo::recording {

namespace {

// How a queued chunk says which kind of WebSocket message it is.
constexpr int64_t kText = 1;
constexpr int64_t kBinary = 2;

}  // namespace

WebSocketClient::WebSocketClient() : sending_(queue_.maxChunk()) {
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

WebSocketClient::~WebSocketClient() {
    close();
    ::close(stopFd_);
}

void WebSocketClient::open(mg_connection *connection) {
    connection_ = connection;
    writer_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "kelvo-web-out");
        write();
    });
    opened_.store(true, std::memory_order_release);
}

void WebSocketClient::close() {
    if (writer_.joinable()) {
        const uint64_t one = 1;
        if (::write(stopFd_, &one, sizeof one) < 0) {
            // Only a full counter fails, and then the writer is woken anyway.
        }
        writer_.join();
    }
    finished_.store(true, std::memory_order_release);
}

void WebSocketClient::write() {
    pollfd waits[2] = {{queue_.wakeupFd(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        Chunk chunk;
        if (queue_.pop(chunk, sending_.data())) {
            const int opcode = chunk.firstIndex == kText ? MG_WEBSOCKET_OPCODE_TEXT : MG_WEBSOCKET_OPCODE_BINARY;
            // A write that fails (the browser went, or stopped reading for
            // civetweb's whole timeout) ends the sending; civetweb closes the
            // connection, and the frames offered meanwhile are counted.
            if (mg_websocket_write(connection_, opcode, reinterpret_cast<const char *>(sending_.data()),
                                   chunk.length) <= 0) {
                return;
            }
            continue;
        }
        if (!queue_.armWakeup()) continue;
        if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
        if (waits[1].revents != 0) return;
        queue_.drainWakeup();
    }
}

bool WebSocketClient::offer(FrameWriter &frame, int64_t oldestArrival) {
    const uint32_t sequence = sequence_++;
    frame.setSequence(sequence);
    const std::vector<unsigned char> &bytes = frame.bytes();
    if (!queue_.push(bytes.data(), static_cast<uint32_t>(bytes.size()), kBinary, 0)) {
        notSent_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (oldestArrival > 0) {
        Stamp &stamp = stamps_[sequence % kStamps];
        stamp.sequence.store(UINT32_MAX, std::memory_order_relaxed);
        stamp.arrival.store(oldestArrival, std::memory_order_relaxed);
        stamp.sequence.store(sequence, std::memory_order_release);
    }
    return true;
}

bool WebSocketClient::offerText(const std::string &text) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    if (queue_.push(bytes, static_cast<uint32_t>(text.size()), kText, 0)) return true;
    notSent_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void WebSocketClient::drawn(uint32_t sequence, int64_t nowTicks, LatencyHistogram &latency, std::mutex &latencyMutex) {
    // Only the frames of the last kStamps are still known; a page that
    // claims more, or goes back, adds nothing.
    const uint32_t from = drewAny_ ? lastDrawn_ + 1 : sequence;
    if (drewAny_ && (sequence < from || sequence - from >= kStamps)) {
        if (sequence >= from) lastDrawn_ = sequence;
        return;
    }
    std::lock_guard lock(latencyMutex);
    for (uint32_t s = sequence - std::min<uint32_t>(sequence - from, kStamps - 1);; ++s) {
        const Stamp &stamp = stamps_[s % kStamps];
        if (stamp.sequence.load(std::memory_order_acquire) == s) {
            const int64_t arrival = stamp.arrival.load(std::memory_order_relaxed);
            if (stamp.sequence.load(std::memory_order_acquire) == s) latency.add(nowTicks - arrival);
        }
        if (s == sequence) break;
    }
    drewAny_ = true;
    lastDrawn_ = sequence;
}

}  // namespace kelvo::recording
