// SPDX-License-Identifier: MIT
// A simulated device on a real pseudo-terminal.
//
// The library opens path() like any USB tty. Everything the library writes
// is recorded and cut into lines; each line is handed to the handler set
// with onLine(), on the device's own thread, which answers through send().
// Streaming runs on a second thread that writes what a generator returns,
// at a fixed interval or on a schedule of its own. Tests script answers with
// it; the simulator program builds a whole device on it.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kelvo::sim {

// "#", digit count, length, payload, terminator: a SCPI definite-length block.
std::string definiteBlock(std::string_view payload, std::string_view terminator = "\n");

// What a stream writes and when: the streaming thread asks nextDue(), sleeps
// until then, asks nextChunk() and writes it, and so on until the stream is
// stopped. Both run on the streaming thread.
class ChunkSchedule {
public:
    virtual ~ChunkSchedule() = default;
    // The CLOCK_MONOTONIC_RAW nanosecond before which the next chunk is not
    // written; a time gone by writes it at once.
    virtual int64_t nextDue() = 0;
    // The chunk to write now; an empty one writes nothing this round.
    virtual std::string nextChunk() = 0;
};

class PtyDevice {
public:
    using LineHandler = std::function<void(PtyDevice &device, const std::string &line)>;
    using ChunkSource = std::function<std::string()>;

    PtyDevice();  // throws std::system_error when no pty can be had
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    const std::string &path() const { return path_; }

    // Called for every line the library sends (without its line feed).
    // Replacing the handler waits until no call of the old one is running.
    void onLine(LineHandler handler);

    // Write bytes to the library now; safe from any thread.
    void send(std::string_view bytes);

    // Everything received so far, and waiting for a piece of it.
    std::string received() const;
    bool waitForReceived(std::string_view text, std::chrono::milliseconds timeout) const;
    void clearReceived();

    // Write nextChunk() every `interval` until stopStreaming() (an empty
    // chunk writes nothing that round), the first at once.
    void startStreaming(ChunkSource nextChunk, std::chrono::microseconds interval);
    // Write what `schedule` gives when it says, until stopStreaming().
    void startStreaming(std::unique_ptr<ChunkSchedule> schedule);
    // Returns once the streaming thread has ended; a sleep of it ends at once.
    void stopStreaming();
    bool isStreaming() const { return streaming_.load(); }

    // Close the master side: the library's port goes dead.
    void hangUp();

    // The line's current terminal settings, as the library left them.
    termios lineSettings() const;

private:
    void readLoop();
    void writeWhile(std::string_view bytes, const std::atomic<bool> &keepGoing);
    void takeBytes(const char *bytes, size_t count);
    void stopStreamingLocked();
    void sleepUntil(int64_t rawDeadline);  // streaming thread; ends early on a stop
    void closeMaster();                    // reader thread only

    int master_ = -1;
    int slave_ = -1;  // kept open so the line survives the library closing it
    std::string path_;
    std::atomic<bool> running_{true};
    std::atomic<bool> hungUp_{false};
    std::atomic<bool> sendsStopped_{false};
    std::atomic<bool> masterClosed_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable receivedChanged_;
    std::string received_;
    std::string partialLine_;
    LineHandler handler_;
    int handlerCalls_ = 0;
    std::condition_variable handlersIdle_;

    std::mutex writeMutex_;
    std::mutex streamMutex_;  // guards streamer_: tests and line handlers start and stop it
    std::atomic<bool> streaming_{false};
    std::mutex sleepMutex_;  // with streamStopped_: wakes the streaming thread's sleep
    std::condition_variable streamStopped_;
    std::thread streamer_;
    std::thread reader_;
};

}  // namespace kelvo::sim
