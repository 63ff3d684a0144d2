// SPDX-License-Identifier: MIT
#include "publishSink.h"

#include <json/writer.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

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

// A fit's period, 0 without a sound one: a receiver refuses a header
// whose period is not finite.
double periodOf(int slot) {
    kelvoSampleClock clock{};
    if (kelvoGetSampleClock(slot, &clock) != KELVO_OK) return 0;
    return clock.periodTicks > 0 && std::isfinite(clock.periodTicks) ? clock.periodTicks : 0;
}

}  // namespace

PublishSink::PublishSink(const std::string &endpoint, const std::string &topicPrefix, int highWaterMark,
                         const Session &session, recording::Listeners &listeners)
    : session_(session),
      wireVersion_(recording::kWireVersion),
      sequence_(std::make_unique<std::atomic<uint64_t>[]>(session.devices().size())) {
    try {
        socket_ = std::make_unique<recording::ZmqSocket>(ZMQ_PUB);
        socket_->setInt(ZMQ_SNDHWM, highWaterMark > 0 ? highWaterMark : kDefaultHighWaterMark);
        // A subscriber still behind at the end gets this long to take what
        // is queued for it; one that stalled holds the exit up as long.
        socket_->setInt(ZMQ_LINGER, kEndLingerMs);
        // ZMQ_SNDBUF stays the kernel's: a size set by hand turns Linux's
        // autotuning of the TCP buffers off and is capped by wmem_max, so
        // it could only make them smaller.
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
        const auto size = static_cast<size_t>(d.sampleSize);
        Pending p;
        p.capacity = static_cast<uint32_t>(std::max<size_t>(1, kBatchBytes / size));
        p.bytes = std::make_unique_for_overwrite<unsigned char[]>(p.capacity * size);
        pending_.push_back(std::move(p));
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

// A message takes consecutive samples that arrived within one period of
// its first chunk; a chunk larger than the room left is split.
void PublishSink::take(const SessionBatch &b) {
    const auto i = static_cast<size_t>(b.device);
    Pending &p = pending_[i];
    if (p.count > 0 &&
        (b.firstIndex != p.firstIndex + p.count || b.arrivalTicks - p.arrivalTicks >= kBatchPeriodTicks)) {
        flush(i);
    }
    for (uint32_t from = 0; from < b.count;) {
        const uint32_t n = std::min(b.count - from, p.capacity - p.count);
        hold(i, b, from, n);
        from += n;
        if (p.count == p.capacity) flush(i);
    }
}

void PublishSink::hold(size_t device, const SessionBatch &b, uint32_t from, uint32_t count) {
    Pending &p = pending_[device];
    const auto size = static_cast<size_t>(session_.devices()[device].sampleSize);
    if (p.count == 0) {
        p.firstIndex = b.firstIndex + from;
        p.arrivalTicks = b.arrivalTicks;
        p.periodTicks = periodOf(session_.devices()[device].slot);
        // The fit is a line: a later sample of the chunk lies whole periods on.
        p.firstTicks = p.periodTicks > 0 ? b.firstTicks + std::llround(static_cast<double>(from) * p.periodTicks) : 0;
    }
    std::memcpy(p.bytes.get() + p.count * size, b.bytes + from * size, count * size);
    p.count += count;
}

int64_t PublishSink::flushDue(int64_t nowTicks) {
    int64_t next = 0;
    for (size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i].count == 0) continue;
        const int64_t deadline = pending_[i].arrivalTicks + kBatchPeriodTicks;
        if (nowTicks >= deadline) {
            flush(i);
        } else if (next == 0 || deadline < next) {
            next = deadline;
        }
    }
    return next;
}

void PublishSink::flush(size_t device) {
    Pending &p = pending_[device];
    if (p.count == 0) return;
    const recording::DeviceInfo &d = session_.devices()[device];
    recording::WireHeader header;
    header.version = wireVersion_;
    header.sequence = sequence_[device].load(std::memory_order_relaxed);
    header.firstSample = p.firstIndex;
    header.sampleCount = p.count;
    header.sampleSize = static_cast<uint32_t>(d.sampleSize);
    header.ticks = p.arrivalTicks;
    header.unixNs = recording::ticksToUnixNs(session_.tickOrigin(), p.arrivalTicks);
    header.firstSampleTicks = p.firstTicks;
    header.periodTicks = p.periodTicks;
    unsigned char head[recording::kWireHeaderMaxBytes];
    header.sentTicks = kelvoGetTicks();
    const size_t length = recording::encodeHeader(header, head);
    const std::string &topic = topics_[device];
    socket_->send({{topic.data(), topic.size()},
                   {head, length},
                   {p.bytes.get(), static_cast<size_t>(p.count) * static_cast<size_t>(d.sampleSize)}});
    sequence_[device].store(header.sequence + 1, std::memory_order_relaxed);
    p.count = 0;
}

void PublishSink::finished(const Session &session) {
    for (size_t i = 0; i < pending_.size(); ++i) flush(i);
    sendMeta(session);
}

// What came before the gap goes out first: a subscriber sees the samples,
// then the gap, then what follows it.
void PublishSink::gap(const Session &, const Gap &g) {
    const auto i = static_cast<size_t>(g.device);
    flush(i);
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
