// SPDX-License-Identifier: MIT
// What the simulated device knows and the library must estimate: for every
// block written, the stream index of its first sample and the tick at which
// that sample was measured.
//
// Kept in memory for the current stream (tests and benchmarks in the same
// process) and, when a path is given, appended to a file as it happens: a
// line "# start" when a stream starts, then one line "INDEX TICKS" per
// block, each written with one write() so that a reader following the file
// never sees half a line.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kelvo::sim {

struct TruthPoint {
    uint64_t index = 0;  // stream index of the block's first sample
    int64_t ticks = 0;   // when it was measured: 100 ns of CLOCK_MONOTONIC_RAW
};

class TruthLog {
public:
    // An empty path keeps the points in memory only. The file is emptied
    // first unless `keep` says to go on after what it holds (a device
    // plugged in again); throws std::system_error when it cannot be opened.
    explicit TruthLog(const std::string &path, bool keep = false);
    ~TruthLog();
    TruthLog(const TruthLog &) = delete;
    TruthLog &operator=(const TruthLog &) = delete;

    // Called by the start command's thread while no stream runs.
    void startStream();
    // Called by the streaming thread.
    void add(TruthPoint point);
    // The current stream's points so far; from any thread.
    std::vector<TruthPoint> points() const;

private:
    void writeLine(const std::string &line) const;

    int fd_ = -1;
    mutable std::mutex mutex_;
    std::vector<TruthPoint> points_;
};

}  // namespace kelvo::sim
