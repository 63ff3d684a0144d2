// SPDX-License-Identifier: MIT
#include "markerSources.h"

#include <algorithm>

#include "captureError.h"

namespace kelvo::capture {

void MarkerSources::add(const std::string &from) {
    if (from.empty())
        throw CaptureError("the marker source is empty: 'bus' or a ZeroMQ endpoint", CaptureError::Kind::usage);
    if (from == "bus") {
        if (bus_) throw CaptureError("markers from the bus are asked for twice", CaptureError::Kind::usage);
        bus_ = true;
        return;
    }
    if (std::find(endpoints_.begin(), endpoints_.end(), from) != endpoints_.end()) {
        throw CaptureError("markers from " + from + " are asked for twice", CaptureError::Kind::usage);
    }
    endpoints_.push_back(from);
}

void MarkerSources::start(Session &session, recording::Listeners &listeners) {
    if (!endpoints_.empty()) zmq_ = std::make_unique<ZmqMarkers>(session, endpoints_, listeners);
    try {
        if (bus_) busMarkers_ = std::make_unique<BusMarkers>(session);
    } catch (...) {
        zmq_.reset();
        throw;
    }
}

void MarkerSources::stop() {
    busMarkers_.reset();
    zmq_.reset();
}

}  // namespace kelvo::capture
