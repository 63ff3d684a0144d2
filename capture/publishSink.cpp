// SPDX-License-Identifier: MIT
#include "publishSink.h"

#include <json/writer.h>
#include <unistd.h>

#include "captureError.h"
#include "kelvo.h"
#include "timeProtocol.h"
#include "wallClock.h"
#include "wireFormat.h"

namespace kelvo::capture {

namespace {

constexpr int64_t kMaxSubscriptionBytes = 4096;

// The fit of the slot's sample clock now, null before the first samples.
Json::Value sampleClock(int slot) {
    kelvoSampleClock clock{};
    if (kelvoGetSampleClock(slot, &clock) != KELVO_OK) return Json::nullValue;
    Json::Value fit;
    fit["rate_hz"] = clock.rateHz;
    fit["period_ticks"] = clock.periodTicks;
    fit["origin_index"] = Json::Int64{clock.originIndex};
    fit["origin_ticks"] = clock.originTicks;
    fit["jitter_us"] = clock.jitterUs;
    fit["samples_fitted"] = Json::Int64{clock.samplesFitted};
    return fit;
}

// What the subscribers last said of the data messages they got.
Json::Value subscribers(const std::vector<recording::SubscriberReport> &reports) {
    Json::Value all = Json::arrayValue;
    for (const recording::SubscriberReport &r : reports) {
        Json::Value entry;
        entry["name"] = r.name;
        entry["peer"] = r.peer;
        entry["received"] = Json::UInt64{r.received};
        entry["lost"] = Json::UInt64{r.lost};
        all.append(entry);
    }
    return all;
}

}  // namespace

PublishSink::PublishSink(const std::string &endpoint, const std::string &topicPrefix, int highWaterMark,
                         const Session &session, recording::Listeners &listeners)
    : session_(session), sequence_(std::make_unique<std::atomic<uint64_t>[]>(session.devices().size())) {
    try {
        socket_ = std::make_unique<recording::ZmqSocket>(ZMQ_PUB);
        if (highWaterMark > 0) socket_->setInt(ZMQ_SNDHWM, highWaterMark);
        // What a PUB socket takes in is subscriptions, topics of a few bytes:
        // a peer that sends more is no subscriber, and is cut off.
        const int64_t most = kMaxSubscriptionBytes;
        if (zmq_setsockopt(socket_->handle(), ZMQ_MAXMSGSIZE, &most, sizeof most) != 0) {
            throw CaptureError("publish: cannot limit the message size");
        }
        listeners.bind(*socket_, "publish", endpoint);
    } catch (const std::runtime_error &e) {
        throw CaptureError(e.what());
    }
    for (const recording::DeviceInfo &d : session.devices()) {
        topics_.push_back(topicPrefix + "/" + d.name());
        // Below the device's own topic, so that a subscription to the
        // device's prefix brings its gaps too.
        gapTopics_.push_back(topics_.back() + "/gap");
    }
    gapSequence_.assign(session.devices().size(), 0);
}

void PublishSink::serveTime(const std::string &dataEndpoint, const std::string &timeEndpoint,
                            recording::Listeners &listeners) {
    std::string where = timeEndpoint;
    try {
        if (where.empty()) where = recording::defaultTimeEndpoint(dataEndpoint);
    } catch (const std::invalid_argument &e) {
        throw CaptureError(e.what(), CaptureError::Kind::usage);
    }
    try {
        clock_ = std::make_unique<recording::ClockService>(
            [&](recording::ZmqSocket &socket) { return listeners.bind(socket, "time", where); });
    } catch (const std::runtime_error &e) {
        throw CaptureError(std::string("time service: ") + e.what());
    }
}

void PublishSink::take(const SessionBatch &b) {
    const size_t i = static_cast<size_t>(b.device);
    const recording::DeviceInfo &d = session_.devices()[i];
    recording::WireHeader header;
    header.sequence = sequence_[i].load(std::memory_order_relaxed);
    header.firstSample = b.firstIndex;
    header.sampleCount = b.count;
    header.sampleSize = static_cast<uint32_t>(d.sampleSize);
    header.ticks = b.arrivalTicks;
    header.unixNs = recording::ticksToUnixNs(session_.tickOrigin(), b.arrivalTicks);
    unsigned char head[recording::kWireHeaderBytes];
    recording::encodeHeader(header, head);
    socket_->send({{topics_[i].data(), topics_[i].size()},
                   {head, sizeof head},
                   {b.bytes, static_cast<size_t>(b.count) * static_cast<size_t>(d.sampleSize)}});
    sequence_[i].store(header.sequence + 1, std::memory_order_relaxed);
}

void PublishSink::gap(const Session &, const Gap &g) {
    const auto i = static_cast<size_t>(g.device);
    recording::WireGap wire{gapSequence_[i]++, g.firstIndex, g.lastIndex, g.startTicks, g.endTicks};
    unsigned char head[recording::kGapHeaderBytes];
    recording::encodeGap(wire, head);
    const std::string &topic = gapTopics_[i];
    if (!socket_->send({{topic.data(), topic.size()}, {head, sizeof head}, {g.cause.data(), g.cause.size()}})) {
        noticesUnsent_.fetch_add(1, std::memory_order_relaxed);
    }
}

void PublishSink::mark(const Session &session, const Marker &m) {
    recording::WireMarker wire{markerSequence_++, m.ticks, recording::ticksToUnixNs(session.tickOrigin(), m.ticks)};
    unsigned char head[recording::kMarkerHeaderBytes];
    recording::encodeMarker(wire, head);
    static const std::string kTopic = "kelvo/marker";
    if (!socket_->send({{kTopic.data(), kTopic.size()},
                        {head, sizeof head},
                        {m.text.data(), m.text.size()},
                        {m.source.data(), m.source.size()}})) {
        noticesUnsent_.fetch_add(1, std::memory_order_relaxed);
    }
}

// The stamps are read afresh: the later ones are taken after the start.
void PublishSink::sendMeta(const Session &session) {
    Json::Value meta;
    meta["kelvo_version"] = kelvoGetVersion();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    meta["host_name"] = host;
    meta["start_time_utc"] = recording::isoUtc(session.startUnixNs());
    meta["tick_origin_utc"] = recording::isoUtc(session.tickOrigin());
    meta["tick_origin_unix_ns"] = Json::Int64{session.tickOrigin()};
    if (clock_) {
        meta["time_endpoint"] = recording::connectableEndpoint(clock_->endpoint(), host);
        meta["subscribers"] = subscribers(clock_->reports());
    }
    meta["devices"] = Json::arrayValue;
    for (const recording::DeviceInfo &d : session.devices()) {
        recording::DeviceInfo now = d;
        kelvoGetTimeStampsFromSynchronizedGroup(d.slot, now.stamps);
        Json::Value entry = recording::toJson(now);
        entry["sample_clock"] = sampleClock(d.slot);
        meta["devices"].append(entry);
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    const std::string text = Json::writeString(builder, meta);
    static const std::string kTopic = "kelvo/meta";
    socket_->send({{kTopic.data(), kTopic.size()}, {text.data(), text.size()}});
}

}  // namespace kelvo::capture
