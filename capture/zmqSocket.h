// SPDX-License-Identifier: MIT
// A ZeroMQ socket with its context, closed when it goes; messages of
// several frames in and out.
#pragma once

#include <zmq.h>

#include <chrono>
#include <string>
#include <vector>

namespace kelvo::recording {

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

    // Sends the frames as one message without waiting: a PUB socket drops
    // the whole message for a subscriber whose queue is full, and says
    // nothing of it. False when ZeroMQ refused the message itself.
    bool send(const std::vector<std::pair<const void *, size_t>> &frames);
    // Sends the frames as one message, waiting as long as ZMQ_SNDTIMEO
    // allows for a peer to take it (PUSH); false when none did in time.
    bool sendWaiting(const std::vector<std::pair<const void *, size_t>> &frames);
    // Waits up to `timeout` for a message; false when none came.
    bool receive(std::vector<std::string> &frames, std::chrono::milliseconds timeout);

    // For zmq_poll and the calls this class does not wrap.
    void *handle() const { return socket_; }

private:
    void *context_ = nullptr;
    void *socket_ = nullptr;
};

}  // namespace kelvo::recording
