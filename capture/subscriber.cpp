// SPDX-License-Identifier: MIT
#include "subscriber.h"

#include <json/reader.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "kelvo.h"
#include "timeProtocol.h"

namespace kelvo::recording {

namespace {

constexpr std::string_view kGapSuffix = "/gap";
// Messages taken from one publisher before the others get their turn.
constexpr int kMessagesPerTurn = 64;

// The device topic of a gap message's topic, empty for any other topic.
std::string gapDevice(const std::string &topic) {
    if (topic.size() <= kGapSuffix.size() || !topic.ends_with(kGapSuffix)) return {};
    return topic.substr(0, topic.size() - kGapSuffix.size());
}

bool isShortText(const std::string &text) {
    return !text.empty() && text.size() <= kMaxShortTextBytes && isUtf8Text(text);
}

// What an HDF5 name may hold: no '/', no leading '.', not empty.
std::string asName(const std::string &text) {
    std::string name;
    for (const char c : text) name += (c == '/' || c == '\0') ? '_' : c;
    if (name.empty() || name.front() == '.') name.insert(0, "_");
    return name;
}

// tcp://HOST:PORT -> (tcp://HOST, PORT); nothing else splits.
bool splitPort(const std::string &endpoint, std::string &head, std::string &port) {
    if (endpoint.rfind("tcp://", 0) != 0) return false;
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string::npos || colon < 6) return false;
    head = endpoint.substr(0, colon);
    port = endpoint.substr(colon + 1);
    return !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
}

// A tick count in int64_t's range, whatever a sender's numbers made of it.
int64_t asTicks(double ticks) {
    constexpr double kFarthest = 9.2e18;
    return static_cast<int64_t>(std::llround(std::clamp(ticks, -kFarthest, kFarthest)));
}

// The root's fields the outputs take, of their kinds: jsoncpp throws for a
// field of another kind.
bool rootSound(const Json::Value &meta) {
    if (!meta.isObject() || !meta["devices"].isArray() || !meta["tick_origin_unix_ns"].isInt64()) return false;
    for (const char *name : {"kelvo_version", "host_name", "start_time_utc", "tick_origin_utc"}) {
        if (!meta[name].isString()) return false;
    }
    return true;
}

// `name`, or name-2, name-3, ...: the first that is not `taken`.
template <class Taken>
std::string firstFree(const std::string &name, const Taken &taken) {
    if (!taken(name)) return name;
    for (int n = 2;; ++n) {
        std::string candidate = name + "-" + std::to_string(n);
        if (!taken(candidate)) return candidate;
    }
}

// later - earlier, held within int64_t's range.
int64_t ticksBetween(int64_t later, int64_t earlier) {
    int64_t difference = 0;
    if (__builtin_sub_overflow(later, earlier, &difference)) return later > earlier ? INT64_MAX : INT64_MIN;
    return difference;
}

// Counts a data message in, and how long it took.
void count(ReceivedDevice &r, const WireHeader &header, const ClockTracker &clock, int64_t receivedTicks) {
    if (!r.seen) {
        r.seen = true;
        r.firstReceipt = receivedTicks;
    } else if (header.sequence > r.lastSequence + 1) {
        r.lost += header.sequence - r.lastSequence - 1;
    }
    r.lastSequence = header.sequence;
    r.lastReceipt = receivedTicks;
    ++r.messages;
    r.samples += header.sampleCount;
    r.latency.add(ticksBetween(receivedTicks, clock.toLocal(header.ticks)));
    if (header.version >= 3 && header.sentTicks != 0) {
        r.transit.add(ticksBetween(receivedTicks, clock.toLocal(header.sentTicks)));
    }
}

}  // namespace

std::string timeEndpointOf(const std::string &dataEndpoint, const std::string &announced) {
    std::string dataHead;
    std::string dataPort;
    std::string head;
    std::string port;
    if (splitPort(dataEndpoint, dataHead, dataPort) && splitPort(announced, head, port)) return dataHead + ":" + port;
    return announced;
}

Subscriber::Subscriber(SubscriberSettings settings, std::unique_ptr<SubscriberOutput> output)
    : settings_(std::move(settings)), output_(std::move(output)) {
    for (const std::string &endpoint : settings_.endpoints) {
        PublisherLink p;
        p.endpoint = endpoint;
        p.socket = std::make_unique<ZmqSocket>(ZMQ_SUB);
        // Several seconds of every device at full rate: a subscriber busy
        // writing for a moment loses nothing.
        p.socket->setInt(ZMQ_RCVHWM, 100000);
        p.socket->subscribe("kelvo/meta");
        p.socket->subscribe("kelvo/marker");
        // A bare prefix would also match kelvo/SIM00010 for kelvo/SIM0001;
        // the topic is compared whole when a message comes.
        p.socket->subscribe(settings_.topic.empty() ? "kelvo/" : settings_.topic);
        if (settings_.secure) settings_.secure(*p.socket);
        p.socket->connect(endpoint);
        p.timeEndpoint = defaultTimeEndpoint(endpoint);
        p.clock = std::make_unique<ClockTracker>(p.timeEndpoint, settings_.name, settings_.secure);
        pollItems_.push_back({p.socket->handle(), 0, ZMQ_POLLIN, 0});
        publishers_.push_back(std::move(p));
    }
}

