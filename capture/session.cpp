// SPDX-License-Identifier: MIT
#include "session.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "captureError.h"
#include "deviceNames.h"
#include "kelvo.h"
#include "reopen.h"
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
// How often a gone device is looked for.
constexpr auto kLookAgain = std::chrono::milliseconds(250);

void addStreamStats(kelvoStreamStats &sum, const kelvoStreamStats &s) {
    sum.blocks += s.blocks;
    sum.payloadBytes += s.payloadBytes;
    sum.samplesDropped += s.samplesDropped;
    sum.framingErrors += s.framingErrors;
    sum.bytesSkipped += s.bytesSkipped;
    sum.lastDataTicks = std::max(sum.lastDataTicks, s.lastDataTicks);
}

std::string secondsText(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

// The samples that a break from the sample at `lastTicks` to one at
// `nextTicks` stands for at `periodTicks` each.
int64_t samplesBetween(int64_t lastTicks, int64_t nextTicks, double periodTicks) {
    if (periodTicks <= 0 || nextTicks <= lastTicks) return 0;
    return std::max<int64_t>(0, std::llround(static_cast<double>(nextTicks - lastTicks) / periodTicks) - 1);
}

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
    reconnects_.assign(count, 0);
    slotClosed_.assign(count, false);
    earlierStreams_.assign(count, kelvoStreamStats{});
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
    indexOffset_.assign(devices_.size(), 0);
    lastTicks_.assign(devices_.size(), 0);
    lossesSeen_.assign(devices_.size(), {});
    absences_.assign(devices_.size(), {});
    toBringBack_.assign(devices_.size(), false);
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
    if (settings_.reconnect) reconnector_ = std::thread([this] { reconnectLoop(); });
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

// A slot is used by one thread at a time: the reconnector and the
// consumer end first, then this thread alone stops the streams and hands
// the sinks what is still queued.
std::string Session::stop() {
    if (!started_ || stopped_) return failure_;
    stopped_ = true;
    {
        std::lock_guard lock(reconnectMutex_);
        stopping_.store(true);
    }
    reconnectWake_.notify_all();
    if (reconnector_.joinable()) reconnector_.join();
    const uint64_t one = 1;
    (void)!write(wakeup_, &one, sizeof one);
    consumer_.join();
    // However the run ends, the streams stop and the sinks get what came.
    for (const DeviceInfo &d : devices_) kelvoStopStream(d.slot, kStopWaitMs);
    capture_->detach();
    try {
        capture_->drain(std::chrono::milliseconds(0), [this](const Batch &b) { deliver(b); });
        takeMarkers();
    } catch (const std::exception &e) {
        if (failure_.empty()) failure_ = e.what();
    }
    closeOpenGaps();
    // A device started again has the stamps of its restart; the run's are
    // kept. The other threads have ended: the counts are this thread's now.
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (reconnects_[i] == 0) kelvoGetTimeStampsFromSynchronizedGroup(devices_[i].slot, devices_[i].stamps);
    }
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
        std::chrono::milliseconds round = kConsumerRound;
        while (!stopping_.load()) {
            capture_->drain(round, take, wakeup_);
            uint64_t woken = 0;
            (void)!read(wakeup_, &woken, sizeof woken);
            takeMarkers();
            runQueuedWork();
            watchDevices();
            if (Clock::now() >= nextSecond_) {
                for (const auto &sink : sinks_) sink->everySecond(*this);
                nextSecond_ += std::chrono::seconds(1);
            }
            round = flushSinks();
        }
    } catch (const std::exception &e) {
        endWith(e.what());
    }
}

// The next sleep: a round, or less when a sink's deadline comes sooner.
std::chrono::milliseconds Session::flushSinks() {
    const int64_t now = kelvoGetTicks();
    int64_t next = 0;
    for (const auto &sink : sinks_) {
        const int64_t due = sink->flushDue(now);
        if (due > 0 && (next == 0 || due < next)) next = due;
    }
    if (next == 0) return kConsumerRound;
    constexpr int64_t kTicksPerMs = 10000;
    // Rounded up, so that the wake-up finds the deadline passed; at least
    // 1 ms, so that a deadline a sink did not serve makes no busy loop.
    const int64_t ms = std::clamp<int64_t>((next - now + kTicksPerMs - 1) / kTicksPerMs, 1, kConsumerRound.count());
    return std::chrono::milliseconds(ms);
}

