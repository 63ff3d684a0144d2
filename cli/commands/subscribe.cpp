// SPDX-License-Identifier: MIT
// kelvo subscribe: receives what 'kelvo publish' sends, counts the
// messages lost on the way (gaps in each device's sequence, from the first
// message received) and the gaps and markers the publisher told of, measures how long each message took from the
// arrival of its first byte at the publisher (the clocks agree on one machine only) and records what arrives, decoded
// by the rule the meta document states, as HDF5 or CSV.
#include <json/reader.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <map>
#include <set>

#include "cli.h"
#include "commands.h"
#include "curveKeys.h"
#include "h5Recording.h"
#include "kelvo.h"
#include "latencyHistogram.h"
#include "wireFormat.h"
#include "zmqSocket.h"

namespace kelvo::cli {

namespace {

using recording::DeviceInfo;
using Clock = std::chrono::steady_clock;

struct Received {
    bool seen = false;
    uint64_t lastSequence = 0;
    uint64_t messages = 0;
    uint64_t samples = 0;
    uint64_t lost = 0;                    // messages
    recording::LatencyHistogram latency;  // ticks from the arrival at the publisher to the receipt
    Clock::time_point first;
    Clock::time_point last;
    bool described = false;  // the meta document told its layout
    DeviceInfo device;
    int stored = -1;  // its index in the HDF5 file, once recorded
    uint64_t firstStored = 0;
    uint64_t storedSamples = 0;
    std::vector<recording::RecordedGap> gaps;  // as the publisher told of them
    bool gapSeen = false;
    uint64_t lastGapSequence = 0;
    uint64_t gapMessagesLost = 0;
};

// What belongs to the session rather than to one device.
struct SessionNotes {
    std::vector<int64_t> markerTicks;
    std::vector<std::string> markerTexts;
    std::vector<std::string> markerSources;
    uint64_t ignored = 0;  // messages on our topics that are not what the format says
};

// Where the received samples go.
class Output {
public:
    virtual ~Output() = default;
    // False when this output takes no more devices.
    virtual bool add(Received &r, const Json::Value &meta) = 0;
    virtual void write(Received &r, const recording::WireHeader &header, const unsigned char *raw) = 0;
    // Writes the gaps and markers so far, where the output keeps them.
    virtual void keep(const std::map<std::string, Received> & /*devices*/, const SessionNotes & /*notes*/) {}
    virtual void flush() = 0;
    virtual void finish(std::map<std::string, Received> &devices) = 0;
};

class H5Output : public Output {
public:
    explicit H5Output(const std::string &path) : file_(path) {}
    bool add(Received &r, const Json::Value &meta) override {
        if (!rootWritten_) {
            file_.setText("/", "kelvo_version", meta["kelvo_version"].asString());
            file_.setText("/", "host_name", meta["host_name"].asString());
            file_.setText("/", "start_time_utc", meta["start_time_utc"].asString());
            file_.setText("/", "tick_origin_utc", meta["tick_origin_utc"].asString());
            file_.setInt("/", "tick_origin_unix_ns", meta["tick_origin_unix_ns"].asInt64());
            rootWritten_ = true;
        }
        r.stored = file_.addDevice(r.device, {.gaps = true});
        return true;
    }
    void write(Received &r, const recording::WireHeader &header, const unsigned char *raw) override {
        const size_t n = header.sampleCount;
        values_.resize(std::max(values_.size(), n * r.device.channelNames.size()));
        counters_.resize(std::max(counters_.size(), n));
        if (r.firstStored == UINT64_MAX) {
            r.firstStored = header.firstSample;
            file_.setInt(file_.groupOf(r.stored), "first_sample", static_cast<int64_t>(header.firstSample));
        }
        recording::decodeDescribed(r.device, raw, header.sampleCount, values_.data(), counters_.data());
        file_.append(r.stored, header.sampleCount, {.values = values_.data(), .counters = counters_.data()});
        r.storedSamples += header.sampleCount;
    }
    // The gaps a device's rows have: those from its first stored sample on.
    void keep(const std::map<std::string, Received> &devices, const SessionNotes &notes) override {
        for (const auto &[topic, r] : devices) {
            if (r.stored < 0 || r.firstStored == UINT64_MAX) continue;
            size_t &seen = gapsSeen_[r.stored];
            for (; seen < r.gaps.size(); ++seen) {
                const recording::RecordedGap &g = r.gaps[seen];
                if (static_cast<uint64_t>(g.firstIndex) >= r.firstStored) file_.appendGap(r.stored, g);
            }
        }
        if (markersWritten_ == 0 && !notes.markerTicks.empty()) file_.addMarkers(false);
        for (; markersWritten_ < notes.markerTicks.size(); ++markersWritten_) {
            const size_t k = markersWritten_;
            file_.appendMarker(notes.markerTicks[k], notes.markerTexts[k], notes.markerSources[k], {});
        }
    }
    void flush() override { file_.flush(); }
    void finish(std::map<std::string, Received> &devices) override {
        for (auto &[topic, r] : devices) {
            if (r.stored < 0) continue;
            recording::RecordedStats stats;
            stats.samples = r.storedSamples;
            stats.messagesLost = r.lost;
            file_.setStats(r.stored, stats);
        }
        file_.flush();
    }

private:
    recording::H5Recording file_;
    bool rootWritten_ = false;
    std::map<int, size_t> gapsSeen_;  // of the device's gaps, by its index in the file
    size_t markersWritten_ = 0;
    std::vector<float> values_;
    std::vector<uint32_t> counters_;
};

class CsvOutput : public Output {
public:
    explicit CsvOutput(const std::string &path) : file_(std::fopen(path.c_str(), "w")), path_(path) {
        if (file_ == nullptr) throw Failure("cannot write " + path + ": " + std::strerror(errno));
    }
    ~CsvOutput() override { std::fclose(file_); }
    bool add(Received &r, const Json::Value &meta) override {
        if (!topic_.empty()) return false;
        topic_ = r.device.topic();
        const DeviceInfo &d = r.device;
        std::fprintf(file_, "# device: %s (%s)\n# idn: %s\n", d.name().c_str(), d.path.c_str(), d.idn.c_str());
        for (const std::string &command : d.config) std::fprintf(file_, "# config: %s\n", command.c_str());
        std::fprintf(file_, "# sample size: %d\n# start time: %s\n", d.sampleSize,
                     meta["start_time_utc"].asString().c_str());
        std::fprintf(file_, "# time: seconds from the start (arrival of each chunk's first byte)\nsample,time");
        for (const std::string &name : d.channelNames) std::fprintf(file_, ",%s", name.c_str());
        std::fputc('\n', file_);
        startNs_ = meta["tick_origin_unix_ns"].asInt64() + d.stamps[0] * 100;
        r.stored = 0;
        return true;
    }
    void write(Received &r, const recording::WireHeader &header, const unsigned char *raw) override {
        const size_t channels = r.device.channelNames.size();
        values_.resize(header.sampleCount * channels);
        recording::decodeDescribed(r.device, raw, header.sampleCount, values_.data(), nullptr);
        const double time = static_cast<double>(header.unixNs - startNs_) * 1e-9;
        for (uint32_t s = 0; s < header.sampleCount; ++s) {
            std::fprintf(file_, "%" PRIu64 ",%.7f", header.firstSample + s, time);
            for (size_t c = 0; c < channels; ++c) std::fprintf(file_, ",%.9g", values_[s * channels + c]);
            std::fputc('\n', file_);
        }
    }
    void flush() override {
        if (std::fflush(file_) != 0) throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
    }
    void finish(std::map<std::string, Received> &) override { flush(); }

private:
    FILE *file_;
    std::string path_;
    std::string topic_;
    int64_t startNs_ = 0;
    std::vector<float> values_;
};

// A publisher has up to four devices; a sender that makes up topics by the
// thousand must not make the subscriber keep a histogram for each.
constexpr size_t kMostDevices = 256;

// The device of `topic`, null when it is new and there are too many.
Received *deviceFor(std::map<std::string, Received> &devices, const std::string &topic) {
    const auto known = devices.find(topic);
    if (known != devices.end()) return &known->second;
    return devices.size() < kMostDevices ? &devices[topic] : nullptr;
}

// The fields of the document's root that the outputs take, of their kinds.
bool rootSound(const Json::Value &meta) {
    if (!meta.isObject() || !meta["devices"].isArray() || !meta["tick_origin_unix_ns"].isInt64()) return false;
    for (const char *name : {"kelvo_version", "host_name", "start_time_utc", "tick_origin_utc"}) {
        if (!meta[name].isString()) return false;
    }
    return true;
}

// Reads the devices out of a meta document; adds the new ones to the
// output. False when it is no meta document: not JSON, or fields of the
// wrong kind (jsoncpp throws for those).
bool learn(const std::string &text, const std::string &topic, std::map<std::string, Received> &devices,
           Output *output) {
    Json::Value meta;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &meta, &errors) || !rootSound(meta)) return false;
    bool sound = true;
    for (const Json::Value &entry : meta["devices"]) {
        try {
            const std::string named = entry["topic"].asString();
            if (!topic.empty() && named != topic) continue;
            Received *r = deviceFor(devices, named);
            if (r == nullptr || r->described) continue;
            r->device = recording::deviceFromJson(entry);
            r->described = true;
            r->firstStored = UINT64_MAX;
            if (output != nullptr && !output->add(*r, meta)) {
                std::fprintf(stderr, "kelvo: %s is not written: a CSV file takes one device (use --topic)\n",
                             named.c_str());
            }
        } catch (const std::exception &e) {
            std::fprintf(stderr, "kelvo: the meta document: %s\n", e.what());
            sound = false;
        }
    }
    return sound;
}

