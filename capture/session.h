// SPDX-License-Identifier: MIT
// A capture session: one to four devices opened in slots 0 on, configured
// and checked, started at one moment, and their streams handed to sinks by
// one consumer thread. The library's sample callback only queues each run
// of samples (streamCapture.h); the consumer decodes and times what its
// sinks want once for all of them, hands over markers, watches the devices
// and ends the session when each device gave the samples asked for or one
// of them failed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "deviceInfo.h"
#include "deviceSetup.h"
#include "kelvo.h"
#include "streamCapture.h"

namespace kelvo::capture {

struct SessionSettings {
    std::vector<std::string> devices;  // paths, serial numbers or list lines
    std::vector<std::string> config;   // sent to every device
    uint64_t sampleLimit = 0;          // per device; 0: until stopped
    // A device that hangs up is looked for and brought back; without, it
    // is gone for the rest of the session.
    bool reconnect = true;
    // A device gone this long ends the session; 0: never while another
    // streams. When every device is gone the session waits this long, or
    // kAllGoneWait without it, for one to come back.
    std::chrono::milliseconds giveUp{0};
    // Called with a device's name, a command and its answer, when a
    // configuration command answers.
    std::function<void(const std::string &device, const std::string &command, const std::string &answer)> noteAnswer;
};

// Whole consecutive samples of one device as the sinks get them. The
// decoded values and the times are there when a sink of the session wants
// them (Sink::wantsValues).
struct SessionBatch {
    int device = 0;
    uint64_t firstIndex = 0;
    uint32_t count = 0;
    const unsigned char *bytes = nullptr;  // count x sample size
    int64_t arrivalTicks = 0;              // when the first of them arrived
    int64_t firstTicks = 0;                // the first sample's time on its device's clock
    const float *values = nullptr;         // count x channels, full scale +-1
    const uint32_t *counters = nullptr;    // count, for layouts with a counter
    const int64_t *ticks = nullptr;        // count: each sample's time on its device's clock
};

struct Marker {
    int64_t ticks = 0;
    std::string text;
    std::string source;  // "api", "bus" or "zmq"
};

// Samples of a device that never reached the sinks, and why: one record
// for each break in the device's run of stream indexes. The indexes are
// the session's (they run on across a reconnect); the ticks are the times
// of the last sample before the break and of the first one after it.
struct Gap {
    int device = 0;
    std::string cause;  // "disconnected", "queue full", "framing", "device counter jump"
    int64_t firstIndex = 0;
    int64_t lastIndex = 0;
    int64_t startTicks = 0;
    int64_t endTicks = 0;
    int64_t samplesLost() const { return lastIndex - firstIndex + 1; }
};

class Session;

// Where a session's samples go. Every call runs on the consumer thread,
// or once it ended on the thread that stops the session (what was still
// queued), never on two at once; started() and finished() run on the
// threads that start and stop the session. An exception ends the session
// with its text.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool wantsValues() const { return true; }
    // The consumer thread's name (up to 15 characters, as ps and
    // /proc/PID/task/*/comm show it, and benchmarks find it) when this is
    // the session's first sink.
    virtual const char *threadName() const { return "kelvo-capture"; }
    virtual void started(const Session &) {}
    virtual void take(const SessionBatch &batch) = 0;
    virtual void mark(const Session &, const Marker &) {}
    // A gap once it closed: the first sample after it is handed over next.
    virtual void gap(const Session &, const Gap &) {}
    virtual void everySecond(const Session &) {}
    // Every consumer round, with kelvoGetTicks() now: hands on what is due
    // by then. Returns the ticks of the sink's next deadline, 0 for none;
    // the consumer wakes for it even when no samples come.
    virtual int64_t flushDue(int64_t /*nowTicks*/) { return 0; }
    virtual void finished(const Session &) {}
    // Samples of a device this sink had to drop, and messages it sent of
    // them; any thread.
    virtual uint64_t droppedSamples(int /*device*/) const { return 0; }
    virtual uint64_t messagesSent(int /*device*/) const { return 0; }
};

struct DeviceStats {
    uint64_t received = 0;  // samples handed to the sinks
    uint64_t dropped = 0;   // lost in the library's queue or the session's
    uint64_t framingErrors = 0;
    uint64_t bytesSkipped = 0;
    uint64_t blocks = 0;
    uint64_t payloadBytes = 0;
    uint64_t libraryDropped = 0;  // of `dropped`, those the library lost
    uint64_t sessionDropped = 0;  // of `dropped`, those the session's queue lost
    int64_t lastDataTicks = 0;
    uint64_t gaps = 0;
    uint64_t reconnects = 0;
    uint64_t markers = 0;
    uint64_t published = 0;  // messages of the device's samples a publishing sink sent
};

class Session {
public:
    static constexpr std::chrono::seconds kAllGoneWait{10};

    // Opens, configures and describes every device; throws CaptureError,
    // and then nothing stays open.
    explicit Session(SessionSettings settings);
    ~Session();  // stops, and closes the devices
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void addSink(std::unique_ptr<Sink> sink);  // before start()

    // Starts every stream at one moment and the consumer thread.
    void start();
    // Sleeps until the session ended by itself (every device gave its
    // samples, or one failed) or `timeout` passed; true when it ended.
    bool waitUntilEnded(std::chrono::milliseconds timeout);
    // Stops the streams, lets the consumer hand over what is queued and
    // calls the sinks' finished(). Returns the first failure of the run,
    // empty when none. Once only; later calls return the same.
    std::string stop();

