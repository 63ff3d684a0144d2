// SPDX-License-Identifier: MIT
#include "webSink.h"

#include <stdexcept>

#include "captureError.h"
#include "kelvo.h"

namespace kelvo::capture {

using recording::WebServer;

WebSink::WebSink(recording::WebViewSettings settings, Session &session) {
    settings.mark = [&session](const std::string &text) { return session.mark(text, kelvoGetTicks(), "web"); };
    try {
        server_ = std::make_unique<recording::WebServer>(std::move(settings));
    } catch (const std::invalid_argument &e) {
        throw CaptureError(e.what(), CaptureError::Kind::usage);
    } catch (const std::runtime_error &e) {
        throw CaptureError(e.what());
    }
}

// 0 on the time axis is the moment the devices were released together.
void WebSink::started(const Session &session) {
    const int64_t release = session.devices().empty() ? 0 : session.devices().front().stamps[0];
    const int64_t origin = release > 0 ? release : kelvoGetTicks();
    server_->setOrigin(origin, session.startUnixNs());
    const int64_t columnTicks = server_->columnTicks();
    decimators_.reserve(session.devices().size());
    for (const recording::DeviceInfo &info : session.devices()) {
        const int id = server_->addDevice({info.name(), info.serial, info.path, 0, info.channelNames});
        ids_.push_back(id);
        decimators_.emplace_back(server_->columns(id), origin, columnTicks);
        lastReceived_.push_back(0);
    }
    lastSecondTicks_ = kelvoGetTicks();
}

void WebSink::take(const SessionBatch &batch) {
    decimators_[static_cast<size_t>(batch.device)].add(batch.values, batch.ticks, batch.count, batch.arrivalTicks);
}

void WebSink::mark(const Session &, const Marker &marker) {
    server_->marker(server_->secondsAt(marker.ticks), marker.text, marker.source);
}

void WebSink::gap(const Session &, const Gap &gap) {
    server_->gap(ids_[static_cast<size_t>(gap.device)], server_->secondsAt(gap.startTicks),
                 server_->secondsAt(gap.endTicks), gap.samplesLost(), gap.cause);
}

void WebSink::everySecond(const Session &session) {
    const int64_t now = kelvoGetTicks();
    const double seconds = static_cast<double>(now - lastSecondTicks_) / WebServer::kTicksPerSecond;
    lastSecondTicks_ = now;
    for (size_t device = 0; device < ids_.size(); ++device) {
        const DeviceStats stats = session.stats(static_cast<int>(device));
        recording::DeviceCounters counters;
        // Quiet for a second: unplugged, or stalled.
        counters.gone = stats.lastDataTicks == 0 || now - stats.lastDataTicks > WebServer::kTicksPerSecond;
        counters.received = stats.received;
        counters.lost = stats.dropped;
        counters.gaps = stats.gaps;
        counters.samplesPerSecond =
            seconds > 0 ? static_cast<double>(stats.received - lastReceived_[device]) / seconds : 0;
        lastReceived_[device] = stats.received;
        server_->counters(ids_[device], counters);
    }
}

}  // namespace kelvo::capture
