// SPDX-License-Identifier: MIT
// One HDF5 file of a session's recording (h5Recording.h for the layout):
// the whole run, or with splitting one span of sample time. Each is a
// complete recording: the root's attributes, a group per device with its
// samples, gaps and markers, and at its end the statistics of its span and
// the clock fits. While it is written readers may follow it with SWMR read
// access; what its end adds comes after the file left SWMR mode.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "h5Recording.h"
#include "session.h"

namespace kelvo::capture {

// The sample time a file covers, in ticks; the number is 0 when the run is
// not split.
struct Span {
    int number = 0;
    double seconds = 0;  // the split's length
    int64_t startTicks = std::numeric_limits<int64_t>::min();
    int64_t endTicks = std::numeric_limits<int64_t>::max();
    bool holds(int64_t ticks) const { return ticks >= startTicks && ticks < endTicks; }
};

class H5Part {
public:
    // Creates (or truncates) the file with a group per device and the
    // empty datasets; throws CaptureError, and then leaves no file.
    H5Part(const std::string &path, bool raw, const Session &session);

    // The root's attributes and the start stamps, then SWMR mode. A part
    // opened at the start counts the statistics from zero, a later one
    // from the moment it begins.
    void begin(const Session &session, const Span &span, bool atStart);
    // Rows [from, from + count) of the batch.
    void take(const SessionBatch &batch, uint32_t from, uint32_t count);
    void mark(const Session &session, const Marker &marker);
    void gap(const Gap &gap);
    void flush() { file_->flush(); }
    // A recording split on command names its files' order in the root's
    // previous_file and next_file: the first set before begin(), the
    // other before finish().
    void setPrevious(const std::string &path) { previous_ = path; }
    void setNext(const std::string &path) { next_ = path; }
    // The statistics of its span, the clock fits, the start stamps and the
    // markers' nearest samples on the final fits; closes the file.
    void finish(const Session &session);

    const Span &span() const { return span_; }
    const std::string &path() const { return path_; }

private:
    void writeStats(const Session &session);

    struct Shape {
        size_t channels = 0;
        size_t sampleBytes = 0;
    };
    std::string path_;
    std::string previous_;
    std::string next_;
    Span span_;
    std::vector<Shape> shapes_;
    std::unique_ptr<recording::H5Recording> file_;
    std::vector<DeviceStats> before_;  // the session's statistics at the part's beginning
    std::vector<uint64_t> rows_;       // samples written, per device
    std::vector<Marker> markers_;
    std::vector<double> seconds_;
    std::vector<int64_t> indices_;
};

}  // namespace kelvo::capture
