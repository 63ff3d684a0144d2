// SPDX-License-Identifier: MIT
// Where a session takes markers from besides its own program: the message
// bus ("bus") and ZeroMQ endpoints. Named before the session opens, started
// once it is open (so that a bus with a master already, or an endpoint in
// use, refuses the open) and stopped before it stops, so that every marker
// that arrived reaches the sinks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "busMarkers.h"
#include "session.h"
#include "zmqMarkers.h"

namespace kelvo::capture {

class MarkerSources {
public:
    // "bus", or a ZeroMQ endpoint to bind (tcp://*:5556, ipc:///tmp/marks);
    // throws a usage CaptureError for an empty name or a bus named twice.
    void add(const std::string &from);
    // Starts taking markers into `session`, its sockets bound through
    // `listeners`; throws CaptureError with the reason, and then nothing
    // was started.
    void start(Session &session, recording::Listeners &listeners);
    // Stops taking them; what arrived until now is handed to the session.
    void stop();

private:
    bool bus_ = false;
    std::vector<std::string> endpoints_;
    std::unique_ptr<ZmqMarkers> zmq_;
    std::unique_ptr<BusMarkers> busMarkers_;
};

}  // namespace kelvo::capture