void count(Received &r, const recording::WireHeader &header, int64_t receivedTicks) {
    const Clock::time_point now = Clock::now();
    if (!r.seen) {
        r.seen = true;
        r.first = now;
    } else if (header.sequence > r.lastSequence + 1) {
        r.lost += header.sequence - r.lastSequence - 1;
    }
    r.lastSequence = header.sequence;
    r.last = now;
    ++r.messages;
    r.samples += header.sampleCount;
    // A sender's time is not trusted to keep the difference in range.
    int64_t latency = INT64_MAX;
    if (__builtin_sub_overflow(receivedTicks, header.ticks, &latency)) latency = INT64_MAX;
    r.latency.add(latency);
}

bool isShortText(const std::string &text) {
    return !text.empty() && text.size() <= recording::kMaxShortTextBytes && recording::isUtf8Text(text);
}

// A gap message: false when it is not one as the format says.
bool takeGap(const std::vector<std::string> &frames, Received &r) {
    if (frames.size() != 3) return false;
    const std::optional<recording::WireGap> gap = recording::decodeGap(frames[1].data(), frames[1].size());
    if (!gap || !isShortText(frames[2])) return false;
    if (r.gapSeen && gap->sequence > r.lastGapSequence + 1) r.gapMessagesLost += gap->sequence - r.lastGapSequence - 1;
    r.gapSeen = true;
    r.lastGapSequence = gap->sequence;
    r.gaps.push_back({gap->firstIndex, gap->lastIndex, gap->startTicks, gap->endTicks,
                      gap->lastIndex - gap->firstIndex + 1, frames[2]});
    return true;
}