Subscriber::~Subscriber() = default;

std::vector<const PublisherLink *> Subscriber::awaitClocks() {
    const auto deadline = std::chrono::steady_clock::now() + settings_.clockWait;
    std::vector<const PublisherLink *> silent;
    for (const PublisherLink &p : publishers_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!p.clock->waitForFirst(std::max(left, std::chrono::milliseconds(0)))) silent.push_back(&p);
    }
    return silent;
}

void Subscriber::receive(std::chrono::milliseconds timeout) {
    std::vector<zmq_pollitem_t> &items = pollItems_;
    if (zmq_poll(items.data(), static_cast<int>(items.size()), static_cast<long>(timeout.count())) <= 0) return;
    for (size_t i = 0; i < publishers_.size(); ++i) {
        if ((items[i].revents & ZMQ_POLLIN) == 0) continue;
        for (int n = 0; n < kMessagesPerTurn; ++n) {
            if (!publishers_[i].socket->receive(frames_, std::chrono::milliseconds(0))) break;
            take(i, frames_, kelvoGetTicks());
        }
    }
}

void Subscriber::flush() {
    for (size_t i = 0; i < publishers_.size(); ++i) {
        uint64_t received = 0;
        uint64_t lost = 0;
        for (const ReceivedDevice &r : devices_) {
            if (r.publisher != i) continue;
            received += r.messages;
            lost += r.lost;
        }
        publishers_[i].clock->report(received, lost);
    }
    if (output_) {
        output_->keep(*this);
        output_->flush();
    }
}

void Subscriber::finish() {
    if (!output_) return;
    output_->keep(*this);
    output_->finish(*this);
}

// One message: a meta document, a marker, a device's gap or samples.
void Subscriber::take(size_t publisher, const std::vector<std::string> &frames, int64_t receivedTicks) {
    if (frames.empty()) return;
    const std::string &topic = settings_.topic;
    if (frames.size() == 2 && frames[0] == "kelvo/meta") {
        learn(publisher, frames[1]);
        return;
    }
    if (frames[0] == "kelvo/marker") {
        if (!takeMarker(publisher, frames)) ++ignored_;
        return;
    }
    if (const std::string device = gapDevice(frames[0]); !device.empty()) {
        if (!topic.empty() && device != topic) return;
        ReceivedDevice *r = deviceOf(publisher, device);
        if (r == nullptr || !takeGap(publisher, frames, *r)) ++ignored_;
        return;
    }
    if (!topic.empty() && frames[0] != topic) return;
    takeSamples(publisher, frames, receivedTicks);
}

ReceivedDevice *Subscriber::deviceOf(size_t publisher, const std::string &topic) {
    for (ReceivedDevice &r : devices_) {
        if (r.publisher == publisher && r.topic == topic) return &r;
    }
    if (devices_.size() >= kMostDevices) return nullptr;
    ReceivedDevice &r = devices_.emplace_back();
    r.publisher = publisher;
    r.topic = topic;
    return &r;
}

std::string Subscriber::uniqueName(const std::string &name) const {
    return firstFree(name, [&](const std::string &candidate) {
        return std::any_of(devices_.begin(), devices_.end(),
                           [&](const ReceivedDevice &r) { return r.described && r.name == candidate; });
    });
}

std::string Subscriber::uniqueLabel(const std::string &label) const {
    return firstFree(label, [&](const std::string &candidate) {
        return std::any_of(publishers_.begin(), publishers_.end(),
                           [&](const PublisherLink &o) { return o.label == candidate; });
    });
}

// Reads the publisher and its devices out of a meta document; hands the
// new devices to the output. A document that is not JSON, or has fields of
// the wrong kind, is counted as not understood.
void Subscriber::learn(size_t publisher, const std::string &text) {
    Json::Value meta;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &meta, &errors) || !rootSound(meta)) {
        ++ignored_;
        return;
    }
    PublisherLink &p = publishers_[publisher];
    if (p.hostName.empty()) p.hostName = meta["host_name"].asString();
    if (p.label.empty()) p.label = uniqueLabel(asName(p.hostName.empty() ? "publisher" : p.hostName));
    learnTimeEndpoint(p, meta);
    bool sound = true;
    for (const Json::Value &entry : meta["devices"]) {
        try {
            const std::string topic = entry["topic"].asString();
            if (!settings_.topic.empty() && topic != settings_.topic) continue;
            ReceivedDevice *r = deviceOf(publisher, topic);
            if (r == nullptr || r->described) continue;
            r->device = deviceFromJson(entry);
            r->name = uniqueName(asName(r->device.name()));
            r->described = true;
            if (output_ != nullptr && !output_->add(*r, p, meta)) {
                std::fprintf(stderr, "kelvo: %s is not written: a CSV file takes one device (use --topic)\n",
                             topic.c_str());
            }
        } catch (const std::exception &e) {
            std::fprintf(stderr, "kelvo: the meta document of %s: %s\n", p.endpoint.c_str(), e.what());
            sound = false;
        }
    }
    if (!sound) ++ignored_;
}