    // Any thread, while the session runs. False when the markers waiting
    // for the consumer fill their queue (kMaxPendingMarkers): the marker is
    // then counted as dropped.
    bool mark(const std::string &text, int64_t ticks, const std::string &source);
    // A marker that came and was refused (a malformed message), any thread.
    void countDroppedMarker() { markersDropped_.fetch_add(1, std::memory_order_relaxed); }
    // Markers the sinks got, and those dropped on the way.
    uint64_t markersTaken() const { return markers_.load(std::memory_order_relaxed); }
    uint64_t markersDropped() const { return markersDropped_.load(std::memory_order_relaxed); }
    DeviceStats stats(int device) const;
    // Every gap closed so far, in the order they closed.
    std::vector<Gap> gaps() const;

    // Work that must fall between two batches (a sink going on in another
    // file), from any thread: the consumer runs it on its next round, and
    // what it throws ends the session. Never run when the session stops
    // first.
    void runBetweenBatches(std::function<void()> work);
    // Ends the session as if it ended by itself (waitUntilEnded returns);
    // any thread. stop() still has to be called.
    void requestEnd() { endWith({}); }

    // The session's index of the device's sample nearest `ticks`, by its
    // sample clock's fit now; -1 without a fit. Consumer thread, or after
    // the stop.
    int64_t nearestIndex(int device, int64_t ticks) const;

    const std::vector<recording::DeviceInfo> &devices() const { return devices_; }
    bool running() const { return started_ && !stopped_; }
    int64_t tickOrigin() const { return tickOrigin_; }
    int64_t startUnixNs() const;  // wall-clock time of the release, ns since 1970
    // Spread of the "sent" stamps between the devices, in microseconds;
    // -1 when a device lacks the stamp.
    double stampSpreadUs() const;

private:
    void closeSlots() const;
    void consume();
    void deliver(const recording::Batch &batch);
    void time(const recording::Batch &batch, uint32_t count);
    void takeMarkers();
    std::chrono::milliseconds flushSinks();
    void runQueuedWork();
    void watchDevices();
    void endWith(const std::string &failure);
    int64_t sampleTime(size_t device, uint64_t libraryIndex) const;
    void noteIndexJump(size_t device, int64_t first, int64_t startTicks, int64_t endTicks);
    void resume(size_t device, const recording::Batch &batch);
    void loseDevice(size_t device);
    bool restartedAndLostAgain(size_t device);
    void closeGap(const Gap &gap);
    void endIfGone(std::chrono::steady_clock::time_point now);
    void closeOpenGaps();
    void reconnectLoop();
    void bringBack(size_t device);

    SessionSettings settings_;
    std::vector<recording::DeviceInfo> devices_;
    std::vector<std::unique_ptr<Sink>> sinks_;
    std::unique_ptr<recording::StreamCapture> capture_;
    bool decode_ = false;  // some sink wants values and times
    int64_t tickOrigin_ = 0;
    bool started_ = false;
    bool stopped_ = false;
    std::string failure_;  // the first; written by the consumer until it ends

    // The consumer thread's.
    struct Scratch {
        std::vector<float> values;
        std::vector<uint32_t> counters;
        std::vector<int64_t> ticks;
    };
    std::vector<Scratch> scratch_;
    std::vector<int64_t> nextIndex_;    // the session's index of the next sample
    std::vector<int64_t> indexOffset_;  // the session's index less the library's
    std::vector<int64_t> lastTicks_;    // the last time handed out per device
    // Losses already explained by a gap, to tell the cause of the next jump.
    struct LossesSeen {
        uint64_t session = 0, library = 0, framing = 0;
    };
    std::vector<LossesSeen> lossesSeen_;
    // A device gone: since when, the rate its clock had, and whether its
    // stream has been started again (its next batch closes the gap).
    struct Absence {
        bool gone = false;
        std::chrono::steady_clock::time_point since;
        double periodTicks = 0;
    };
    std::vector<Absence> absences_;
    std::vector<uint64_t> lastReceived_;
    std::vector<std::chrono::steady_clock::time_point> lastChange_;
    std::chrono::steady_clock::time_point nextSecond_;

    // Counters any thread reads.
    std::unique_ptr<std::atomic<uint64_t>[]> received_;
    std::atomic<uint64_t> markers_{0};
    // Rare changes any thread reads: the gaps, the reconnects, and the
    // library's counts of a device's earlier streams (a reopened slot
    // counts from 0).
    mutable std::mutex recordMutex_;
    std::vector<Gap> closedGaps_;
    std::vector<uint64_t> reconnects_;
    std::vector<kelvoStreamStats> earlierStreams_;
    std::vector<bool> slotClosed_;  // from the hang-up until the stream runs again

    // The reconnector's: devices the consumer closed after their hang-up.
    std::mutex reconnectMutex_;
    std::condition_variable reconnectWake_;
    std::vector<bool> toBringBack_;
    std::thread reconnector_;

    // Markers from any thread; the consumer takes them on its next round.
    // Bounded, so that a sender flooding the session costs it no more than
    // this much memory.
    static constexpr size_t kMaxPendingMarkers = 4096;
    std::atomic<uint64_t> markersDropped_{0};
    std::mutex markerMutex_;
    std::vector<Marker> pendingMarkers_;
    int wakeup_ = -1;  // eventfd: a marker, work or the stop

    std::mutex workMutex_;
    std::vector<std::function<void()>> queuedWork_;

    std::mutex endMutex_;
    std::condition_variable endChanged_;
    bool ended_ = false;
    std::atomic<bool> stopping_{false};
    std::thread consumer_;
};

}  // namespace kelvo::capture
