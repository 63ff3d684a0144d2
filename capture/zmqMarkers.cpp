// SPDX-License-Identifier: MIT
#include "zmqMarkers.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "captureError.h"
#include "kelvo.h"
#include "markerText.h"

namespace kelvo::capture {

namespace {

// A frame this large is refused by ZeroMQ itself, which drops the sender's
// connection; below it, an oversized text is taken in and counted.
constexpr int64_t kMaxMessageBytes = 16 << 20;
// Messages taken in one go before the stop is looked at again.
constexpr int kMessagesPerRound = 256;
constexpr std::chrono::milliseconds kQuietMs{50};
constexpr std::chrono::milliseconds kLastCallMs{500};

struct MessageFrames {
    size_t count = 0;
    std::string text;
    bool textTooLong = false;
    uint8_t stamp[sizeof(int64_t)] = {};
    size_t stampSize = 0;
};

std::optional<Marker> markerOf(const MessageFrames &m, int64_t receivedTicks) {
    if (m.count == 0 || m.count > 2 || m.textTooLong || !markerTextProblem(m.text).empty()) return std::nullopt;
    int64_t ticks = receivedTicks;
    if (m.count == 2) {
        if (m.stampSize != sizeof ticks) return std::nullopt;
        uint64_t value = 0;
        for (size_t k = sizeof m.stamp; k-- > 0;) value = (value << 8) | m.stamp[k];
        ticks = static_cast<int64_t>(value);
        // Tick 0 would read as "now", and no clock of this machine gives a
        // time before it.
        if (ticks <= 0) return std::nullopt;
    }
    return Marker{ticks, m.text, "zmq"};
}

}  // namespace

ZmqMarkers::ZmqMarkers(Session &session, const std::vector<std::string> &endpoints, recording::Listeners &listeners)
    : session_(session), socket_(ZMQ_PULL) {
    try {
        socket_.setInt(ZMQ_LINGER, 0);
        int64_t most = kMaxMessageBytes;
        if (zmq_setsockopt(socket_.handle(), ZMQ_MAXMSGSIZE, &most, sizeof most) != 0) {
            throw CaptureError("markers: cannot limit the message size");
        }
        for (const std::string &endpoint : endpoints) listeners.bind(socket_, "markers", endpoint);
    } catch (const CaptureError &) {
        throw;
    } catch (const std::runtime_error &e) {
        throw CaptureError(std::string("markers: ") + e.what());
    }
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0) throw CaptureError("no eventfd for the markers' socket");
    thread_ = std::thread([this] { receive(); });
}

// A marker sent just before the stop may still be on its way: what comes
// is taken until the socket has been quiet for a moment, for a bounded
// time, so that a flooding sender cannot hold the stop up.
ZmqMarkers::~ZmqMarkers() {
    const uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
    zmq_pollitem_t item{socket_.handle(), 0, ZMQ_POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + kLastCallMs;
    while (std::chrono::steady_clock::now() < end && zmq_poll(&item, 1, kQuietMs.count()) > 0) takeWaiting();
    close(stop_);
}

// Sleeps in zmq_poll until a message or the stop comes.
void ZmqMarkers::receive() {
    pthread_setname_np(pthread_self(), "kelvo-zmqmarks");
    while (socket_.awaitMessageOrStop(stop_)) takeWaiting();
}

void ZmqMarkers::takeWaiting() {
    for (int n = 0; n < kMessagesPerRound && takeOne(); ++n) {
    }
}

// One whole message, never waiting: ZeroMQ hands over a message's frames
// together. Only the first two frames are kept, and the text only when it
// may be one.
bool ZmqMarkers::takeOne() {
    MessageFrames m;
    int64_t receivedTicks = 0;
    int more = 0;
    do {
        zmq_msg_t frame;
        zmq_msg_init(&frame);
        if (zmq_msg_recv(&frame, socket_.handle(), ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&frame);
            if (m.count > 0) session_.countDroppedMarker();  // cut short; cannot be one
            return false;
        }
        if (m.count == 0) receivedTicks = kelvoGetTicks();
        const auto *data = static_cast<const char *>(zmq_msg_data(&frame));
        const size_t size = zmq_msg_size(&frame);
        if (m.count == 0) {
            m.textTooLong = size > kMaxMarkerBytes;
            if (!m.textTooLong) m.text.assign(data, size);
        } else if (m.count == 1) {
            m.stampSize = size;
            std::memcpy(m.stamp, data, std::min(size, sizeof m.stamp));
        }
        ++m.count;
        more = zmq_msg_more(&frame);
        zmq_msg_close(&frame);
    } while (more != 0);
    const std::optional<Marker> marker = markerOf(m, receivedTicks);
    if (marker) {
        (void)session_.mark(marker->text, marker->ticks, marker->source);
    } else {
        session_.countDroppedMarker();
    }
    return true;
}

}  // namespace kelvo::capture