// A publisher whose time service listens elsewhere than the data port + 1
// says where; its clock is asked there from then on.
void Subscriber::learnTimeEndpoint(PublisherLink &p, const Json::Value &meta) {
    if (p.timeEndpointLearnt || !meta["time_endpoint"].isString()) return;
    p.timeEndpointLearnt = true;
    const std::string endpoint = timeEndpointOf(p.endpoint, meta["time_endpoint"].asString());
    if (endpoint == p.timeEndpoint) return;
    p.timeEndpoint = endpoint;
    p.clock = std::make_unique<ClockTracker>(endpoint, settings_.name, settings_.secure);
}

// A gap message: false when it is not one as the format says.
bool Subscriber::takeGap(size_t publisher, const std::vector<std::string> &frames, ReceivedDevice &r) {
    if (frames.size() != 3) return false;
    const std::optional<WireGap> gap = decodeGap(frames[1].data(), frames[1].size());
    if (!gap || !isShortText(frames[2])) return false;
    if (r.gapSeen && gap->sequence > r.lastGapSequence + 1) r.gapMessagesLost += gap->sequence - r.lastGapSequence - 1;
    r.gapSeen = true;
    r.lastGapSequence = gap->sequence;
    const ClockTracker &clock = *publishers_[publisher].clock;
    r.gaps.push_back({gap->firstIndex, gap->lastIndex, clock.toLocal(gap->startTicks), clock.toLocal(gap->endTicks),
                      gap->lastIndex - gap->firstIndex + 1, frames[2]});
    return true;
}

bool Subscriber::takeMarker(size_t publisher, const std::vector<std::string> &frames) {
    if (frames.size() != 4) return false;
    const std::optional<WireMarker> marker = decodeMarker(frames[1].data(), frames[1].size());
    const std::string &text = frames[2];
    if (!marker || text.size() > kMaxMarkerTextBytes || !isUtf8Text(text) || !isShortText(frames[3])) return false;
    const PublisherLink &p = publishers_[publisher];
    markers_.push_back({p.clock->toLocal(marker->ticks), text, frames[3], marker->ticks, p.endpoint});
    return true;
}

// Each sample's time: from the publisher's sample clock when the message
// carries it, else the arrival of the message's first byte for all of them.
void Subscriber::takeSamples(size_t publisher, const std::vector<std::string> &frames, int64_t receivedTicks) {
    const std::optional<WireHeader> header =
        frames.size() == 3 ? decodeHeader(frames[1].data(), frames[1].size()) : std::nullopt;
    // A sample has bytes: a size of 0 would let a header claim any count.
    ReceivedDevice *r = header && header->sampleSize > 0 ? deviceOf(publisher, frames[0]) : nullptr;
    if (r == nullptr || frames[2].size() != static_cast<size_t>(header->sampleCount) * header->sampleSize ||
        (r->described && header->sampleSize != static_cast<uint32_t>(r->device.sampleSize))) {
        ++ignored_;
        return;
    }
    const PublisherLink &p = publishers_[publisher];
    count(*r, *header, *p.clock, receivedTicks);
    if (output_ == nullptr || !r->described || r->stored < 0) return;
    const uint32_t n = header->sampleCount;
    localTicks_.resize(std::max<size_t>(localTicks_.size(), n));
    remoteTicks_.resize(std::max<size_t>(remoteTicks_.size(), n));
    placeSamples(*header, *p.clock, r->lastLocalTicks);
    const ReceivedSamples samples{*header, reinterpret_cast<const unsigned char *>(frames[2].data()),
                                  localTicks_.data(), remoteTicks_.data()};
    output_->write(*r, samples);
}

// The times of a message's samples on both clocks, in doubles: exact for
// any tick count a clock reaches, and a sender's numbers cannot overflow
// them. The clocks' drift over one message is linear: the offsets at its
// first and last sample place those between.
void Subscriber::placeSamples(const WireHeader &header, const ClockTracker &clock, int64_t &lastLocalTicks) {
    const uint32_t n = header.sampleCount;
    if (n == 0) return;
    const bool clocked = header.periodTicks > 0 && header.firstSampleTicks != 0;
    const double first = static_cast<double>(clocked ? header.firstSampleTicks : header.ticks);
    const double period = clocked ? header.periodTicks : 0.0;
    const double last = first + period * (n - 1);
    const double firstShift = static_cast<double>(clock.toLocal(asTicks(first))) - first;
    const double lastShift = static_cast<double>(clock.toLocal(asTicks(last))) - last;
    for (uint32_t k = 0; k < n; ++k) {
        const double remote = first + period * k;
        const double along = n > 1 ? static_cast<double>(k) / (n - 1) : 0.0;
        remoteTicks_[k] = asTicks(remote);
        // A refined estimate must not place a sample before one already
        // kept: times rise, as a recording's do.
        localTicks_[k] = std::max(asTicks(remote + firstShift + along * (lastShift - firstShift)), lastLocalTicks + 1);
        lastLocalTicks = localTicks_[k];
    }
}

}  // namespace kelvo::recording