void Session::deliver(const Batch &b) {
    const size_t i = static_cast<size_t>(b.device);
    const uint64_t had = received_[i].load(std::memory_order_relaxed);
    const uint64_t limit = settings_.sampleLimit;
    const uint32_t count = limit > 0 ? static_cast<uint32_t>(std::min<uint64_t>(b.count, limit - had)) : b.count;
    if (count == 0) return;
    if (absences_[i].gone) resume(i, b);
    const int64_t first = static_cast<int64_t>(b.firstSample) + indexOffset_[i];
    const int64_t lastBefore = lastTicks_[i];  // timing the batch moves it on
    SessionBatch out{b.device, static_cast<uint64_t>(first), count, b.bytes, b.ticks};
    if (decode_) {
        Scratch &s = scratch_[i];
        recording::decodeLive(devices_[i], b.bytes, count, s.values.data(), s.counters.data());
        time(b, count);
        out.values = s.values.data();
        out.counters = devices_[i].hasCounter ? s.counters.data() : nullptr;
        out.ticks = s.ticks.data();
        out.firstTicks = out.ticks[0];
    } else {
        out.firstTicks = sampleTime(i, b.firstSample);
    }
    if (first != nextIndex_[i]) noteIndexJump(i, first, lastBefore, out.firstTicks);
    nextIndex_[i] = first + count;
    if (!decode_) lastTicks_[i] = sampleTime(i, b.firstSample + count - 1);
    for (const auto &sink : sinks_) sink->take(out);
    received_[i].fetch_add(count, std::memory_order_relaxed);
    if (limit > 0 && had + count == limit) {
        bool all = true;
        for (size_t d = 0; d < devices_.size(); ++d) all = all && received_[d].load() >= limit;
        if (all) endWith({});
    }
}

int64_t Session::sampleTime(size_t device, uint64_t libraryIndex) const {
    int64_t ticks = 0;
    if (kelvoGetSampleTimes(devices_[device].slot, static_cast<int64_t>(libraryIndex), 1, &ticks) != 1) {
        throw CaptureError("no sample times: " + libraryError(devices_[device].slot));
    }
    return ticks;
}

// A jump in the stream index: samples lost on the way, in the session's
// queue, the library's, to a malformed block, or by the device itself (its
// counter skipped them). The counts that grew since the last jump tell which.
void Session::noteIndexJump(size_t device, int64_t first, int64_t startTicks, int64_t endTicks) {
    LossesSeen now{capture_->lostSamples(static_cast<int>(device)), 0, 0};
    kelvoStreamStats s{};
    if (kelvoGetStreamStats(devices_[device].slot, &s) == KELVO_OK) {
        now.library = s.samplesDropped;
        now.framing = s.framingErrors;
    }
    LossesSeen &seen = lossesSeen_[device];
    const char *cause = "queue full";
    if (now.framing > seen.framing) {
        cause = "framing";
    } else if (now.session == seen.session && now.library == seen.library && devices_[device].hasCounter) {
        cause = "device counter jump";
    }
    seen = now;
    closeGap({static_cast<int>(device), cause, nextIndex_[device], first - 1, startTicks, endTicks});
}

void Session::closeGap(const Gap &gap) {
    {
        std::lock_guard lock(recordMutex_);
        closedGaps_.push_back(gap);
    }
    for (const auto &sink : sinks_) sink->gap(*this, gap);
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

bool Session::mark(const std::string &text, int64_t ticks, const std::string &source) {
    {
        std::lock_guard lock(markerMutex_);
        if (pendingMarkers_.size() >= kMaxPendingMarkers) {
            countDroppedMarker();
            return false;
        }
        pendingMarkers_.push_back({ticks != 0 ? ticks : kelvoGetTicks(), text, source});
    }
    const uint64_t one = 1;
    (void)!write(wakeup_, &one, sizeof one);
    return true;
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

void Session::runBetweenBatches(std::function<void()> work) {
    {
        std::lock_guard lock(workMutex_);
        queuedWork_.push_back(std::move(work));
    }
    const uint64_t one = 1;
    (void)!write(wakeup_, &one, sizeof one);
}

void Session::runQueuedWork() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(workMutex_);
        work.swap(queuedWork_);
    }
    for (const auto &w : work) w();
}

