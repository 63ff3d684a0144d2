// SPDX-License-Identifier: MIT
#include "zmqSocket.h"

#include <cerrno>
#include <stdexcept>

#include "curveKeys.h"
#include "zapHandler.h"

namespace kelvo::recording {

namespace {

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what + ": " + zmq_strerror(zmq_errno())); }

}  // namespace

ZmqSocket::ZmqSocket(int type) : context_(zmq_ctx_new()) {
    if (context_ == nullptr) fail("cannot make a ZeroMQ context");
    socket_ = zmq_socket(context_, type);
    if (socket_ == nullptr) {
        zmq_ctx_term(context_);
        fail("cannot make a ZeroMQ socket");
    }
    // What is still queued at the end gets a second to leave, then is dropped.
    setInt(ZMQ_LINGER, 1000);
}

ZmqSocket::~ZmqSocket() {
    zmq_close(socket_);
    zap_.reset();
    zmq_ctx_term(context_);
}

void ZmqSocket::setInt(int option, int value) {
    if (zmq_setsockopt(socket_, option, &value, sizeof value) != 0) fail("cannot set a ZeroMQ option");
}

void ZmqSocket::subscribe(const std::string &prefix) {
    if (zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, prefix.data(), prefix.size()) != 0) fail("cannot subscribe");
}

void ZmqSocket::bind(const std::string &endpoint) {
    if (zmq_bind(socket_, endpoint.c_str()) != 0) fail("cannot bind " + endpoint);
}

void ZmqSocket::connect(const std::string &endpoint) {
    if (zmq_connect(socket_, endpoint.c_str()) != 0) fail("cannot connect to " + endpoint);
}

std::string ZmqSocket::boundEndpoint() const {
    char endpoint[1024] = {};
    size_t size = sizeof endpoint;
    if (zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0) fail("cannot read the bound endpoint");
    return endpoint;
}

void ZmqSocket::setText(int option, const std::string &text, const char *what) {
    // A Z85 key goes with its terminating zero: 41 bytes.
    if (zmq_setsockopt(socket_, option, text.c_str(), text.size() + 1) != 0) fail(std::string("cannot set ") + what);
}

void ZmqSocket::secureAsServer(const CurveKeys &keys) {
    if (!keys.canBind()) {
        throw std::runtime_error("CURVE keys: " + keys.dir +
                                 " holds no server.key_secret, which the side that "
                                 "listens needs");
    }
    if (zap_) throw std::runtime_error("the socket is a CURVE server already");
    zap_ = std::make_unique<ZapHandler>(context_, socket_, keys.authorizedClients);
    setInt(ZMQ_CURVE_SERVER, 1);
    setText(ZMQ_CURVE_SECRETKEY, keys.serverSecret, "the CURVE secret key");
}

void ZmqSocket::secureAsClient(const CurveKeys &keys) {
    if (!keys.canConnect()) {
        throw std::runtime_error("CURVE keys: " + keys.dir +
                                 " holds no client.key_secret, which the side that "
                                 "connects needs");
    }
    setText(ZMQ_CURVE_SERVERKEY, keys.serverPublic, "the CURVE server key");
    setText(ZMQ_CURVE_PUBLICKEY, keys.clientPublic, "the CURVE public key");
    setText(ZMQ_CURVE_SECRETKEY, keys.clientSecret, "the CURVE secret key");
}

std::shared_ptr<const std::atomic<uint64_t>> ZmqSocket::refusals() const { return zap_ ? zap_->refusals() : nullptr; }

bool ZmqSocket::send(const std::vector<std::pair<const void *, size_t>> &frames) {
    for (size_t i = 0; i < frames.size(); ++i) {
        const int flags = ZMQ_DONTWAIT | (i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
        while (zmq_send(socket_, frames[i].first, frames[i].second, flags) < 0) {
            if (zmq_errno() == EINTR) continue;
            // PUB drops at the high-water mark rather than failing; EAGAIN
            // here means no peer can take anything at all.
            if (zmq_errno() == EAGAIN) return false;
            fail("cannot publish");
        }
    }
    return true;
}

bool ZmqSocket::sendWaiting(const std::vector<std::pair<const void *, size_t>> &frames) {
    for (size_t i = 0; i < frames.size(); ++i) {
        const int flags = i + 1 < frames.size() ? ZMQ_SNDMORE : 0;
        while (zmq_send(socket_, frames[i].first, frames[i].second, flags) < 0) {
            if (zmq_errno() == EINTR) continue;
            if (zmq_errno() == EAGAIN) return false;
            fail("cannot send");
        }
    }
    return true;
}

bool ZmqSocket::awaitMessageOrStop(int stopFd) {
    zmq_pollitem_t items[2] = {{socket_, 0, ZMQ_POLLIN, 0}, {nullptr, stopFd, ZMQ_POLLIN, 0}};
    for (;;) {
        if (zmq_poll(items, 2, -1) >= 0) return (items[1].revents & ZMQ_POLLIN) == 0;
        if (zmq_errno() != EINTR) return false;  // the socket is gone: nothing more can come
    }
}

bool ZmqSocket::receive(std::vector<std::string> &frames, std::chrono::milliseconds timeout) {
    zmq_pollitem_t item = {socket_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, static_cast<long>(timeout.count())) <= 0) return false;
    frames.clear();
    int more = 0;
    do {
        zmq_msg_t message;
        zmq_msg_init(&message);
        if (zmq_msg_recv(&message, socket_, 0) < 0) {
            zmq_msg_close(&message);
            if (zmq_errno() == EINTR) return false;
            fail("cannot receive");
        }
        frames.emplace_back(static_cast<const char *>(zmq_msg_data(&message)), zmq_msg_size(&message));
        more = zmq_msg_more(&message);
        zmq_msg_close(&message);
    } while (more != 0);
    return true;
}

}  // namespace kelvo::recording
