// SPDX-License-Identifier: MIT
// A ZeroMQ socket with its context, closed when it goes; messages of
// several frames in and out.
#pragma once

#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvo::recording {

struct CurveKeys;
class ZapHandler;

class ZmqSocket {
public:
    // ZMQ_PUB, ZMQ_SUB, ZMQ_PUSH or ZMQ_PULL. Throws std::runtime_error
    // with ZeroMQ's text.
    explicit ZmqSocket(int type);
    ~ZmqSocket();
    ZmqSocket(const ZmqSocket &) = delete;
    ZmqSocket &operator=(const ZmqSocket &) = delete;

    void setInt(int option, int value);
    void subscribe(const std::string &prefix);
    void bind(const std::string &endpoint);
    void connect(const std::string &endpoint);
    // Where the last bind went, as ZeroMQ has it (ZMQ_LAST_ENDPOINT): the
    // port chosen for tcp://HOST:* or :0, tcp://0.0.0.0:PORT for
    // tcp://*:PORT. Empty before a bind.
    std::string boundEndpoint() const;

    // CURVE, before the socket binds or connects. As the binding side:
    // encrypted with the server's secret key, and a client's handshake
    // accepted only for a key of keys.authorizedClients, by a ZAP handler
    // in this socket's context. As the connecting side: the client's pair
    // and the server's public key; a server with another key never
    // completes the handshake, and nothing is received. Throw
    // std::runtime_error when the keys lack the side's secret.
    void secureAsServer(const CurveKeys &keys);
    void secureAsClient(const CurveKeys &keys);
    bool securedAsServer() const { return zap_ != nullptr; }
    // Client handshakes that failed (a key refused, a wrong server key);
    // null without secureAsServer. It
    // outlives the socket. Any thread.
    std::shared_ptr<const std::atomic<uint64_t>> refusals() const;

    // Sends the frames as one message without waiting: a PUB socket drops
    // the whole message for a subscriber whose queue is full, and says
    // nothing of it. False when ZeroMQ refused the message itself.
    bool send(const std::vector<std::pair<const void *, size_t>> &frames);
    // Sends the frames as one message, waiting as long as ZMQ_SNDTIMEO
    // allows for a peer to take it (PUSH); false when none did in time.
    bool sendWaiting(const std::vector<std::pair<const void *, size_t>> &frames);
    // Waits up to `timeout` for a message; false when none came.
    bool receive(std::vector<std::string> &frames, std::chrono::milliseconds timeout);

    // Sleeps until a message waits (true), or until `stopFd`, an eventfd,
    // is written or the socket is gone (false): the loop of a thread that
    // serves the socket and has nothing to do in between.
    bool awaitMessageOrStop(int stopFd);

    // For zmq_poll and the calls this class does not wrap.
    void *handle() const { return socket_; }

private:
    void setText(int option, const std::string &text, const char *what);

    void *context_ = nullptr;
    void *socket_ = nullptr;
    std::unique_ptr<ZapHandler> zap_;  // goes before the context does
};

}  // namespace kelvo::recording
