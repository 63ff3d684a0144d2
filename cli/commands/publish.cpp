// SPDX-License-Identifier: MIT
// kelvo publish: the streams of one to four devices on a ZeroMQ PUB socket.
// The library's callback only queues the chunks; one sender thread owns the
// socket, sends each batch of whole samples as one message and the meta
// document once a second.
#include <json/writer.h>
#include <unistd.h>

#include "cli.h"
#include "commands.h"
#include "kelvo.h"
#include "liveDevices.h"
#include "prologue.h"
#include "wallClock.h"
#include "wireFormat.h"
#include "zmqSocket.h"

namespace kelvo::cli {

namespace {

using recording::Batch;
using recording::DeviceInfo;

class Sender {
public:
    Sender(recording::ZmqSocket &socket, LiveDevices &live)
        : socket_(socket),
          live_(live),
          sequence_(live.devices().size()),
          consumer_(live, {.threadName = "kelvo-sender",
                           .take = [this](const Batch &b) { send(b); },
                           .atStart = [this] { sendMeta(); },
                           .everySecond = [this] { sendMeta(); },
                           .atEnd = [this] { sendMeta(); }}) {
        for (const DeviceInfo &d : live.devices()) topics_.push_back(d.topic());
    }

    double run(double seconds, std::exception_ptr &failure) { return consumer_.run(seconds, failure); }
    std::vector<uint64_t> sent() const { return consumer_.counts(); }
    const std::vector<uint64_t> &messages() const { return sequence_; }

private:
    void send(const Batch &b) {
        const size_t i = static_cast<size_t>(b.device);
        const DeviceInfo &d = live_.devices()[i];
        recording::WireHeader header;
        header.sequence = sequence_[i]++;
        header.firstSample = b.firstSample;
        header.sampleCount = b.count;
        header.sampleSize = static_cast<uint32_t>(d.sampleSize);
        header.ticks = b.ticks;
        header.unixNs = recording::ticksToUnixNs(live_.tickOrigin(), b.ticks);
        unsigned char head[recording::kWireHeaderBytes];
        recording::encodeHeader(header, head);
        socket_.send({{topics_[i].data(), topics_[i].size()},
                      {head, sizeof head},
                      {b.bytes, static_cast<size_t>(b.count) * static_cast<size_t>(d.sampleSize)}});
        consumer_.count(i, b.count);
    }

    // The stamps are read afresh: the later ones are taken after the start.
    void sendMeta() {
        Json::Value meta;
        meta["kelvo_version"] = kelvoGetVersion();
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        meta["host_name"] = host;
        meta["start_time_utc"] = recording::isoUtc(live_.startUnixNs());
        meta["tick_origin_utc"] = recording::isoUtc(live_.tickOrigin());
        meta["tick_origin_unix_ns"] = Json::Int64{live_.tickOrigin()};
        meta["devices"] = Json::arrayValue;
        for (const DeviceInfo &d : live_.devices()) {
            DeviceInfo now = d;
            kelvoGetTimeStampsFromSynchronizedGroup(d.slot, now.stamps);
            Json::Value entry = recording::toJson(now);
            entry["sample_clock"] = sampleClock(d.slot);
            meta["devices"].append(entry);
        }
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        const std::string text = Json::writeString(builder, meta);
        static const std::string kTopic = "kelvo/meta";
        socket_.send({{kTopic.data(), kTopic.size()}, {text.data(), text.size()}});
    }

    // The fit of the slot's sample clock now, null before the first samples.
    static Json::Value sampleClock(int slot) {
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

    recording::ZmqSocket &socket_;
    LiveDevices &live_;
    std::vector<std::string> topics_;
    std::vector<uint64_t> sequence_;  // the sender thread's; read after it ended
    CaptureConsumer consumer_;        // last: its thread ends before the rest goes
};

int run(const Arguments &args) {
    requireDevicesAndConfig(args, "publish", 4);
    const std::string bind = args.text("bind");
    if (bind.empty()) throw Failure("'publish' needs --bind ENDPOINT, e.g. tcp://*:5555", 2);

    LiveDevices live(args.positional, args.words("config"));
    std::unique_ptr<recording::ZmqSocket> socket;
    try {
        socket = std::make_unique<recording::ZmqSocket>(ZMQ_PUB);
        socket->setInt(ZMQ_SNDHWM, static_cast<int>(*args.number("hwm")));
        socket->bind(bind);
    } catch (const std::runtime_error &e) {
        throw Failure(e.what());
    }
    std::fprintf(stderr, "publishing on %s:", bind.c_str());
    for (const DeviceInfo &d : live.devices()) std::fprintf(stderr, " %s", d.topic().c_str());
    std::fprintf(stderr, "\n");

    Sender sender(*socket, live);
    live.start();
    std::exception_ptr failure;
    const double elapsed = sender.run(args.number("seconds").value_or(-1), failure);
    bool clean = true;
    const std::vector<uint64_t> sent = sender.sent();
    for (size_t i = 0; i < live.devices().size(); ++i) {
        const DeviceInfo &d = live.devices()[i];
        clean = printSummary(d.name(), d.path,
                             libraryStats(d.slot, sent[i], live.capture().lostSamples(static_cast<int>(i))), elapsed) &&
                clean;
        std::printf("  messages        %llu\n", static_cast<unsigned long long>(sender.messages()[i]));
    }
    if (failure) std::rethrow_exception(failure);
    return clean ? 0 : 3;
}

constexpr Option kOptions[] = {
    option::config,
    option::seconds.valueCalled("S").describedAs("how long to publish; until Ctrl-C without it"),
    Option::valued("bind", "ENDPOINT", ValueKind::text,
                   "where the PUB socket listens: tcp://*:5555, ipc:///tmp/kelvo.sock"),
    Option::number("hwm", "MESSAGES", "how many messages are queued for a subscriber before it loses whole messages", 1,
                   10000000)
        .defaulting("1000"),
};

}  // namespace

const Command publishCommand{
    .name = "publish",
    .summary = "publish the streams over ZeroMQ",
    .outline = "DEVICE... --config CMD...",
    .usage = "DEVICE... --config CMD... --bind ENDPOINT [--seconds S]\n[--hwm MESSAGES]",
    .description = R"(Starts 1 to 4 devices together and publishes their streams on a ZeroMQ PUB
socket bound to ENDPOINT (tcp://*:5555, ipc:///tmp/kelvo.sock) until Ctrl-C
or S seconds. Each chunk of whole samples is one message on the topic
kelvo/<serial> (kelvo/slot<N>): the topic, a 48-byte header (sequence
number, index of the first sample, count, sample size, arrival time) and the
raw samples. Once a second the topic kelvo/meta carries a JSON document
that says how to decode them. docs/wire-format.md has the details.

A subscriber that falls behind loses whole messages once MESSAGES (default
1000) are queued for it; the sequence numbers show the gap.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
