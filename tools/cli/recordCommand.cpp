// SPDX-License-Identifier: MIT
// kelvo record: a synchronized run of one to four devices into one HDF5
// file. The library's callback only queues the chunks; a writer thread
// decodes them and appends whole HDF5 chunks, flushing once a second, so a
// killed run keeps all but its last second. The main thread alone touches
// the file before the writer starts and after it ended.
#include <unistd.h>

#include <algorithm>
#include <cinttypes>

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
        file_.append(b.device, count, values_[i].data(), counters_[i].data(), b.bytes);
        consumer_.count(i, count);
        if (limit_ > 0 && had + count == limit_) {
            bool all = true;
            for (const uint64_t w : consumer_.counts()) all = all && w >= limit_;
            if (all) consumer_.end();
        }
    }

    recording::H5Recording &file_;
    LiveDevices &live_;
    uint64_t limit_;
    std::vector<std::vector<float>> values_;
    std::vector<std::vector<uint32_t>> counters_;
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
        for (const DeviceInfo &d : live.devices()) file->addDevice(d, args.raw);
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
    file->setDouble("/", "stamp_spread_us", live.stampSpreadUs());
    bool clean = true;
    const std::vector<uint64_t> written = writer.written();
    for (size_t i = 0; i < live.devices().size(); ++i) {
        const DeviceInfo &d = live.devices()[i];
        const recording::RecordedStats stats =
            libraryStats(d.slot, written[i], live.capture().lostSamples(static_cast<int>(i)));
        file->setStartStamps(static_cast<int>(i), d.stamps);
        file->setStats(static_cast<int>(i), stats);
        clean = printSummary(d.name(), d.path, stats, elapsed) && clean;
    }
    file.reset();
    std::printf("written to %s\n", args.out.c_str());
    if (failure) std::rethrow_exception(failure);
    return clean ? 0 : 3;
}

}  // namespace kelvo::cli