bool takeMarker(const std::vector<std::string> &frames, SessionNotes &notes) {
    if (frames.size() != 4) return false;
    const std::optional<recording::WireMarker> marker = recording::decodeMarker(frames[1].data(), frames[1].size());
    const std::string &text = frames[2];
    if (!marker || text.size() > recording::kMaxMarkerTextBytes || !recording::isUtf8Text(text) ||
        !isShortText(frames[3])) {
        return false;
    }
    notes.markerTicks.push_back(marker->ticks);
    notes.markerTexts.push_back(text);
    notes.markerSources.push_back(frames[3]);
    return true;
}

constexpr std::string_view kGapSuffix = "/gap";

// The device topic of a gap message's topic, empty for any other topic.
std::string gapDevice(const std::string &topic) {
    if (topic.size() <= kGapSuffix.size() || !topic.ends_with(kGapSuffix)) return {};
    return topic.substr(0, topic.size() - kGapSuffix.size());
}

// One received message: a meta document, a marker, a device's gap or samples.
void take(const std::vector<std::string> &frames, const std::string &topic, std::map<std::string, Received> &devices,
          SessionNotes &notes, Output *output) {
    const int64_t receivedTicks = kelvoGetTicks();
    if (frames.empty()) return;
    if (frames.size() == 2 && frames[0] == "kelvo/meta") {
        if (!learn(frames[1], topic, devices, output)) ++notes.ignored;
        return;
    }
    if (frames[0] == "kelvo/marker") {
        if (!takeMarker(frames, notes)) ++notes.ignored;
        return;
    }
    if (const std::string device = gapDevice(frames[0]); !device.empty()) {
        if (!topic.empty() && device != topic) return;
        Received *r = deviceFor(devices, device);
        if (r == nullptr || !takeGap(frames, *r)) ++notes.ignored;
        return;
    }
    if (!topic.empty() && frames[0] != topic) return;
    const std::optional<recording::WireHeader> header =
        frames.size() == 3 ? recording::decodeHeader(frames[1].data(), frames[1].size()) : std::nullopt;
    // A sample has bytes: a size of 0 would let a header claim any count.
    Received *r = header && header->sampleSize > 0 ? deviceFor(devices, frames[0]) : nullptr;
    if (r == nullptr || frames[2].size() != static_cast<size_t>(header->sampleCount) * header->sampleSize ||
        (r->described && header->sampleSize != static_cast<uint32_t>(r->device.sampleSize))) {
        ++notes.ignored;
        return;
    }
    count(*r, *header, receivedTicks);
    if (output != nullptr && r->described && r->stored >= 0) {
        output->write(*r, *header, reinterpret_cast<const unsigned char *>(frames[2].data()));
    }
}

