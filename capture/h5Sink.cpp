// SPDX-License-Identifier: MIT
#include "h5Sink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "captureError.h"

namespace kelvo::capture {

H5Sink::H5Sink(const std::string &path, bool raw, double splitSeconds, const Session &session)
    : session_(session),
      path_(path),
      raw_(raw),
      splitSeconds_(splitSeconds),
      splitTicks_(splitSeconds > 0 ? std::max<int64_t>(1, std::llround(splitSeconds * 1e7)) : 0),
      windows_(session.devices().size(), 0),
      pendingGaps_(session.devices().size()) {
    firstPath_ = split() ? partPath(path, 1) : path;
    parts_.push_back(std::make_unique<H5Part>(firstPath_, raw, session));
    current_ = firstPath_;
}

std::string H5Sink::partPath(const std::string &path, int number) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "-%04d", number);
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    if (dot == std::string::npos || dot <= name) return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

int64_t H5Sink::windowOf(int64_t ticks) const {
    if (!split() || ticks < originTicks_) return 0;
    return (ticks - originTicks_) / splitTicks_;
}

Span H5Sink::spanOf(int64_t window) const {
    if (!split()) return {};
    return {.number = static_cast<int>(window + 1),
            .seconds = splitSeconds_,
            .startTicks = originTicks_ + window * splitTicks_,
            .endTicks = originTicks_ + (window + 1) * splitTicks_};
}

void H5Sink::started(const Session &session) {
    originTicks_ = session.devices().front().stamps[0];
    parts_.front()->begin(session, spanOf(0), true);
}

H5Part &H5Sink::partFor(int64_t window) {
    if (!split()) return *parts_.front();
    while (window > newestWindow()) {
        const int64_t next = newestWindow() + 1;
        auto part = std::make_unique<H5Part>(partPath(path_, static_cast<int>(next + 1)), raw_, session_);
        part->begin(session_, spanOf(next), false);
        parts_.push_back(std::move(part));
        nowWriting(parts_.back()->path());
    }
    if (window <= frontWindow()) return *parts_.front();
    return *parts_[static_cast<size_t>(window - frontWindow())];
}

void H5Sink::take(const SessionBatch &b) {
    const auto device = static_cast<size_t>(b.device);
    uint32_t from = 0;
    while (from < b.count) {
        // Times rise: the rows of one span follow each other.
        const int64_t window = windowOf(b.ticks[from]);
        const int64_t end = spanOf(window).endTicks;
        const int64_t *past = std::lower_bound(b.ticks + from, b.ticks + b.count, end);
        const auto to = static_cast<uint32_t>(past - b.ticks);
        H5Part &part = partFor(window);
        writeGaps(b.device, part);
        part.take(b, from, to - from);
        windows_[device] = window;
        from = to;
    }
    if (split()) retireParts();
}

// A part closes once every device's samples passed its end; a device that
// lags more than a whole span (gone, or done with its samples) no longer
// holds it open.
void H5Sink::retireParts() {
    while (parts_.size() > 1) {
        const int64_t front = frontWindow();
        const bool passed = std::all_of(windows_.begin(), windows_.end(), [&](int64_t w) { return w > front; });
        if (!passed && front >= newestWindow() - 1) return;
        parts_.front()->finish(session_);
        parts_.pop_front();
    }
}

void H5Sink::writeGaps(int device, H5Part &part) {
    std::vector<Gap> &pending = pendingGaps_[static_cast<size_t>(device)];
    for (const Gap &g : pending) part.gap(g);
    pending.clear();
}

void H5Sink::gap(const Session &, const Gap &g) { pendingGaps_[static_cast<size_t>(g.device)].push_back(g); }

// A marker goes to the file of its time; one of the span about to begin
// opens it, one far ahead goes to the newest.
void H5Sink::mark(const Session &session, const Marker &marker) {
    const int64_t window = windowOf(marker.ticks);
    H5Part &part = window <= newestWindow() + 1 ? partFor(window) : *parts_.back();
    part.mark(session, marker);
}

void H5Sink::everySecond(const Session &) {
    for (const auto &part : parts_) part->flush();
}

std::string H5Sink::currentPath() const {
    std::lock_guard lock(currentMutex_);
    return current_;
}

void H5Sink::nowWriting(const std::string &path) {
    std::lock_guard lock(currentMutex_);
    current_ = path;
}

namespace {

// Two names of one file are one key: a split must never truncate a file
// the recording wrote.
std::filesystem::path fileKey(const std::string &path) {
    std::error_code error;
    std::filesystem::path key = std::filesystem::weakly_canonical(std::filesystem::absolute(path), error);
    return error ? std::filesystem::absolute(path).lexically_normal() : key;
}

}  // namespace

// The next file is begun before the current one is finished, so that a
// file that cannot be made leaves the recording as it was.
std::string H5Sink::continueIn(const std::string &path) {
    if (split()) return "the recording is split by time already (--split); it takes no split on command";
    if (path.empty()) return "the file name is empty";
    if (written_.empty()) written_.push_back(fileKey(parts_.front()->path()));
    const std::filesystem::path key = fileKey(path);
    if (std::find(written_.begin(), written_.end(), key) != written_.end()) {
        return path + " is a file of this recording already";
    }
    std::unique_ptr<H5Part> next;
    try {
        next = std::make_unique<H5Part>(path, raw_, session_);
    } catch (const std::exception &e) {
        return e.what();
    }
    try {
        next->setPrevious(parts_.front()->path());
        next->begin(session_, {}, false);
    } catch (const std::exception &e) {
        next.reset();
        std::error_code ignored;
        std::filesystem::remove(path, ignored);  // made here, and of no use half begun
        return e.what();
    }
    std::unique_ptr<H5Part> done = std::move(parts_.front());
    parts_.front() = std::move(next);
    written_.push_back(key);
    nowWriting(path);
    done->setNext(path);
    try {
        done->finish(session_);
    } catch (const std::exception &e) {
        throw CaptureError(e.what());
    }
    return {};
}

void H5Sink::finished(const Session &session) {
    for (size_t d = 0; d < pendingGaps_.size(); ++d) writeGaps(static_cast<int>(d), *parts_.back());
    // Each part is finished even when an earlier one fails; the first
    // failure is the session's.
    std::string failure;
    while (!parts_.empty()) {
        try {
            parts_.front()->finish(session);
        } catch (const std::exception &e) {
            if (failure.empty()) failure = e.what();
        }
        parts_.pop_front();
    }
    if (!failure.empty()) throw CaptureError(failure);
}

}  // namespace kelvo::capture
