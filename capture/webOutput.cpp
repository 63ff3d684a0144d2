// SPDX-License-Identifier: MIT
#include "webOutput.h"

#include "kelvo.h"

namespace kelvo::recording {

namespace {

// A publisher's device that sent nothing for this long shows as gone.
constexpr int64_t kQuietTicks = 2 * WebServer::kTicksPerSecond;

}  // namespace

WebOutput::WebOutput(WebServer &server, int64_t originTicks) : server_(server), originTicks_(originTicks) {}

bool WebOutput::add(ReceivedDevice &r, const PublisherLink &publisher, const Json::Value & /*meta*/) {
    const std::string where = publisher.hostName.empty() ? publisher.endpoint : publisher.hostName;
    const int id = server_.addDevice({r.name, r.device.serial, where, 0, r.device.channelNames});
    if (id < 0) return false;
    r.stored = id;
    shown_.push_back({std::make_unique<ColumnDecimator>(server_.columns(id), originTicks_, server_.columnTicks())});
    return true;
}

void WebOutput::write(ReceivedDevice &r, const ReceivedSamples &s) {
    const size_t channels = r.device.channelNames.size();
    values_.resize(std::max(values_.size(), size_t{s.header.sampleCount} * channels));
    decodeDescribed(r.device, s.raw, s.header.sampleCount, values_.data(), nullptr);
    shown_[static_cast<size_t>(r.stored)].decimator->add(values_.data(), s.localTicks, s.header.sampleCount,
                                                         kelvoGetTicks());
}

// About once a second: what came besides the samples, and the counters.
void WebOutput::keep(const Subscriber &subscriber) {
    const auto &markers = subscriber.markers();
    for (; markersShown_ < markers.size(); ++markersShown_) {
        const RecordedMarker &m = markers[markersShown_];
        server_.marker(server_.secondsAt(m.ticks), m.text, m.publisher.empty() ? m.source : m.publisher);
    }
    const int64_t now = kelvoGetTicks();
    const double seconds =
        lastKeepTicks_ > 0 ? static_cast<double>(now - lastKeepTicks_) / WebServer::kTicksPerSecond : 0;
    lastKeepTicks_ = now;
    for (const ReceivedDevice &r : subscriber.devices()) {
        if (r.stored < 0) continue;
        Shown &shown = shown_[static_cast<size_t>(r.stored)];
        for (; shown.gapsShown < r.gaps.size(); ++shown.gapsShown) {
            const RecordedGap &g = r.gaps[shown.gapsShown];
            server_.gap(r.stored, server_.secondsAt(g.startTicks), server_.secondsAt(g.endTicks), g.samplesLost,
                        g.cause);
        }
        DeviceCounters counters;
        counters.gone = now - r.lastReceipt > kQuietTicks;
        counters.received = r.samples;
        counters.lost = r.lost;
        counters.gaps = r.gaps.size();
        counters.samplesPerSecond = seconds > 0 ? static_cast<double>(r.samples - shown.lastSamples) / seconds : 0;
        shown.lastSamples = r.samples;
        server_.counters(r.stored, counters);
    }
}

}  // namespace kelvo::recording
