// SPDX-License-Identifier: MIT
#include "subscriberOutputs.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "h5Recording.h"

namespace kelvo::recording {

namespace {

// Everything in ticks is on the subscriber's clock but what is named
// publisher_*: the publisher's own readings, for a reader who redoes the
// alignment from /clock_offsets.
class H5Output : public SubscriberOutput {
public:
    explicit H5Output(const std::string &path) : file_(path) {}

    bool add(ReceivedDevice &r, const PublisherLink &p, const Json::Value &meta) override {
        if (!rootWritten_) {
            file_.setText("/", "kelvo_version", meta["kelvo_version"].asString());
            file_.setText("/", "host_name", meta["host_name"].asString());
            file_.setText("/", "start_time_utc", meta["start_time_utc"].asString());
            file_.setText("/", "tick_origin_utc", meta["tick_origin_utc"].asString());
            file_.setInt("/", "tick_origin_unix_ns", meta["tick_origin_unix_ns"].asInt64());
            file_.setText("/", "time_axis", "subscriber");
            rootWritten_ = true;
        }
        clockTable(p);
        r.stored = file_.addDevice(r.device, {.timed = true, .gaps = true, .remoteTicks = true}, r.name);
        const std::string &group = file_.groupOf(r.stored);
        file_.setText(group, "publisher", p.endpoint);
        file_.setText(group, "publisher_host_name", p.hostName);
        file_.setText(group, "publisher_clock", p.label);
        int64_t local[4];
        for (int k = 0; k < 4; ++k) local[k] = r.device.stamps[k] != 0 ? p.clock->toLocal(r.device.stamps[k]) : 0;
        file_.setStartStamps(r.stored, local);
        file_.setInt64s(group, "publisher_start_stamps", r.device.stamps, 4);
        return true;
    }

    void write(ReceivedDevice &r, const ReceivedSamples &s) override {
        const size_t n = s.header.sampleCount;
        values_.resize(std::max(values_.size(), n * r.device.channelNames.size()));
        counters_.resize(std::max(counters_.size(), n));
        seconds_.resize(std::max(seconds_.size(), n));
        indices_.resize(std::max(indices_.size(), n));
        if (r.firstStored == UINT64_MAX) {
            r.firstStored = s.header.firstSample;
            file_.setInt(file_.groupOf(r.stored), "first_sample", static_cast<int64_t>(s.header.firstSample));
        }
        decodeDescribed(r.device, s.raw, s.header.sampleCount, values_.data(), counters_.data());
        for (size_t k = 0; k < n; ++k) {
            seconds_[k] = static_cast<double>(s.localTicks[k]) * 1e-7;
            indices_[k] = static_cast<int64_t>(s.header.firstSample + k);
        }
        file_.append(r.stored, s.header.sampleCount,
                     {.values = values_.data(),
                      .counters = counters_.data(),
                      .seconds = seconds_.data(),
                      .indices = indices_.data(),
                      .remoteTicks = s.remoteTicks});
        r.storedSamples += s.header.sampleCount;
    }

    // The gaps a device's rows have (those from its first stored sample
    // on), the markers and the clock estimates that came since.
    void keep(const Subscriber &subscriber) override {
        for (const ReceivedDevice &r : subscriber.devices()) {
            if (r.stored < 0 || r.firstStored == UINT64_MAX) continue;
            size_t &seen = gapsSeen_[r.stored];
            for (; seen < r.gaps.size(); ++seen) {
                const RecordedGap &g = r.gaps[seen];
                if (static_cast<uint64_t>(g.firstIndex) >= r.firstStored) file_.appendGap(r.stored, g);
            }
        }
        const std::vector<RecordedMarker> &markers = subscriber.markers();
        if (markersWritten_ == 0 && !markers.empty()) file_.addPublishedMarkers();
        for (; markersWritten_ < markers.size(); ++markersWritten_)
            file_.appendPublishedMarker(markers[markersWritten_]);
        for (const PublisherLink &p : subscriber.publishers()) {
            if (p.label.empty()) continue;
            Table &table = clockTable(p);
            const std::vector<ClockEstimate> history = p.clock->history();
            for (; table.written < history.size(); ++table.written) {
                const ClockEstimate &e = history[table.written];
                file_.appendClockEstimate(table.index, {e.localTicks, e.offsetTicks, e.driftPpm, e.uncertaintyTicks,
                                                        e.roundTripTicks});
            }
        }
    }

    void flush() override { file_.flush(); }

