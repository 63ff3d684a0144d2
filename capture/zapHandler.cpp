// SPDX-License-Identifier: MIT
#include "zapHandler.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kelvo::recording {

namespace {

constexpr const char *kZapEndpoint = "inproc://zeromq.zap.01";
constexpr size_t kCurveKeyBytes = 32;

constexpr const char *kMonitorEndpoint = "inproc://kelvo.handshakes";
constexpr int kFailures =
    ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;

// Version, request id, domain, address, routing id, mechanism, then the
// mechanism's credentials: CURVE's is the client's public key.
constexpr size_t kRequestFrames = 7;

// A whole message; false when the socket had none or is gone.
bool receiveAll(void *socket, std::vector<std::string> &frames) {
    frames.clear();
    int more = 0;
    do {
        zmq_msg_t frame;
        zmq_msg_init(&frame);
        if (zmq_msg_recv(&frame, socket, ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&frame);
            return false;
        }
        frames.emplace_back(static_cast<const char *>(zmq_msg_data(&frame)), zmq_msg_size(&frame));
        more = zmq_msg_more(&frame);
        zmq_msg_close(&frame);
    } while (more != 0);
    return true;
}

void *socketIn(void *context, int type, const char *what) {
    void *socket = zmq_socket(context, type);
    if (socket == nullptr) throw std::runtime_error(std::string("no ") + what + ": " + zmq_strerror(zmq_errno()));
    const int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    return socket;
}

}  // namespace

ZapHandler::ZapHandler(void *context, void *server, const std::vector<std::string> &authorizedZ85Keys) {
    for (const std::string &key : authorizedZ85Keys) {
        std::string binary(kCurveKeyBytes, '\0');
        if (key.size() != 40 || zmq_z85_decode(reinterpret_cast<uint8_t *>(binary.data()), key.c_str()) == nullptr) {
            throw std::runtime_error("an authorized client key is not a Z85 key: " + key);
        }
        authorized_.insert(binary);
    }
    socket_ = socketIn(context, ZMQ_REP, "ZAP socket");
    try {
        monitor_ = socketIn(context, ZMQ_PAIR, "handshake monitor");
        if (zmq_bind(socket_, kZapEndpoint) != 0) {
            throw std::runtime_error(std::string("cannot bind the ZAP handler: ") + zmq_strerror(zmq_errno()));
        }
        if (zmq_socket_monitor(server, kMonitorEndpoint, kFailures) != 0 ||
            zmq_connect(monitor_, kMonitorEndpoint) != 0) {
            throw std::runtime_error(std::string("cannot watch the handshakes: ") + zmq_strerror(zmq_errno()));
        }
        stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stop_ < 0) throw std::runtime_error("no eventfd for the ZAP handler");
    } catch (...) {
        zmq_close(socket_);
        if (monitor_ != nullptr) zmq_close(monitor_);
        throw;
    }
    thread_ = std::thread([this] { serve(); });
}

ZapHandler::~ZapHandler() {
    const uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
    zmq_close(socket_);
    zmq_close(monitor_);
    close(stop_);
}

// Sleeps in zmq_poll until ZeroMQ asks or the stop comes.
void ZapHandler::serve() {
    pthread_setname_np(pthread_self(), "kelvo-zap");
    zmq_pollitem_t items[3] = {{socket_, 0, ZMQ_POLLIN, 0},
                               {monitor_, 0, ZMQ_POLLIN, 0},
                               {nullptr, stop_, ZMQ_POLLIN, 0}};
    std::vector<std::string> message;
    for (;;) {
        if (zmq_poll(items, 3, -1) < 0) {
            if (zmq_errno() == EINTR) continue;
            return;
        }
        if ((items[2].revents & ZMQ_POLLIN) != 0) return;
        while (receiveAll(socket_, message)) answer(message);
        while (receiveAll(monitor_, message)) countFailure(message);
    }
}

// Only ZeroMQ itself reaches this socket (inproc, in the server's own
// context), yet a request not as the protocol says is refused rather than
// trusted.
void ZapHandler::answer(const std::vector<std::string> &request) {
    const bool curve = request.size() == kRequestFrames && request[0] == "1.0" && request[5] == "CURVE";
    const bool accepted = curve && authorized_.contains(request[6]);
    const std::string requestId = request.size() > 1 ? request[1] : std::string();
    const std::string status = accepted ? "200" : "400";
    const std::string text = accepted ? "OK" : "not an authorized client key";
    const std::string reply[] = {"1.0", requestId, status, text, "", ""};
    for (size_t k = 0; k < std::size(reply); ++k) {
        const int flags = k + 1 < std::size(reply) ? ZMQ_SNDMORE : 0;
        if (zmq_send(socket_, reply[k].data(), reply[k].size(), flags) < 0) return;
    }
}

// An event is a frame of its number (uint16) and value (uint32), then one
// of the peer's endpoint; only failures were asked for.
void ZapHandler::countFailure(const std::vector<std::string> &event) {
    if (event.size() != 2 || event[0].size() != 6) return;
    uint16_t number = 0;  // in this machine's byte order
    std::memcpy(&number, event[0].data(), sizeof number);
    if ((number & kFailures) != 0) refused_->fetch_add(1, std::memory_order_relaxed);
}

}  // namespace kelvo::recording
