// SPDX-License-Identifier: MIT
#include "h5Part.h"

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

// What happened between `before` and `now`; the rows are the part's own.
recording::RecordedStats recordedStats(const DeviceStats &now, const DeviceStats &before, uint64_t rows) {
    recording::RecordedStats stats;
    stats.samples = rows;
    stats.blocks = now.blocks - before.blocks;
    stats.payloadBytes = now.payloadBytes - before.payloadBytes;
    stats.samplesDropped = now.libraryDropped - before.libraryDropped;
    stats.framingErrors = now.framingErrors - before.framingErrors;
    stats.bytesSkipped = now.bytesSkipped - before.bytesSkipped;
    stats.lastDataTicks = now.lastDataTicks;
    stats.samplesLostAfterLibrary = now.sessionDropped - before.sessionDropped;
    return stats;
}

std::vector<int64_t> nearestSamples(const Session &session, int64_t ticks) {
    std::vector<int64_t> nearest;
    nearest.reserve(session.devices().size());
    for (size_t i = 0; i < session.devices().size(); ++i) {
        nearest.push_back(session.nearestIndex(static_cast<int>(i), ticks));
    }
    return nearest;
}

}  // namespace

H5Part::H5Part(const std::string &path, bool raw, const Session &session) : path_(path) {
    try {
        file_ = std::make_unique<recording::H5Recording>(path, recording::H5Recording::Mode::followable);
    } catch (const std::runtime_error &e) {
        throw CaptureError(e.what());
    }
    try {
        for (const recording::DeviceInfo &d : session.devices()) {
            file_->addDevice(d, {.raw = raw, .timed = true, .gaps = true});
        }
        file_->addMarkers();
    } catch (const std::runtime_error &e) {
        file_.reset();
        unlink(path.c_str());  // made here, and of no use half described
        throw CaptureError(e.what());
    }
    for (const recording::DeviceInfo &d : session.devices()) {
        shapes_.push_back({d.channelNames.size(), static_cast<size_t>(d.sampleSize)});
    }
    rows_.assign(shapes_.size(), 0);
}

void H5Part::begin(const Session &session, const Span &span, bool atStart) {
    span_ = span;
    file_->setText("/", "kelvo_version", kelvoGetVersion());
    file_->setText("/", "host_name", hostName());
    file_->setText("/", "start_time_utc", recording::isoUtc(session.startUnixNs()));
    file_->setText("/", "tick_origin_utc", recording::isoUtc(session.tickOrigin()));
    file_->setInt("/", "tick_origin_unix_ns", session.tickOrigin());
    if (span.number > 0) {
        file_->setInt("/", "split_part", span.number);
        file_->setDouble("/", "split_seconds", span.seconds);
        file_->setInt("/", "split_start_ticks", span.startTicks);
        file_->setInt("/", "split_end_ticks", span.endTicks);
    }
    if (!previous_.empty()) file_->setText("/", "previous_file", previous_);
    // The release stamp now, all four at the end: a killed run keeps the start.
    const auto &devices = session.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
        file_->setStartStamps(static_cast<int>(i), devices[i].stamps);
        before_.push_back(atStart ? DeviceStats{} : session.stats(static_cast<int>(i)));
    }
    file_->startSwmr();
}

void H5Part::take(const SessionBatch &b, uint32_t from, uint32_t count) {
    if (seconds_.size() < count) {
        seconds_.resize(count);
        indices_.resize(count);
    }
    for (uint32_t k = 0; k < count; ++k) {
        seconds_[k] = static_cast<double>(b.ticks[from + k]) / 1e7;
        indices_[k] = static_cast<int64_t>(b.firstIndex + from + k);
    }
    const Shape &shape = shapes_[static_cast<size_t>(b.device)];
    file_->append(b.device, count,
                  {.values = b.values + size_t{from} * shape.channels,
                   .counters = b.counters != nullptr ? b.counters + from : nullptr,
                   .raw = b.bytes + size_t{from} * shape.sampleBytes,
                   .seconds = seconds_.data(),
                   .indices = indices_.data()});
    rows_[static_cast<size_t>(b.device)] += count;
}

void H5Part::mark(const Session &session, const Marker &marker) {
    markers_.push_back(marker);
    file_->appendMarker(marker.ticks, marker.text, marker.source, nearestSamples(session, marker.ticks));
}

void H5Part::gap(const Gap &g) {
    file_->appendGap(g.device, {g.firstIndex, g.lastIndex, g.startTicks, g.endTicks, g.samplesLost(), g.cause});
}

void H5Part::finish(const Session &session) {
    if (!file_) return;
    file_->leaveSwmr();
    if (!next_.empty()) file_->setText("/", "next_file", next_);
    const double spread = session.stampSpreadUs();
    if (spread >= 0) file_->setDouble("/", "stamp_spread_us", spread);
    writeStats(session);
    // With the final fits, every marker's nearest sample.
    const auto &devices = session.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
        std::vector<int64_t> nearest;
        nearest.reserve(markers_.size());
        for (const Marker &m : markers_) nearest.push_back(session.nearestIndex(static_cast<int>(i), m.ticks));
        file_->setMarkerIndex(static_cast<int>(i), nearest);
    }
    file_.reset();
}

void H5Part::writeStats(const Session &session) {
    const auto &devices = session.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
        const int device = static_cast<int>(i);
        file_->setStartStamps(device, devices[i].stamps);
        file_->setStats(device, recordedStats(session.stats(device), before_[i], rows_[i]));
        kelvoSampleClock clock{};
        if (kelvoGetSampleClock(devices[i].slot, &clock) == KELVO_OK) file_->setClock(device, clock);
    }
}

}  // namespace kelvo::capture
