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
#include "commands.h"
#include "h5Recording.h"
#include "kelvo.h"
#include "liveDevices.h"
#include "prologue.h"
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

int run(const Arguments &args) {
    requireDevicesAndConfig(args, "record", 4);
    const std::optional<double> seconds = args.number("seconds");
    const std::optional<double> samples = args.number("samples");
    if (seconds.has_value() == samples.has_value()) throw Failure("'record' needs --seconds S or --samples N", 2);
    const std::string out = args.text("out");
    if (out.size() < 4 || out.compare(out.size() - 3, 3, ".h5") != 0) throw Failure("'record' needs --out FILE.h5", 2);

    LiveDevices live(args.positional, args.words("config"));
    std::unique_ptr<recording::H5Recording> file;
    try {
        file = std::make_unique<recording::H5Recording>(out);
        for (const DeviceInfo &d : live.devices()) file->addDevice(d, {.raw = args.flag("raw"), .timed = true});
    } catch (const std::runtime_error &e) {
        throw Failure(e.what());
    }
    RecordWriter writer(*file, live, samples ? static_cast<uint64_t>(*samples) : 0);
    live.start();
    writeRootAttributes(*file, live);
    // The release stamp now, all four at the end: a killed run keeps the start.
    for (size_t i = 0; i < live.devices().size(); ++i)
        file->setStartStamps(static_cast<int>(i), live.devices()[i].stamps);
    file->flush();
    std::exception_ptr failure;
    const double elapsed = writer.run(seconds.value_or(-1), failure);
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
    std::printf("written to %s\n", out.c_str());
    if (failure) std::rethrow_exception(failure);
    return clean ? 0 : 3;
}

constexpr Option kOptions[] = {
    option::config,
    option::seconds.valueCalled("S").describedAs("how long to record"),
    option::samples.describedAs("how many samples to record of each device"),
    option::out.valueCalled("FILE.h5").describedAs("the HDF5 file to write"),
    Option::flag("raw", "also keep the bytes of each sample as sent, in the dataset raw"),
};

}  // namespace

const Command recordCommand{
    .name = "record",
    .summary = "record a synchronized run into an HDF5 file",
    .outline = "DEVICE... --config CMD...",
    .usage = "DEVICE... --config CMD... (--seconds S | --samples N)\n--out FILE.h5 [--raw]",
    .description = R"(Opens 1 to 4 devices, configures each with the same commands, starts them
in one synchronized moment and records their streams into one HDF5 file
until S seconds passed, every device gave N samples, or Ctrl-C (SIGINT,
SIGTERM and SIGHUP all end the run with a complete file). The file holds,
per device, the group /devices/<serial> (/devices/slot<N> without a serial):
  samples   float32 (n, channels), full scale +-1.0; attribute channel_names
  counter   uint32 (n), when the layout has a sample counter
  time      float64 (n), each sample's time on the library's sample clock,
            in seconds since tick 0 (ticks / 10^7), as the fit had it when
            the sample was written
  index     int64 (n), each sample's stream index (0 for the first after
            the start; a lost sample leaves a gap)
  raw       uint8 (n, sample size), only with --raw
and the attributes idn, path, serial, config, sample_size, layout_*,
start_stamps (the four ticks of the start), stats and the clock's fit at the
end of the run: clock_rate_hz, clock_period_ticks, clock_origin_index,
clock_origin_ticks, clock_jitter_us and clock_samples_fitted (sample i was
measured at clock_origin_ticks + (i - clock_origin_index) x
clock_period_ticks). The root has kelvo_version, host_name, start_time_utc,
tick_origin_utc (tick 0 as UTC; a tick is 100 ns), tick_origin_unix_ns and
stamp_spread_us. The data is flushed to disk once a second.

At the end it prints per device: samples, rate, dropped samples and framing
errors. The exit status is 3 when samples were dropped or the stream had
framing errors, 1 on a failure, 0 for a clean run.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
