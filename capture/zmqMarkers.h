// SPDX-License-Identifier: MIT
// Markers from other programs over ZeroMQ: a PULL socket bound to the given
// endpoints. A message of one frame is a UTF-8 text timed at its receipt;
// one of two frames is the text and the sender's time, a little-endian
// int64 tick count, kept as sent. Anything else is counted as a dropped
// marker and thrown away; a sender can neither block the session nor make
// it keep more than one message at a time.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "listeners.h"
#include "session.h"
#include "zmqSocket.h"

namespace kelvo::capture {

class ZmqMarkers {
public:
    // Binds every endpoint through `listeners` and starts taking messages;
    // throws CaptureError naming the endpoint that cannot be bound and why.
    ZmqMarkers(Session &session, const std::vector<std::string> &endpoints, recording::Listeners &listeners);
    // Takes what already arrived, then closes the socket.
    ~ZmqMarkers();
    ZmqMarkers(const ZmqMarkers &) = delete;
    ZmqMarkers &operator=(const ZmqMarkers &) = delete;

private:
    void receive();
    void takeWaiting();
    bool takeOne();

    Session &session_;
    recording::ZmqSocket socket_;
    int stop_ = -1;  // eventfd
    std::thread thread_;
};

}  // namespace kelvo::capture