std::unique_ptr<Output> openOutput(const std::string &path) {
    if (path.empty()) return nullptr;
    const auto endsWith = [&](const char *suffix) {
        const size_t n = std::strlen(suffix);
        return path.size() > n && path.compare(path.size() - n, n, suffix) == 0;
    };
    try {
        if (endsWith(".h5")) return std::make_unique<H5Output>(path);
    } catch (const std::runtime_error &e) {
        throw Failure(e.what());
    }
    if (endsWith(".csv")) return std::make_unique<CsvOutput>(path);
    throw Failure("--out wants a file name ending in .h5 or .csv, not '" + path + "'", 2);
}

// "  gaps: 1 (2.41 s, 24100 samples, disconnected)": their time, samples
// and causes together.
void printGaps(const Received &r) {
    double ticks = 0;  // a sum of differences a hostile sender could make overflow as integers
    uint64_t samples = 0;
    std::set<std::string> causes;
    for (const recording::RecordedGap &g : r.gaps) {
        ticks += static_cast<double>(g.endTicks) - static_cast<double>(g.startTicks);
        samples += static_cast<uint64_t>(g.lastIndex - g.firstIndex + 1);
        causes.insert(g.cause);
    }
    std::printf("  gaps: %zu", r.gaps.size());
    if (!r.gaps.empty()) {
        std::string named;
        for (const std::string &cause : causes) named += ", " + cause;
        std::printf(" (%.2f s, %" PRIu64 " samples%s)", ticks * 1e-7, samples, named.c_str());
    }
    if (r.gapMessagesLost > 0) std::printf("; %" PRIu64 " gap messages lost", r.gapMessagesLost);
    std::printf("\n");
}

// Prints per device what came and what was lost; the exit status.
int summarize(const std::map<std::string, Received> &devices, const SessionNotes &notes) {
    uint64_t lost = 0;
    for (const auto &[topic, r] : devices) {
        if (!r.seen && r.gaps.empty()) continue;
        const double span = std::chrono::duration<double>(r.last - r.first).count();
        std::printf("%-20s %10" PRIu64 " messages %12" PRIu64 " samples %12.1f samples/s  lost %" PRIu64 " messages\n",
                    topic.c_str(), r.messages, r.samples, span > 0 ? static_cast<double>(r.samples) / span : 0.0,
                    r.lost);
        std::printf("  latency         median %.3f ms  p99 %.3f ms\n", r.latency.quantile(0.5) * 1e-4,
                    r.latency.quantile(0.99) * 1e-4);
        printGaps(r);
        lost += r.lost;
    }
    if (devices.empty() && notes.markerTicks.empty()) {
        std::printf("nothing received\n");
    } else {
        std::printf("markers: %zu\n", notes.markerTicks.size());
    }
    if (notes.ignored > 0) std::fprintf(stderr, "kelvo: %" PRIu64 " messages not understood\n", notes.ignored);
    return lost > 0 ? 3 : 0;
}