    void finish(const Subscriber &subscriber) override {
        for (const ReceivedDevice &r : subscriber.devices()) {
            if (r.stored < 0) continue;
            RecordedStats stats;
            stats.samples = r.storedSamples;
            stats.messagesLost = r.lost;
            file_.setStats(r.stored, stats);
        }
        file_.flush();
    }

private:
    struct Table {
        int index = 0;
        size_t written = 0;
        const ClockTracker *clock = nullptr;  // a publisher that moved its time service gets a new one
    };

    // The publisher's /clock_offsets table, made when first needed.
    Table &clockTable(const PublisherLink &p) {
        auto found = tables_.find(p.label);
        if (found == tables_.end()) {
            Table table;
            table.index = file_.addClockTable(p.label);
            const std::string object = "/clock_offsets/" + p.label;
            file_.setText(object, "publisher", p.endpoint);
            file_.setText(object, "publisher_host_name", p.hostName);
            file_.setText(object, "time_endpoint", p.timeEndpoint);
            found = tables_.emplace(p.label, table).first;
        }
        if (found->second.clock != p.clock.get()) {
            found->second.clock = p.clock.get();
            found->second.written = 0;
        }
        return found->second;
    }

    H5Recording file_;
    bool rootWritten_ = false;
    std::map<int, size_t> gapsSeen_;  // of the device's gaps, by its index in the file
    size_t markersWritten_ = 0;
    std::map<std::string, Table> tables_;
    std::vector<float> values_;
    std::vector<uint32_t> counters_;
    std::vector<double> seconds_;
    std::vector<int64_t> indices_;
};

class CsvOutput : public SubscriberOutput {
public:
    explicit CsvOutput(const std::string &path) : file_(std::fopen(path.c_str(), "w")), path_(path) {
        if (file_ == nullptr) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    ~CsvOutput() override { std::fclose(file_); }
    CsvOutput(const CsvOutput &) = delete;
    CsvOutput &operator=(const CsvOutput &) = delete;

    bool add(ReceivedDevice &r, const PublisherLink &p, const Json::Value &meta) override {
        if (taken_) return false;
        taken_ = true;
        const DeviceInfo &d = r.device;
        std::fprintf(file_, "# device: %s (%s)\n# idn: %s\n", d.name().c_str(), d.path.c_str(), d.idn.c_str());
        for (const std::string &command : d.config) std::fprintf(file_, "# config: %s\n", command.c_str());
        std::fprintf(file_, "# sample size: %d\n# start time: %s\n", d.sampleSize,
                     meta["start_time_utc"].asString().c_str());
        std::fprintf(file_, "# time: seconds from the start, on this machine's clock\nsample,time");
        for (const std::string &name : d.channelNames) std::fprintf(file_, ",%s", name.c_str());
        std::fputc('\n', file_);
        startTicks_ = p.clock->toLocal(d.stamps[0]);
        r.stored = 0;
        return true;
    }

    void write(ReceivedDevice &r, const ReceivedSamples &s) override {
        const size_t channels = r.device.channelNames.size();
        values_.resize(s.header.sampleCount * channels);
        decodeDescribed(r.device, s.raw, s.header.sampleCount, values_.data(), nullptr);
        for (uint32_t k = 0; k < s.header.sampleCount; ++k) {
            const double time = static_cast<double>(s.localTicks[k] - startTicks_) * 1e-7;
            std::fprintf(file_, "%" PRIu64 ",%.7f", s.header.firstSample + k, time);
            for (size_t c = 0; c < channels; ++c) std::fprintf(file_, ",%.9g", values_[k * channels + c]);
            std::fputc('\n', file_);
        }
    }

    void flush() override {
        if (std::fflush(file_) != 0) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
    }
    void finish(const Subscriber &) override { flush(); }

private:
    FILE *file_;
    std::string path_;
    bool taken_ = false;
    int64_t startTicks_ = 0;
    std::vector<float> values_;
};

bool endsWith(const std::string &path, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return path.size() > n && path.compare(path.size() - n, n, suffix) == 0;
}

}  // namespace

std::unique_ptr<SubscriberOutput> openSubscriberOutput(const std::string &path) {
    if (endsWith(path, ".h5")) return std::make_unique<H5Output>(path);
    if (endsWith(path, ".csv")) return std::make_unique<CsvOutput>(path);
    throw std::invalid_argument("--out wants a file name ending in .h5 or .csv, not '" + path + "'");
}

}  // namespace kelvo::recording
