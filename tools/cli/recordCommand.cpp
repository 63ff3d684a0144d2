// SPDX-License-Identifier: MIT
// kelvo record: a synchronized run of one to four devices into one HDF5
// file. The library's callback only queues the chunks; a writer thread
// decodes them and appends whole HDF5 chunks, flushing once a second, so a
// killed run keeps all but its last second. The main thread alone touches
// the file before the writer starts and after it ended.
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <thread>
#include <utility>

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
        : file_(file), live_(live), limit_(limit), written_(live.devices().size()) {
        for (const DeviceInfo &d : live.devices()) {
            const size_t samples = (size_t{4} << 20) / static_cast<size_t>(d.sampleSize) + 2;
            values_.emplace_back(samples * d.channelNames.size());
            counters_.emplace_back(samples);
        }
    }
    ~RecordWriter() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
    }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    // Writes what is still queued and ends the thread.
    void stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    }
    std::vector<uint64_t> written() const {
        std::vector<uint64_t> counts;
        for (const auto &w : written_) counts.push_back(w.load());
        return counts;
    }
    const std::atomic<bool> &done() const { return done_; }

private:
    void run() {
        try {
            auto nextFlush = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            const auto sink = [this](const Batch &b) { write(b); };
            while (!stopping_.load()) {
                live_.capture().drain(std::chrono::milliseconds(100), sink);
                if (std::chrono::steady_clock::now() >= nextFlush) {
                    file_.flush();
                    nextFlush += std::chrono::seconds(1);
                }
            }
            live_.capture().drain(std::chrono::milliseconds(0), sink);
        } catch (...) {
            failure_ = std::current_exception();
            done_.store(true);
        }
    }

    void write(const Batch &b) {
        const size_t i = static_cast<size_t>(b.device);
        const uint64_t had = written_[i].load(std::memory_order_relaxed);
        const uint32_t count = limit_ > 0 ? static_cast<uint32_t>(std::min<uint64_t>(b.count, limit_ - had)) : b.count;
        if (count == 0) return;
        const DeviceInfo &d = live_.devices()[i];
        recording::decodeLive(d, b.bytes, count, values_[i].data(), counters_[i].data());
        file_.append(b.device, count, values_[i].data(), counters_[i].data(), b.bytes);
        written_[i].store(had + count);
        if (limit_ > 0 && had + count == limit_) {
            bool all = true;
            for (const auto &w : written_) all = all && w.load() >= limit_;
            if (all) done_.store(true);
        }
    }

    recording::H5Recording &file_;
    LiveDevices &live_;
    uint64_t limit_;
    std::vector<std::atomic<uint64_t>> written_;
    std::vector<std::vector<float>> values_;
    std::vector<std::vector<uint32_t>> counters_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> done_{false};
    std::exception_ptr failure_;
    std::thread thread_;
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
    writer.start();

    // However the run ends, the streams stop, the writer empties the queues
    // and the file gets its closing attributes.
    double elapsed = 0;
    std::exception_ptr failure;
    try {
        elapsed = waitForEnd(live, args.seconds, writer.done(), [&] { return writer.written(); });
    } catch (...) {
        failure = std::current_exception();
    }
    live.stop();
    try {
        writer.stop();
    } catch (const std::runtime_error &e) {
        if (!failure) failure = std::make_exception_ptr(Failure(e.what()));
    }
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
