// SPDX-License-Identifier: MIT
#include "session.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "captureError.h"
#include "deviceNames.h"
#include "kelvo.h"
#include "wallClock.h"

namespace kelvo::capture {

namespace {

using Clock = std::chrono::steady_clock;
using recording::Batch;
using recording::DeviceInfo;

constexpr int kStartWaitMs = 2000;
constexpr int kStopWaitMs = 2000;
// A streaming device that sends nothing for this long has failed.
constexpr auto kSilenceLimit = std::chrono::seconds(2);
// The consumer looks at the devices and the markers at least this often.
constexpr auto kConsumerRound = std::chrono::milliseconds(100);

std::vector<int> slotsOf(const std::vector<DeviceInfo> &devices) {
    std::vector<int> slots;
    slots.reserve(devices.size());
    for (const DeviceInfo &d : devices) slots.push_back(d.slot);
    return slots;
}

}  // namespace

Session::Session(SessionSettings settings) : settings_(std::move(settings)) {
    const size_t count = settings_.devices.size();
    if (count == 0 || count > 4) throw CaptureError("a capture takes 1 to 4 devices", CaptureError::Kind::usage);
    try {
        std::vector<std::string> paths;
        for (const std::string &name : settings_.devices) {
            const std::string target = resolveDevice(name);
            const std::string path = pathOf(target);
            if (std::find(paths.begin(), paths.end(), path) != paths.end()) {
                throw CaptureError(path + " is given twice", CaptureError::Kind::usage);
            }
            openDevice(static_cast<int>(paths.size()), target);
            paths.push_back(path);
        }
        std::vector<recording::StreamCapture::Source> sources;
        for (size_t slot = 0; slot < paths.size(); ++slot) {
            const std::string &path = paths[slot];
            const auto note = [&](const std::string &command, const std::string &answer) {
                if (settings_.noteAnswer) settings_.noteAnswer(path, command, answer);
            };
            configureDevice(static_cast<int>(slot), path, settings_.config, note);
            try {
                devices_.push_back(recording::describeDevice(static_cast<int>(slot), path, settings_.config));
            } catch (const std::runtime_error &e) {
                throw CaptureError(path + ": " + e.what());
            }
            sources.push_back({static_cast<int>(slot), devices_.back().sampleSize});
        }
        for (size_t i = 0; i < devices_.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                if (devices_[i].name() == devices_[j].name()) {
                    throw CaptureError(devices_[i].path + " and " + devices_[j].path + " are both " +
                                           devices_[i].name(),
                                       CaptureError::Kind::usage);
                }
            }
        }
        capture_ = std::make_unique<recording::StreamCapture>(sources);
        wakeup_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeup_ < 0) throw CaptureError("no eventfd for the capture's consumer");
    } catch (...) {
        closeSlots();
        throw;
    }
    tickOrigin_ = recording::tickOriginUnixNs();
    received_ = std::make_unique<std::atomic<uint64_t>[]>(count);
    gaps_ = std::make_unique<std::atomic<uint64_t>[]>(count);
}

Session::~Session() {
    stop();
    closeSlots();
    if (wakeup_ >= 0) close(wakeup_);
}

void Session::closeSlots() const {
    // Every slot the session may have opened; closing a closed one is a no-op.
    for (size_t slot = 0; slot < settings_.devices.size() && slot < 4; ++slot) kelvoClose(static_cast<int>(slot));
}

void Session::addSink(std::unique_ptr<Sink> sink) { sinks_.push_back(std::move(sink)); }

