// SPDX-License-Identifier: MIT
// Markers from other programs over the message bus (kelvo.h's tMsg calls):
// the session becomes the bus's master and takes every message a slave
// sends it as a marker of source "bus", timed by the message's own send
// stamp, so that the time is the sender's however late it is read.
#pragma once

#include <thread>

#include "session.h"

namespace kelvo::capture {

class BusMarkers {
public:
    // Registers as the master and starts taking messages; throws
    // CaptureError naming the reason when there is no bus or it has a
    // master already.
    explicit BusMarkers(Session &session);
    // Takes what still waits in the mailboxes, then gives up the master's place.
    ~BusMarkers();
    BusMarkers(const BusMarkers &) = delete;
    BusMarkers &operator=(const BusMarkers &) = delete;

private:
    void receive();
    void takeWaiting();
    void takeFrom(int slave);

    Session &session_;
    int handle_ = -1;
    int stop_ = -1;  // eventfd
    std::thread thread_;
};

}  // namespace kelvo::capture
