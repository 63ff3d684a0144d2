// SPDX-License-Identifier: MIT
#include "liveDevices.h"

#include <pthread.h>

#include <cinttypes>
#include <thread>

#include "kelvo.h"
#include "prologue.h"
#include "wallClock.h"

namespace kelvo::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSilenceLimit = std::chrono::seconds(2);

}  // namespace

LiveDevices::LiveDevices(const std::vector<std::string> &names, const std::vector<std::string> &config) {
    std::vector<recording::StreamCapture::Source> sources;
    for (const int slot : openConfigured(open_, names, config)) {
        try {
            devices_.push_back(recording::describeDevice(slot, open_.name(slot), config));
        } catch (const std::runtime_error &e) {
            throw Failure(open_.name(slot) + ": " + e.what());
        }
        sources.push_back({slot, devices_.back().sampleSize});
    }
    for (size_t i = 0; i < devices_.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (devices_[i].name() == devices_[j].name()) {
                throw Failure(devices_[i].path + " and " + devices_[j].path + " are both " + devices_[i].name(), 2);
            }
        }
    }
    capture_ = std::make_unique<recording::StreamCapture>(sources);
    tickOrigin_ = recording::tickOriginUnixNs();
}

LiveDevices::~LiveDevices() {
    if (running_) {
        try {
            stop();
        } catch (...) {
            // The slots close anyway, which sends the devices "abort".
        }
    }
}

void LiveDevices::start() {
    capture_->attach();
    running_ = true;
    startTogether(open_);
    readStamps();
    lastReceived_.assign(devices_.size(), 0);
    lastChange_.assign(devices_.size(), Clock::now());
}

void LiveDevices::stop() {
    if (!running_) return;
    running_ = false;
    stopStreams(open_.slots());
    capture_->detach();
}

void LiveDevices::readStamps() {
    for (recording::DeviceInfo &d : devices_) kelvoGetTimeStampsFromSynchronizedGroup(d.slot, d.stamps);
}

int64_t LiveDevices::startUnixNs() const {
    return devices_.empty() ? 0 : recording::ticksToUnixNs(tickOrigin_, devices_.front().stamps[0]);
}

double LiveDevices::stampSpreadUs() const {
    int64_t spread = 0;
    const std::vector<int> &slots = open_.slots();
    if (kelvoGetStartSpread(slots.data(), static_cast<int>(slots.size()), &spread) != KELVO_OK) return -1;
    return static_cast<double>(spread) / 10.0;
}

void LiveDevices::watch(const std::vector<uint64_t> &received) {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < devices_.size(); ++i) {
        const recording::DeviceInfo &d = devices_[i];
        if (kelvoGetFaultBits(d.slot) & KELVO_FAULT_DISCONNECTED) {
            throw Failure(d.path + ": the device was unplugged (fatal I/O error on Port)");
        }
        if (received[i] != lastReceived_[i]) {
            lastReceived_[i] = received[i];
            lastChange_[i] = now;
        } else if (now - lastChange_[i] > kSilenceLimit) {
            throw Failure(d.path + ": nothing streamed for 2 s");
        }
    }
}

CaptureConsumer::CaptureConsumer(LiveDevices &live, Work work)
    : live_(live), work_(std::move(work)), counts_(live.devices().size()) {}

CaptureConsumer::~CaptureConsumer() { join(); }

void CaptureConsumer::join() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::vector<uint64_t> CaptureConsumer::counts() const {
    std::vector<uint64_t> counts;
    for (const auto &c : counts_) counts.push_back(c.load());
    return counts;
}

void CaptureConsumer::consume() {
    pthread_setname_np(pthread_self(), work_.threadName);
    try {
        work_.atStart();
        Clock::time_point nextSecond = Clock::now() + std::chrono::seconds(1);
        while (!stopping_.load()) {
            live_.capture().drain(std::chrono::milliseconds(100), work_.take);
            if (Clock::now() >= nextSecond) {
                work_.everySecond();
                nextSecond += std::chrono::seconds(1);
            }
        }
        live_.capture().drain(std::chrono::milliseconds(0), work_.take);
        work_.atEnd();
    } catch (...) {
        failure_ = std::current_exception();
        ended_.store(true);
    }
}

double CaptureConsumer::run(double seconds, std::exception_ptr &failure) {
    thread_ = std::thread([this] { consume(); });
    const Clock::time_point start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    try {
        while (!interrupted && !ended_.load() && (seconds < 0 || elapsed() < seconds)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            live_.watch(counts());
        }
    } catch (...) {
        failure = std::current_exception();
    }
    const double taken = elapsed();
    // However the run ends, the streams stop and the work gets what came.
    live_.stop();
    join();
    if (failure_ && !failure) {
        try {
            std::rethrow_exception(failure_);
        } catch (const std::runtime_error &e) {
            failure = std::make_exception_ptr(Failure(e.what()));
        } catch (...) {
            failure = std::current_exception();
        }
    }
    return taken;
}

recording::RecordedStats libraryStats(int slot, uint64_t samples, uint64_t lostAfterLibrary) {
    recording::RecordedStats stats;
    stats.samples = samples;
    stats.samplesLostAfterLibrary = lostAfterLibrary;
    kelvoStreamStats s{};
    if (kelvoGetStreamStats(slot, &s) == 0) {
        stats.blocks = s.blocks;
        stats.payloadBytes = s.payloadBytes;
        stats.samplesDropped = s.samplesDropped;
        stats.framingErrors = s.framingErrors;
        stats.bytesSkipped = s.bytesSkipped;
        stats.lastDataTicks = s.lastDataTicks;
    }
    return stats;
}

bool printSummary(const std::string &name, const std::string &path, const recording::RecordedStats &stats,
                  double seconds) {
    const uint64_t dropped = stats.samplesDropped + stats.samplesLostAfterLibrary;
    std::printf("%-12s %s\n", name.c_str(), path.c_str());
    std::printf("  samples         %" PRIu64 "\n", stats.samples);
    std::printf("  rate            %.1f samples/s\n", seconds > 0 ? static_cast<double>(stats.samples) / seconds : 0.0);
    std::printf("  dropped         %" PRIu64 "\n", dropped);
    std::printf("  framing errors  %" PRIu64 "\n", stats.framingErrors);
    return dropped == 0 && stats.framingErrors == 0;
}

}  // namespace kelvo::cli