// A device that hangs up is closed and handed to the reconnector; one
// silent for two seconds ends the session.
void Session::watchDevices() {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < devices_.size(); ++i) {
        const DeviceInfo &d = devices_[i];
        if (absences_[i].gone) {
            if (restartedAndLostAgain(i)) loseDevice(i);
            continue;
        }
        if (kelvoGetFaultBits(d.slot) & KELVO_FAULT_DISCONNECTED) {
            loseDevice(i);
            continue;
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
    endIfGone(now);
}

// A device started again that hung up before its first sample came: its
// gap stays open at the last sample of the run before.
bool Session::restartedAndLostAgain(size_t device) {
    {
        std::lock_guard lock(reconnectMutex_);
        if (toBringBack_[device]) return false;
    }
    return (kelvoGetFaultBits(devices_[device].slot) & KELVO_FAULT_DISCONNECTED) != 0;
}

// What the device sent before it hung up is handed out first; its gap
// opens at the last of those samples.
void Session::loseDevice(size_t device) {
    capture_->drain(std::chrono::milliseconds(0), [this](const Batch &b) { deliver(b); });
    const int slot = devices_[device].slot;
    Absence &absence = absences_[device];
    if (!absence.gone) {
        absence = {true, Clock::now(), 0};
        kelvoSampleClock clock{};
        if (kelvoGetSampleClock(slot, &clock) == KELVO_OK) absence.periodTicks = clock.periodTicks;
    }
    kelvoStreamStats last{};
    {
        std::lock_guard lock(recordMutex_);
        if (kelvoGetStreamStats(slot, &last) == KELVO_OK) addStreamStats(earlierStreams_[device], last);
        slotClosed_[device] = true;
    }
    lossesSeen_[device] = {capture_->lostSamples(static_cast<int>(device)), 0, 0};
    kelvoClose(slot);
    if (!settings_.reconnect) return;
    {
        std::lock_guard lock(reconnectMutex_);
        toBringBack_[device] = true;
    }
    reconnectWake_.notify_all();
}

// The first batch of a device started again: the gap closes here, and the
// index runs on by the samples the gap's duration stands for, so that index
// and time keep agreeing.
void Session::resume(size_t device, const Batch &b) {
    Absence &absence = absences_[device];
    absence.gone = false;
    const int64_t back = sampleTime(device, b.firstSample);
    if (absence.periodTicks <= 0) {
        kelvoSampleClock clock{};
        if (kelvoGetSampleClock(devices_[device].slot, &clock) == KELVO_OK) absence.periodTicks = clock.periodTicks;
    }
    const int64_t missing = samplesBetween(lastTicks_[device], back, absence.periodTicks);
    const int64_t first = nextIndex_[device];
    indexOffset_[device] = first + missing - static_cast<int64_t>(b.firstSample);
    nextIndex_[device] = first + missing;
    {
        std::lock_guard lock(recordMutex_);
        ++reconnects_[device];
    }
    closeGap({static_cast<int>(device), "disconnected", first, first + missing - 1, lastTicks_[device], back});
    lastReceived_[device] = received_[device].load(std::memory_order_relaxed);
    lastChange_[device] = Clock::now();
}

// A gone device ends the session once it was gone for the give-up time;
// every device gone ends it once none came back in the give-up time, or in
// kAllGoneWait without one; at once when nothing is brought back.
void Session::endIfGone(Clock::time_point now) {
    const auto giveUp = settings_.giveUp;
    const auto allGoneWait = !settings_.reconnect               ? Clock::duration::zero()
                             : giveUp > Clock::duration::zero() ? Clock::duration(giveUp)
                                                                : Clock::duration(kAllGoneWait);
    Clock::time_point latest{};
    bool all = true;
    for (size_t i = 0; i < devices_.size(); ++i) {
        const Absence &a = absences_[i];
        all = all && a.gone;
        if (!a.gone) continue;
        latest = std::max(latest, a.since);
        if (giveUp > Clock::duration::zero() && now - a.since >= giveUp) {
            endWith(devices_[i].path +
                    ": the device was unplugged (fatal I/O error on Port) and did not come back in " +
                    secondsText(giveUp));
        }
    }
    if (all && now - latest >= allGoneWait) {
        std::string failure = devices_.front().path + ": the device was unplugged (fatal I/O error on Port)";
        if (settings_.reconnect) failure += "; no device came back";
        endWith(failure);
    }
}

// A device still gone at the stop: its gap runs to the stop.
void Session::closeOpenGaps() {
    const int64_t stop = kelvoGetTicks();
    for (size_t i = 0; i < devices_.size(); ++i) {
        const Absence &a = absences_[i];
        if (!a.gone) continue;
        const int64_t first = nextIndex_[i];
        const int64_t missing = samplesBetween(lastTicks_[i], stop, a.periodTicks);
        closeGap({static_cast<int>(i), "disconnected", first, first + missing - 1, lastTicks_[i], stop});
    }
}

// Looks for each closed device at least every kLookAgain until it is back
// or the session stops; sleeps while none is gone.
void Session::reconnectLoop() {
    pthread_setname_np(pthread_self(), "kelvo-reconnect");
    std::unique_lock lock(reconnectMutex_);
    while (!stopping_.load()) {
        bool waiting = false;
        for (size_t i = 0; i < toBringBack_.size() && !stopping_.load(); ++i) {
            if (!toBringBack_[i]) continue;
            lock.unlock();
            bringBack(i);
            lock.lock();
            waiting = waiting || toBringBack_[i];
        }
        const auto stop = [this] { return stopping_.load(); };
        if (waiting) {
            reconnectWake_.wait_for(lock, kLookAgain, stop);
        } else {
            reconnectWake_.wait(lock, [&] {
                return stop() || std::find(toBringBack_.begin(), toBringBack_.end(), true) != toBringBack_.end();
            });
        }
    }
}

// One look: a failed attempt leaves the slot closed for the next.
void Session::bringBack(size_t device) {
    const DeviceInfo &d = devices_[device];
    const std::string target = findAgain(d);
    if (target.empty()) return;
    try {
        reopenDevice(d, target, [&] { capture_->attach(static_cast<int>(device)); });
    } catch (const CaptureError &) {
        return;
    }
    {
        std::lock_guard lock(recordMutex_);
        slotClosed_[device] = false;
    }
    std::lock_guard lock(reconnectMutex_);
    toBringBack_[device] = false;
}

DeviceStats Session::stats(int device) const {
    DeviceStats stats;
    const auto i = static_cast<size_t>(device);
    if (i >= devices_.size()) return stats;
    stats.received = received_[i].load(std::memory_order_relaxed);
    kelvoStreamStats s{};
    bool closed = false;
    {
        std::lock_guard lock(recordMutex_);
        for (const Gap &g : closedGaps_) stats.gaps += g.device == device ? 1 : 0;
        stats.reconnects = reconnects_[i];
        s = earlierStreams_[i];
        closed = slotClosed_[i];
    }
    stats.markers = markers_.load(std::memory_order_relaxed);
    stats.sessionDropped = capture_->lostSamples(device);
    for (const auto &sink : sinks_) {
        stats.sessionDropped += sink->droppedSamples(device);
        stats.published += sink->messagesSent(device);
    }
    // A closed slot still shows its last stream, which `earlier` holds.
    kelvoStreamStats current{};
    if (!closed && kelvoGetStreamStats(devices_[i].slot, &current) == KELVO_OK) addStreamStats(s, current);
    stats.blocks = s.blocks;
    stats.payloadBytes = s.payloadBytes;
    stats.libraryDropped = s.samplesDropped;
    stats.framingErrors = s.framingErrors;
    stats.bytesSkipped = s.bytesSkipped;
    stats.lastDataTicks = s.lastDataTicks;
    stats.dropped = stats.libraryDropped + stats.sessionDropped;
    return stats;
}

int64_t Session::nearestIndex(int device, int64_t ticks) const {
    const auto i = static_cast<size_t>(device);
    kelvoSampleClock clock{};
    if (kelvoGetSampleClock(devices_[i].slot, &clock) != KELVO_OK || clock.periodTicks <= 0) return -1;
    const double offset = (static_cast<double>(ticks) - clock.originTicks) / clock.periodTicks;
    return clock.originIndex + std::llround(offset) + indexOffset_[i];
}

std::vector<Gap> Session::gaps() const {
    std::lock_guard lock(recordMutex_);
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
