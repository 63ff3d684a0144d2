// SPDX-License-Identifier: MIT
#include "h5Sink.h"

#include <unistd.h>

#include "captureError.h"
#include "kelvo.h"
#include "wallClock.h"

namespace kelvo::capture {

namespace {

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

recording::RecordedStats recordedStats(const DeviceStats &s) {
    recording::RecordedStats stats;
    stats.samples = s.received;
    stats.blocks = s.blocks;
    stats.payloadBytes = s.payloadBytes;
    stats.samplesDropped = s.libraryDropped;
    stats.framingErrors = s.framingErrors;
    stats.bytesSkipped = s.bytesSkipped;
    stats.lastDataTicks = s.lastDataTicks;
    stats.samplesLostAfterLibrary = s.sessionDropped;
    return stats;
}

}  // namespace

H5Sink::H5Sink(const std::string &path, bool raw, const Session &session) : path_(path) {
    try {
        file_ = std::make_unique<recording::H5Recording>(path);
    } catch (const std::runtime_error &e) {
        throw CaptureError(e.what());
    }
    try {
        for (const recording::DeviceInfo &d : session.devices()) file_->addDevice(d, {.raw = raw, .timed = true});
    } catch (const std::runtime_error &e) {
        file_.reset();
        unlink(path.c_str());  // made here, and of no use half described
        throw CaptureError(e.what());
    }
}

void H5Sink::started(const Session &session) {
    file_->setText("/", "kelvo_version", kelvoGetVersion());
    file_->setText("/", "host_name", hostName());
    file_->setText("/", "start_time_utc", recording::isoUtc(session.startUnixNs()));
    file_->setText("/", "tick_origin_utc", recording::isoUtc(session.tickOrigin()));
    file_->setInt("/", "tick_origin_unix_ns", session.tickOrigin());
    // The release stamp now, all four at the end: a killed run keeps the start.
    const auto &devices = session.devices();
    for (size_t i = 0; i < devices.size(); ++i) file_->setStartStamps(static_cast<int>(i), devices[i].stamps);
    file_->flush();
}

void H5Sink::take(const SessionBatch &b) {
    if (seconds_.size() < b.count) {
        seconds_.resize(b.count);
        indices_.resize(b.count);
    }
    for (uint32_t k = 0; k < b.count; ++k) {
        seconds_[k] = static_cast<double>(b.ticks[k]) / 1e7;
        indices_[k] = static_cast<int64_t>(b.firstIndex + k);
    }
    file_->append(b.device, b.count,
                  {.values = b.values,
                   .counters = b.counters,
                   .raw = b.bytes,
                   .seconds = seconds_.data(),
                   .indices = indices_.data()});
}

void H5Sink::mark(const Session &, const Marker &marker) {
    markers_.push_back(marker);
    markersChanged_ = true;
}

void H5Sink::everySecond(const Session &session) {
    if (markersChanged_) writeMarkers(session);
    file_->flush();
}

void H5Sink::writeMarkers(const Session &session) {
    std::vector<int64_t> ticks;
    std::vector<std::string> texts;
    std::vector<std::string> sources;
    ticks.reserve(markers_.size());
    texts.reserve(markers_.size());
    sources.reserve(markers_.size());
    for (const Marker &m : markers_) {
        ticks.push_back(m.ticks);
        texts.push_back(m.text);
        sources.push_back(m.source);
    }
    file_->setMarkers(ticks, texts, sources);
    const auto &devices = session.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
        std::vector<int64_t> nearest;
        nearest.reserve(ticks.size());
        for (const int64_t t : ticks) nearest.push_back(session.nearestIndex(static_cast<int>(i), t));
        file_->setMarkerIndex(static_cast<int>(i), nearest);
    }
    markersChanged_ = false;
}

void H5Sink::finished(const Session &session) {
    if (!file_) return;
    const double spread = session.stampSpreadUs();
    if (spread >= 0) file_->setDouble("/", "stamp_spread_us", spread);
    const auto &devices = session.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
        const int device = static_cast<int>(i);
        file_->setStartStamps(device, devices[i].stamps);
        file_->setStats(device, recordedStats(session.stats(device)));
        kelvoSampleClock clock{};
        if (kelvoGetSampleClock(devices[i].slot, &clock) == KELVO_OK) file_->setClock(device, clock);
    }
    // With the final fits, every marker's nearest sample.
    writeMarkers(session);
    file_.reset();
}

}  // namespace kelvo::capture