void Session::start() {
    if (started_) throw CaptureError("the capture was started already", CaptureError::Kind::usage);
    for (const auto &sink : sinks_) decode_ = decode_ || sink->wantsValues();
    for (const DeviceInfo &d : devices_) {
        const size_t samples = (size_t{4} << 20) / static_cast<size_t>(d.sampleSize) + 2;
        Scratch s;
        if (decode_) {
            s.values.resize(samples * d.channelNames.size());
            s.counters.resize(samples);
            s.ticks.resize(samples);
        }
        scratch_.push_back(std::move(s));
    }
    nextIndex_.assign(devices_.size(), 0);
    lastTicks_.assign(devices_.size(), 0);
    lastReceived_.assign(devices_.size(), 0);
    lastChange_.assign(devices_.size(), Clock::now());

    const std::vector<int> slots = slotsOf(devices_);
    // Texts of earlier refusals would be taken for the reason below.
    for (const int slot : slots) (void)kelvoGetLastError(slot);
    capture_->attach();
    const int result = kelvoStartTogether(slots.data(), static_cast<int>(slots.size()), "INIT", kStartWaitMs);
    if (result != KELVO_OK) {
        std::string why = devices_.front().path + ": the library gave no reason";
        for (const DeviceInfo &d : devices_) {
            const char *text = kelvoGetLastError(d.slot);
            if (text != nullptr && *text != '\0') {
                why = d.path + ": " + text;
                break;
            }
        }
        for (const int slot : slots) kelvoStopStream(slot, kStopWaitMs);
        capture_->detach();
        stopped_ = true;
        throw CaptureError(why);
    }
    started_ = true;
    for (DeviceInfo &d : devices_) kelvoGetTimeStampsFromSynchronizedGroup(d.slot, d.stamps);
    for (const auto &sink : sinks_) sink->started(*this);
    nextSecond_ = Clock::now() + std::chrono::seconds(1);
    consumer_ = std::thread([this] { consume(); });
}

bool Session::waitUntilEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(endMutex_);
    return endChanged_.wait_for(lock, timeout, [this] { return ended_; });
}

void Session::endWith(const std::string &failure) {
    std::lock_guard lock(endMutex_);
    if (failure_.empty()) failure_ = failure;
    ended_ = true;
    endChanged_.notify_all();
}

std::string Session::stop() {
    if (!started_ || stopped_) return failure_;
    stopped_ = true;
    // However the run ends, the streams stop and the sinks get what came.
    for (const DeviceInfo &d : devices_) kelvoStopStream(d.slot, kStopWaitMs);
    capture_->detach();
    stopping_.store(true);
    const uint64_t one = 1;
    (void)!write(wakeup_, &one, sizeof one);
    consumer_.join();
    for (DeviceInfo &d : devices_) kelvoGetTimeStampsFromSynchronizedGroup(d.slot, d.stamps);
    for (const auto &sink : sinks_) {
        try {
            sink->finished(*this);
        } catch (const std::exception &e) {
            if (failure_.empty()) failure_ = e.what();
        }
    }
    endWith(failure_);
    return failure_;
}

void Session::consume() {
    pthread_setname_np(pthread_self(), sinks_.empty() ? "kelvo-capture" : sinks_.front()->threadName());
    const auto take = [this](const Batch &b) { deliver(b); };
    try {
        while (!stopping_.load()) {
            capture_->drain(kConsumerRound, take, wakeup_);
            uint64_t woken = 0;
            (void)!read(wakeup_, &woken, sizeof woken);
            takeMarkers();
            watchDevices();
            if (Clock::now() >= nextSecond_) {
                for (const auto &sink : sinks_) sink->everySecond(*this);
                nextSecond_ += std::chrono::seconds(1);
            }
        }
        capture_->drain(std::chrono::milliseconds(0), take);
        takeMarkers();
    } catch (const std::exception &e) {
        endWith(e.what());
    }
}

void Session::deliver(const Batch &b) {
    const size_t i = static_cast<size_t>(b.device);
    const uint64_t had = received_[i].load(std::memory_order_relaxed);
    const uint64_t limit = settings_.sampleLimit;
    const uint32_t count = limit > 0 ? static_cast<uint32_t>(std::min<uint64_t>(b.count, limit - had)) : b.count;
    if (count == 0) return;
    if (b.firstSample != nextIndex_[i]) gaps_[i].fetch_add(1, std::memory_order_relaxed);
    nextIndex_[i] = b.firstSample + b.count;
    SessionBatch out{b.device, b.firstSample, count, b.bytes, b.ticks};
    if (decode_) {
        Scratch &s = scratch_[i];
        recording::decodeLive(devices_[i], b.bytes, count, s.values.data(), s.counters.data());
        time(b, count);
        out.values = s.values.data();
        out.counters = devices_[i].hasCounter ? s.counters.data() : nullptr;
        out.ticks = s.ticks.data();
    }
    for (const auto &sink : sinks_) sink->take(out);
    received_[i].fetch_add(count, std::memory_order_relaxed);
    if (limit > 0 && had + count == limit) {
        bool all = true;
        for (size_t d = 0; d < devices_.size(); ++d) all = all && received_[d].load() >= limit;
        if (all) endWith({});
    }
}

