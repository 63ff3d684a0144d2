// SPDX-License-Identifier: MIT
// A session's HDF5 recording (h5Recording.h for the layout): the decoded
// samples with their times and stream indexes, flushed once a second so a
// killed run keeps all but its last second, the start stamps, and at the
// end the statistics, the sample clocks' fits and the markers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "h5Recording.h"
#include "session.h"

namespace kelvo::capture {

class H5Sink : public Sink {
public:
    // Creates (or truncates) the file and a group per device; throws
    // CaptureError when it cannot.
    H5Sink(const std::string &path, bool raw, const Session &session);

    const char *threadName() const override { return "kelvo-writer"; }
    void started(const Session &session) override;
    void take(const SessionBatch &batch) override;
    void mark(const Session &session, const Marker &marker) override;
    void everySecond(const Session &session) override;
    void finished(const Session &session) override;

private:
    void writeMarkers(const Session &session);

    std::string path_;
    std::unique_ptr<recording::H5Recording> file_;
    std::vector<double> seconds_;
    std::vector<int64_t> indices_;
    std::vector<Marker> markers_;
    bool markersChanged_ = false;
};

}  // namespace kelvo::capture
