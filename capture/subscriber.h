// SPDX-License-Identifier: MIT
// The receiving end of docs/wire-format.md: one SUB socket per publisher,
// the messages lost on the way (gaps in each device's sequence), the gaps
// and markers the publishers told of, and every publisher's clock put onto
// this machine's (a ClockTracker per publisher): what is kept, is kept on
// one time axis, the subscriber's.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clockTracker.h"
#include "deviceInfo.h"
#include "h5Recording.h"
#include "latencyHistogram.h"
#include "wireFormat.h"
#include "zmqSocket.h"

namespace kelvo::recording {

struct SubscriberSettings {
    std::vector<std::string> endpoints;  // the publishers' data endpoints
    std::string topic;                   // kelvo/SERIAL: that device alone; empty: every device
    std::string name;                    // how the subscriber names itself to the time services
    // How long the start waits for each publisher's clock.
    std::chrono::milliseconds clockWait{3000};
    // Called with every socket before it connects (encryption).
    std::function<void(ZmqSocket &)> secure;
};

// A publisher as the subscriber knows it.
struct PublisherLink {
    std::string endpoint;
    std::string hostName;      // from its meta document
    std::string timeEndpoint;  // where its clock is asked
    std::string label;         // its name in a recording, unique among the publishers
    std::unique_ptr<ZmqSocket> socket;
    std::unique_ptr<ClockTracker> clock;
    bool timeEndpointLearnt = false;  // the meta document named it
};

// One device's stream as it arrived.
struct ReceivedDevice {
    size_t publisher = 0;
    std::string topic;
    std::string name;  // its group in a recording: the serial, made unique among the publishers
    bool seen = false;
    uint64_t lastSequence = 0;
    uint64_t messages = 0;
    uint64_t samples = 0;
    uint64_t lost = 0;         // messages: jumps in the sequence
    LatencyHistogram latency;  // from the arrival of a message's first byte at the publisher to its receipt
    LatencyHistogram transit;  // from the publisher's sending to the receipt (version 3)
    int64_t firstReceipt = 0;  // ticks of this machine
    int64_t lastReceipt = 0;
    bool described = false;  // a meta document told its layout
    DeviceInfo device;
    int stored = -1;  // its index in the output, once kept
    uint64_t firstStored = UINT64_MAX;
    uint64_t storedSamples = 0;
    int64_t lastLocalTicks = INT64_MIN;  // the last sample's time handed to the output
    std::vector<RecordedGap> gaps;       // on this machine's clock
    bool gapSeen = false;
    uint64_t lastGapSequence = 0;
    uint64_t gapMessagesLost = 0;
};

// A data message's samples with their times: `localTicks` on this
// machine's clock, `remoteTicks` on the publisher's.
struct ReceivedSamples {
    const WireHeader &header;
    const unsigned char *raw;
    const int64_t *localTicks;
    const int64_t *remoteTicks;
};

class Subscriber;

// Where the received samples go.
class SubscriberOutput {
public:
    virtual ~SubscriberOutput() = default;
    // False when this output takes no more devices.
    virtual bool add(ReceivedDevice &device, const PublisherLink &publisher, const Json::Value &meta) = 0;
    virtual void write(ReceivedDevice &device, const ReceivedSamples &samples) = 0;
    // Keeps what came besides the samples: gaps, markers, clock estimates.
    virtual void keep(const Subscriber & /*subscriber*/) {}
    virtual void flush() = 0;
    virtual void finish(const Subscriber &subscriber) = 0;
};

class Subscriber {
public:
    // A publisher has up to four devices; a sender that makes topics up by
    // the thousand must not make the subscriber keep a histogram for each.
    static constexpr size_t kMostDevices = 256;

    // Connects to every publisher and asks its clock; throws
    // std::runtime_error when an endpoint cannot be connected to.
    Subscriber(SubscriberSettings settings, std::unique_ptr<SubscriberOutput> output);
    ~Subscriber();
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    // Waits until every publisher's clock was estimated once, at most the
    // settings' clockWait in all; the publishers whose time service did
    // not answer (their times stay on their own clocks until it does).
    std::vector<const PublisherLink *> awaitClocks();
    // Waits up to `timeout` for messages and takes what came.
    void receive(std::chrono::milliseconds timeout);
    // Hands the output what came besides the samples, flushes it and tells
    // each time service what arrived; about once a second.
    void flush();
    void finish();

    const std::vector<PublisherLink> &publishers() const { return publishers_; }
    const std::deque<ReceivedDevice> &devices() const { return devices_; }
    const std::vector<RecordedMarker> &markers() const { return markers_; }
    // Messages on kelvo's topics that are not what the format says.
    uint64_t ignored() const { return ignored_; }

private:
    void take(size_t publisher, const std::vector<std::string> &frames, int64_t receivedTicks);
    void learn(size_t publisher, const std::string &text);
    void learnTimeEndpoint(PublisherLink &p, const Json::Value &meta);
    // Null for a new device beyond kMostDevices.
    ReceivedDevice *deviceOf(size_t publisher, const std::string &topic);
    std::string uniqueName(const std::string &name) const;
    std::string uniqueLabel(const std::string &label) const;
    bool takeGap(size_t publisher, const std::vector<std::string> &frames, ReceivedDevice &r);
    bool takeMarker(size_t publisher, const std::vector<std::string> &frames);
    void takeSamples(size_t publisher, const std::vector<std::string> &frames, int64_t receivedTicks);
    void placeSamples(const WireHeader &header, const ClockTracker &clock, int64_t &lastLocalTicks);

    SubscriberSettings settings_;
    std::unique_ptr<SubscriberOutput> output_;
    std::vector<PublisherLink> publishers_;
    std::deque<ReceivedDevice> devices_;  // references stay valid as devices are added
    std::vector<RecordedMarker> markers_;
    uint64_t ignored_ = 0;
    std::vector<zmq_pollitem_t> pollItems_;  // one per publisher, in its order
    std::vector<std::string> frames_;
    std::vector<int64_t> localTicks_, remoteTicks_;
};

// The time endpoint of a publisher reached at `dataEndpoint` whose meta
// document names `announced`: the host the subscriber reached it by (a
// publisher bound to a wildcard cannot name it) with the announced port.
std::string timeEndpointOf(const std::string &dataEndpoint, const std::string &announced);

}  // namespace kelvo::recording
