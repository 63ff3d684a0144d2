// SPDX-License-Identifier: MIT
#include "truthLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kelvo::sim {

TruthLog::TruthLog(const std::string &path, bool keep) {
    if (path.empty()) return;
    // O_APPEND: each line lands whole at the file's end, also when a reader
    // has truncated the file to follow it afresh.
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | (keep ? 0 : O_TRUNC) | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "truth log " + path);
}

TruthLog::~TruthLog() {
    if (fd_ >= 0) close(fd_);
}

void TruthLog::startStream() {
    {
        std::lock_guard lock(mutex_);
        points_.clear();
    }
    writeLine("# start\n");
}

void TruthLog::add(TruthPoint point) {
    {
        std::lock_guard lock(mutex_);
        points_.push_back(point);
    }
    writeLine(std::to_string(point.index) + " " + std::to_string(point.ticks) + "\n");
}

std::vector<TruthPoint> TruthLog::points() const {
    std::lock_guard lock(mutex_);
    return points_;
}

// Unbuffered, so that a reader following the file has each block's line by
// the time the block is on the line. A full disk loses lines, not the stream.
void TruthLog::writeLine(const std::string &line) const {
    if (fd_ < 0) return;
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace kelvo::sim