// The sample clock's fit of this moment: a batch handed over late in the
// run is timed by a fit that has followed the stream that long. A refit
// may place a sample before one already handed out, most of all early in
// the stream; such a sample is placed one tick after it, so that times
// always rise.
void Session::time(const Batch &b, uint32_t count) {
    const auto device = static_cast<size_t>(b.device);
    const int slot = devices_[device].slot;
    const int n = static_cast<int>(count);
    int64_t *ticks = scratch_[device].ticks.data();
    if (kelvoGetSampleTimes(slot, static_cast<int64_t>(b.firstSample), n, ticks) != n) {
        throw CaptureError("no sample times: " + libraryError(slot));
    }
    int64_t &last = lastTicks_[device];
    for (uint32_t k = 0; k < count; ++k) {
        ticks[k] = std::max(ticks[k], last + 1);
        last = ticks[k];
    }
}

void Session::mark(const std::string &text, int64_t ticks, const std::string &source) {
    {
        std::lock_guard lock(markerMutex_);
        pendingMarkers_.push_back({ticks != 0 ? ticks : kelvoGetTicks(), text, source});
    }
    const uint64_t one = 1;
    (void)!write(wakeup_, &one, sizeof one);
}

void Session::takeMarkers() {
    std::vector<Marker> markers;
    {
        std::lock_guard lock(markerMutex_);
        markers.swap(pendingMarkers_);
    }
    for (const Marker &m : markers) {
        for (const auto &sink : sinks_) sink->mark(*this, m);
        markers_.fetch_add(1, std::memory_order_relaxed);
    }
}

// A device unplugged or silent for two seconds ends the session.
void Session::watchDevices() {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < devices_.size(); ++i) {
        const DeviceInfo &d = devices_[i];
        if (kelvoGetFaultBits(d.slot) & KELVO_FAULT_DISCONNECTED) {
            endWith(d.path + ": the device was unplugged (fatal I/O error on Port)");
        }
        const uint64_t received = received_[i].load(std::memory_order_relaxed);
        const bool done = settings_.sampleLimit > 0 && received >= settings_.sampleLimit;
        if (received != lastReceived_[i] || done) {
            lastReceived_[i] = received;
            lastChange_[i] = now;
        } else if (now - lastChange_[i] > kSilenceLimit) {
            endWith(d.path + ": nothing streamed for 2 s");
        }
    }
}

DeviceStats Session::stats(int device) const {
    DeviceStats stats;
    const auto i = static_cast<size_t>(device);
    if (i >= devices_.size()) return stats;
    stats.received = received_[i].load(std::memory_order_relaxed);
    stats.gaps = gaps_[i].load(std::memory_order_relaxed);
    stats.markers = markers_.load(std::memory_order_relaxed);
    stats.sessionDropped = capture_->lostSamples(device);
    for (const auto &sink : sinks_) {
        stats.sessionDropped += sink->droppedSamples(device);
        stats.published += sink->messagesSent(device);
    }
    kelvoStreamStats s{};
    if (kelvoGetStreamStats(devices_[i].slot, &s) == 0) {
        stats.blocks = s.blocks;
        stats.payloadBytes = s.payloadBytes;
        stats.libraryDropped = s.samplesDropped;
        stats.framingErrors = s.framingErrors;
        stats.bytesSkipped = s.bytesSkipped;
        stats.lastDataTicks = s.lastDataTicks;
    }
    stats.dropped = stats.libraryDropped + stats.sessionDropped;
    return stats;
}

std::vector<Gap> Session::gaps() const {
    std::lock_guard lock(gapMutex_);
    return closedGaps_;
}

int64_t Session::startUnixNs() const {
    return devices_.empty() ? 0 : recording::ticksToUnixNs(tickOrigin_, devices_.front().stamps[0]);
}

double Session::stampSpreadUs() const {
    int64_t spread = 0;
    const std::vector<int> slots = slotsOf(devices_);
    if (kelvoGetStartSpread(slots.data(), static_cast<int>(slots.size()), &spread) != KELVO_OK) return -1;
    return static_cast<double>(spread) / 10.0;
}

}  // namespace kelvo::capture
