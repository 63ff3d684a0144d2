// SPDX-License-Identifier: MIT
#include "ptyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "simClock.h"

namespace kelvo::sim {

std::string definiteBlock(std::string_view payload, std::string_view terminator) {
    const std::string length = std::to_string(payload.size());
    std::string block = "#" + std::to_string(length.size()) + length;
    block.append(payload);
    block.append(terminator);
    return block;
}

PtyDevice::PtyDevice() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::system_error(errno, std::generic_category(), "pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        throw std::system_error(errno, std::generic_category(), "ptsname");
    }
    path_ = name;
    // Non-blocking, so that a send to a line nobody reads any more (the
    // library closed it) can give up when the device is destroyed.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::system_error(errno, std::generic_category(), "open pty slave");
    reader_ = std::thread([this] { readLoop(); });
}

PtyDevice::~PtyDevice() {
    // The reader goes first: its line handler may start a stream.
    running_ = false;
    reader_.join();
    stopStreaming();
    if (master_ >= 0) close(master_);
    close(slave_);
}

// Waits for a handler call in progress to finish, so that whatever the old
// handler refers to may be destroyed once this returns.
void PtyDevice::onLine(LineHandler handler) {
    std::unique_lock lock(mutex_);
    handler_ = std::move(handler);
    if (std::this_thread::get_id() != reader_.get_id()) {
        handlersIdle_.wait(lock, [this] { return handlerCalls_ == 0; });
    }
}

void PtyDevice::send(std::string_view bytes) { writeWhile(bytes, running_); }

// Writes until all bytes are out or `keepGoing` drops: nobody may be reading
// the line, and a stopping stream or device must not wait for that forever.
void PtyDevice::writeWhile(std::string_view bytes, const std::atomic<bool> &keepGoing) {
    std::lock_guard lock(writeMutex_);
    if (hungUp_) return;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd writable{master_, POLLOUT, 0};
            poll(&writable, 1, 10);
        } else {
            return;
        }
        if (!keepGoing || !running_ || hungUp_) return;
    }
}

std::string PtyDevice::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool PtyDevice::waitForReceived(std::string_view text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return receivedChanged_.wait_for(lock, timeout, [&] { return received_.find(text) != std::string::npos; });
}

void PtyDevice::clearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

namespace {

// The old fixed-interval stream as a schedule.
class IntervalSchedule : public ChunkSchedule {
public:
    IntervalSchedule(PtyDevice::ChunkSource nextChunk, std::chrono::microseconds interval)
        : nextChunk_(std::move(nextChunk)), interval_(std::chrono::nanoseconds(interval).count()) {}
    int64_t nextDue() override {
        due_ = started_ ? due_ + interval_ : rawNanoseconds();
        started_ = true;
        return due_;
    }
    std::string nextChunk() override { return nextChunk_(); }

private:
    PtyDevice::ChunkSource nextChunk_;
    int64_t interval_;
    bool started_ = false;
    int64_t due_ = 0;
};

}  // namespace

void PtyDevice::startStreaming(ChunkSource nextChunk, std::chrono::microseconds interval) {
    startStreaming(std::make_unique<IntervalSchedule>(std::move(nextChunk), interval));
}

void PtyDevice::startStreaming(std::unique_ptr<ChunkSchedule> schedule) {
    std::lock_guard lock(streamMutex_);
    stopStreamingLocked();
    streaming_ = true;
    streamer_ = std::thread([this, schedule = std::move(schedule)] {
        // A device's sample clock does not wait for the scheduler: without
        // this, every block would go out up to 50 us (the default timer
        // slack) after its due time, by an amount that wanders.
        (void)prctl(PR_SET_TIMERSLACK, 1UL);
        while (streaming_) {
            sleepUntil(schedule->nextDue());
            if (!streaming_) break;
            const std::string chunk = schedule->nextChunk();
            if (!chunk.empty()) writeWhile(chunk, streaming_);
        }
    });
}

// A timed wait takes CLOCK_MONOTONIC (steady_clock), not the raw clock the
// deadline is on; the two part by the slew NTP applies, at most a few
// hundred ppm. So each wake-up looks at the raw clock again and sleeps what
// is left, which is at most a tiny remainder the second time.
void PtyDevice::sleepUntil(int64_t rawDeadline) {
    std::unique_lock lock(sleepMutex_);
    while (streaming_) {
        const int64_t left = rawDeadline - rawNanoseconds();
        if (left <= 0) return;
        streamStopped_.wait_for(lock, std::chrono::nanoseconds(left));
    }
}

void PtyDevice::stopStreaming() {
    std::lock_guard lock(streamMutex_);
    stopStreamingLocked();
}

void PtyDevice::stopStreamingLocked() {
    {
        // Under the sleep's mutex, so that the streaming thread cannot miss
        // the notification between its check and its wait.
        std::lock_guard sleeping(sleepMutex_);
        streaming_ = false;
    }
    streamStopped_.notify_all();
    if (streamer_.joinable() && streamer_.get_id() != std::this_thread::get_id()) streamer_.join();
}

// The reader thread owns the master descriptor, so it closes it, and only
// once no send() can be writing to it any more.
// A line handler may hang up too; it runs on the reader thread itself.
void PtyDevice::hangUp() {
    hungUp_ = true;
    { std::lock_guard lock(writeMutex_); }  // a send in progress has given up
    sendsStopped_ = true;
    if (std::this_thread::get_id() == reader_.get_id()) {
        closeMaster();
        return;
    }
    while (!masterClosed_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void PtyDevice::closeMaster() {
    if (master_ < 0) return;
    close(master_);
    master_ = -1;
    masterClosed_ = true;
}

termios PtyDevice::lineSettings() const {
    termios settings{};
    tcgetattr(slave_, &settings);
    return settings;
}

void PtyDevice::readLoop() {
    char bytes[4096];
    while (running_) {
        if (hungUp_) {
            if (sendsStopped_) closeMaster();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        pollfd readable{master_, POLLIN, 0};
        if (poll(&readable, 1, 10) <= 0 || !(readable.revents & POLLIN)) continue;
        const ssize_t n = read(master_, bytes, sizeof bytes);
        if (n > 0) takeBytes(bytes, static_cast<size_t>(n));
    }
}

// Records the bytes, then runs the handler once per completed line. The
// handler runs without the lock so that it may call send() and received().
void PtyDevice::takeBytes(const char *bytes, size_t count) {
    std::string lines;
    LineHandler handler;
    {
        std::lock_guard lock(mutex_);
        received_.append(bytes, count);
        partialLine_.append(bytes, count);
        const size_t end = partialLine_.rfind('\n');
        if (end != std::string::npos) {
            lines = partialLine_.substr(0, end + 1);
            partialLine_.erase(0, end + 1);
        }
        handler = handler_;
        if (handler) ++handlerCalls_;
    }
    receivedChanged_.notify_all();
    if (!handler) return;
    size_t start = 0;
    for (size_t end = lines.find('\n'); end != std::string::npos; end = lines.find('\n', start)) {
        handler(*this, lines.substr(start, end - start));
        start = end + 1;
    }
    std::lock_guard lock(mutex_);
    --handlerCalls_;
    handlersIdle_.notify_all();
}

}  // namespace kelvo::sim