int run(const Arguments &args) {
    if (args.positional.size() != 1) throw Failure("'subscribe' takes one ENDPOINT, e.g. tcp://host:5555", 2);
    const std::string topic = args.text("topic");
    if (!topic.empty() && topic.rfind("kelvo/", 0) != 0)
        throw Failure("--topic takes kelvo/SERIAL (or kelvo/slotN)", 2);
    const std::unique_ptr<Output> output = openOutput(args.text("out"));
    recording::ZmqSocket socket(ZMQ_SUB);
    socket.setInt(ZMQ_RCVHWM, 100000);
    socket.subscribe("kelvo/meta");
    socket.subscribe("kelvo/marker");
    // A bare prefix would also match kelvo/SIM00010 for kelvo/SIM0001; the
    // topic is compared whole below.
    socket.subscribe(topic.empty() ? "kelvo/" : topic);
    try {
        if (const std::string keys = args.text("curve-keys"); !keys.empty()) {
            socket.secureAsClient(recording::loadCurveKeys(keys));
        }
        socket.connect(args.positional[0]);
    } catch (const std::runtime_error &e) {
        throw Failure(e.what(), 2);
    }

    std::map<std::string, Received> devices;
    SessionNotes notes;
    std::vector<std::string> frames;
    const double seconds = args.number("seconds").value_or(-1);
    const Clock::time_point start = Clock::now();
    Clock::time_point nextFlush = start + std::chrono::seconds(1);
    while (!interrupted) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (seconds >= 0 && elapsed >= seconds) break;
        if (Clock::now() >= nextFlush) {
            if (output) {
                output->keep(devices, notes);
                output->flush();
            }
            nextFlush += std::chrono::seconds(1);
        }
        if (socket.receive(frames, std::chrono::milliseconds(100))) take(frames, topic, devices, notes, output.get());
    }
    if (output) {
        output->keep(devices, notes);
        output->finish(devices);
    }
    return summarize(devices, notes);
}

constexpr Option kOptions[] = {
    Option::valued("topic", "kelvo/SERIAL", ValueKind::text, "receive only this device's stream"),
    option::seconds.valueCalled("S").describedAs("how long to receive; until Ctrl-C without it"),
    option::out.valueCalled("FILE.h5|FILE.csv")
        .describedAs("FILE.h5: records what arrives in the layout of 'kelvo record' (without its time and index "
                     "datasets and clock_* attributes), from the first message after the device's meta document\n"
                     "FILE.csv: one device (use --topic with several): '#' lines that describe it, then the sample "
                     "index, the time in seconds since the start and the decoded values"),
    option::curveKeys.describedAs("connect with ZeroMQ's CURVE, with DIR's client keys, to a publisher with DIR's "
                                  "server key (docs/security.md)"),
};

}  // namespace

const Command subscribeCommand{
    .name = "subscribe",
    .summary = "receive published streams, count losses",
    .outline = "ENDPOINT",
    .usage = "ENDPOINT [--topic kelvo/SERIAL] [--seconds S]\n[--out FILE.h5|FILE.csv] [--curve-keys DIR]",
    .description = R"(Connects to a publisher ('kelvo publish') and receives its streams (only
TOPIC's with --topic) until Ctrl-C or S seconds. At the end it prints per
device the messages, samples, rate and lost messages: gaps in the sequence
numbers, counted from the first message received; then the median and 99th
percentile of the latency, from the arrival of a message's first byte at the
publisher to its receipt (meaningful with both on one machine only: the
clocks of two machines do not agree); then the gaps the publisher told of,
samples that never reached it (their number, length, samples and causes).
Last come the markers of the session. An HDF5 file keeps the gaps in
/devices/<serial>/gaps and the markers in /markers.

With --curve-keys DIR it connects encrypted, as DIR's client, to a
publisher that runs with --curve-keys: one whose key is not DIR's
server.key, or that does not list this client, sends it nothing.

The exit status is 3 when messages were lost, 0 otherwise.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
