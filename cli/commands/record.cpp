// SPDX-License-Identifier: MIT
// kelvo record: a synchronized run of one to four devices into one HDF5
// file. The library's callback only queues the samples; a writer thread
// decodes them, asks the sample clock for their times and appends whole
// HDF5 chunks, flushing once a second, so a killed run keeps all but its
// last second. The main thread alone touches the file before the writer
// starts and after it ended.
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <stdexcept>
#include <string>

#include "cli.h"
#include "h5Recording.h"
#include "kelvo.h"
#include "liveDevices.h"
#include "wallClock.h"

namespace kelvo::cli {

namespace {

using recording::Batch;
using recording::DeviceInfo;

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// The writer thread's side of a recording.
class RecordWriter {
public:
    RecordWriter(recording::H5Recording &file, LiveDevices &live, uint64_t limit)
        : file_(file),
          live_(live),
          limit_(limit),
          consumer_(live, {.threadName = "kelvo-writer",
                           .take = [this](const Batch &b) { write(b); },
                           .everySecond = [this] { file_.flush(); }}) {
        for (const DeviceInfo &d : live.devices()) {
            const size_t samples = (size_t{4} << 20) / static_cast<size_t>(d.sampleSize) + 2;
            values_.emplace_back(samples * d.channelNames.size());
            counters_.emplace_back(samples);
        }
    }

    // Writes until the run ends, then what is still queued.
    double run(double seconds, std::exception_ptr &failure) { return consumer_.run(seconds, failure); }
    std::vector<uint64_t> written() const { return consumer_.counts(); }

private:
    void write(const Batch &b) {
        const size_t i = static_cast<size_t>(b.device);
        const uint64_t had = consumer_.counted(i);
        const uint32_t count = limit_ > 0 ? static_cast<uint32_t>(std::min<uint64_t>(b.count, limit_ - had)) : b.count;
        if (count == 0) return;
        const DeviceInfo &d = live_.devices()[i];
        recording::decodeLive(d, b.bytes, count, values_[i].data(), counters_[i].data());
        timeSamples(d.slot, b.firstSample, count);
        file_.append(b.device, count,
                     {.values = values_[i].data(),
                      .counters = counters_[i].data(),
                      .raw = b.bytes,
                      .seconds = seconds_.data(),
                      .indices = indices_.data()});
        consumer_.count(i, count);
        if (limit_ > 0 && had + count == limit_) {
            bool all = true;
            for (const uint64_t w : consumer_.counts()) all = all && w >= limit_;
            if (all) consumer_.end();
        }
    }

    // The sample clock's fit of this moment: a batch written late in the
    // run is timed by a fit that has followed the stream that long.
    void timeSamples(int slot, uint64_t first, uint32_t count) {
        if (ticks_.size() < count) {
            ticks_.resize(count);
            seconds_.resize(count);
            indices_.resize(count);
        }
        const int n = static_cast<int>(count);
        if (kelvoGetSampleTimes(slot, static_cast<int64_t>(first), n, ticks_.data()) != n) {
            throw std::runtime_error("no sample times: " + std::string(kelvoGetLastError(slot)));
        }
        for (uint32_t k = 0; k < count; ++k) {
            seconds_[k] = static_cast<double>(ticks_[k]) / 1e7;
            indices_[k] = static_cast<int64_t>(first + k);
        }
    }

    recording::H5Recording &file_;
    LiveDevices &live_;
    uint64_t limit_;
    std::vector<std::vector<float>> values_;
    std::vector<std::vector<uint32_t>> counters_;
    std::vector<int64_t> ticks_;  // of the batch being written, whichever device's
    std::vector<double> seconds_;
    std::vector<int64_t> indices_;
    CaptureConsumer consumer_;  // last: its thread ends before the rest goes
};

void writeRootAttributes(recording::H5Recording &file, const LiveDevices &live) {
    file.setText("/", "kelvo_version", kelvoGetVersion());
    file.setText("/", "host_name", hostName());
    file.setText("/", "start_time_utc", recording::isoUtc(live.startUnixNs()));
    file.setText("/", "tick_origin_utc", recording::isoUtc(live.tickOrigin()));
    file.setInt("/", "tick_origin_unix_ns", live.tickOrigin());
}

}  // namespace

int recordCommand(int argc, char **argv) {
    const Arguments args =
        parseArguments("record", argc, argv, 2, {"--config", "--seconds", "--samples", "--out", "--raw"});
    if (args.help) {
        std::fputs(helpText("record"), stdout);
        return 0;
    }
    if (args.positional.empty() || args.positional.size() > 4) throw Failure("'record' takes 1 to 4 devices", 2);
    if (args.config.empty()) throw Failure("'record' needs --config with the layout commands", 2);
    if ((args.seconds < 0) == (args.samples < 0)) throw Failure("'record' needs --seconds S or --samples N", 2);
    if (args.out.size() < 4 || args.out.compare(args.out.size() - 3, 3, ".h5") != 0) {
        throw Failure("'record' needs --out FILE.h5", 2);
    }

    LiveDevices live(args.positional, args.config);
    std::unique_ptr<recording::H5Recording> file;
    try {
        file = std::make_unique<recording::H5Recording>(args.out);
        for (const DeviceInfo &d : live.devices()) file->addDevice(d, {.raw = args.raw, .timed = true});
    } catch (const std::runtime_error &e) {
        throw Failure(e.what());
    }
    RecordWriter writer(*file, live, args.samples > 0 ? static_cast<uint64_t>(args.samples) : 0);
    live.start();
    writeRootAttributes(*file, live);
    // The release stamp now, all four at the end: a killed run keeps the start.
    for (size_t i = 0; i < live.devices().size(); ++i)
        file->setStartStamps(static_cast<int>(i), live.devices()[i].stamps);
    file->flush();
    std::exception_ptr failure;
    const double elapsed = writer.run(args.seconds, failure);
    live.readStamps();
    const double spread = live.stampSpreadUs();
    if (spread >= 0) file->setDouble("/", "stamp_spread_us", spread);
    bool clean = true;
    const std::vector<uint64_t> written = writer.written();
    for (size_t i = 0; i < live.devices().size(); ++i) {
        const DeviceInfo &d = live.devices()[i];
        const recording::RecordedStats stats =
            libraryStats(d.slot, written[i], live.capture().lostSamples(static_cast<int>(i)));
        file->setStartStamps(static_cast<int>(i), d.stamps);
        file->setStats(static_cast<int>(i), stats);
        kelvoSampleClock clock{};
        if (kelvoGetSampleClock(d.slot, &clock) == KELVO_OK) file->setClock(static_cast<int>(i), clock);
        clean = printSummary(d.name(), d.path, stats, elapsed) && clean;
    }
    file.reset();
    std::printf("written to %s\n", args.out.c_str());
    if (failure) std::rethrow_exception(failure);
    return clean ? 0 : 3;
}

}  // namespace kelvo::cli
