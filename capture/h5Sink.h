// SPDX-License-Identifier: MIT
// A session's HDF5 recording (h5Part.h, h5Recording.h for the layout): the
// decoded samples with their times and stream indexes, flushed once a
// second so a killed run keeps all but its last second, the gaps and the
// markers as they come, the start stamps, and at the end the statistics
// and the sample clocks' fits.
// Split, the recording is a run of files, each of the same span of sample
// time: every sample goes to the file of its time, so the files' datasets
// one after the other hold each sample once. A device that lags another
// keeps the file before open until it passed its end, or a whole span more.
// Split on command (continueIn), the file is finished as at a stop and the
// recording goes on in the next one between two batches: again every
// sample is in one file, once.
#pragma once

#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "h5Part.h"
#include "session.h"

namespace kelvo::capture {

class H5Sink : public Sink {
public:
    // Creates (or truncates) the file, or the first of a split, with a
    // group per device; throws CaptureError when it cannot. `splitSeconds`
    // 0: one file.
    H5Sink(const std::string &path, bool raw, double splitSeconds, const Session &session);

    // "run-0003.h5" of "run.h5": the number before the file name's
    // extension, at least four digits.
    static std::string partPath(const std::string &path, int number);
    const std::string &firstPath() const { return firstPath_; }
    // The file written now (the newest, split by time); any thread.
    std::string currentPath() const;

    // Finishes the file written now and goes on in `path`, on the consumer
    // thread between two batches. Returns why it cannot (a recording split
    // by time, a file of this recording, one that cannot be made), and then
    // the current file goes on; empty when it went on in `path`. Throws
    // CaptureError when the finished file could not be completed.
    std::string continueIn(const std::string &path);

    const char *threadName() const override { return "kelvo-writer"; }
    void started(const Session &session) override;
    void take(const SessionBatch &batch) override;
    void mark(const Session &session, const Marker &marker) override;
    void gap(const Session &session, const Gap &gap) override;
    void everySecond(const Session &session) override;
    void finished(const Session &session) override;

private:
    bool split() const { return splitTicks_ > 0; }
    int64_t windowOf(int64_t ticks) const;
    Span spanOf(int64_t window) const;
    int64_t frontWindow() const { return parts_.front()->span().number - 1; }
    int64_t newestWindow() const { return parts_.back()->span().number - 1; }
    // The open part of `window`, opening those up to it; the oldest open
    // part for a window already closed.
    H5Part &partFor(int64_t window);
    void retireParts();
    void writeGaps(int device, H5Part &part);
    void nowWriting(const std::string &path);

    const Session &session_;
    std::string path_;
    std::string firstPath_;
    bool raw_ = false;
    double splitSeconds_ = 0;
    int64_t splitTicks_ = 0;
    int64_t originTicks_ = 0;                    // the release: where the first span begins
    std::deque<std::unique_ptr<H5Part>> parts_;  // the open ones, of consecutive spans
    std::vector<int64_t> windows_;               // per device, the span of its last sample
    std::vector<std::vector<Gap>> pendingGaps_;  // written with the device's next samples

    // Split on command: the files so far, absolute.
    std::vector<std::filesystem::path> written_;
    mutable std::mutex currentMutex_;
    std::string current_;
};

}  // namespace kelvo::capture
