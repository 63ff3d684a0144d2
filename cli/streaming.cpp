// SPDX-License-Identifier: MIT
// Streaming: the reading threads with the status line and exact counts,
// the start and the orderly stop.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <thread>

#include "cli.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A device that sends nothing for this long is given up.
constexpr auto kSilenceLimit = std::chrono::seconds(2);
constexpr auto kStatusPeriod = std::chrono::milliseconds(250);
// How often the command's thread looks at the end conditions (the time,
// an interrupt, a closed plot window, a failed reader).
constexpr auto kWatchPeriod = std::chrono::milliseconds(20);
// A reading thread's longest sleep in kelvoReadSamples: how late it sees
// that the run ended.
constexpr int kReadWaitMs = 50;
constexpr size_t kReadBytes = 262144;
// kelvoStopStream's wait for a device to fall silent.
constexpr int kStopWaitMs = 2000;
// kelvoStartTogether's wait for every device's first samples.
constexpr int kStartWaitMs = 2000;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string formatRate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f MB/s", bytesPerSecond / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    }
    return text;
}

}  // namespace

StreamRun::~StreamRun() { stopReaders(); }

void StreamRun::add(int slot, const std::string &name, int sampleBytes, SampleSink *sink) {
    slots_.push_back({slot, name, sampleBytes, sink, 0, 0, {}});
}

// The counts come from the library's stream statistics, so "dropped" is
// the number of whole samples lost, not a guess from sticky fault bits.
void StreamRun::readCounts() {
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot &s = slots_[i];
        if (i < readers_.size()) {
            s.counts.received = readers_[i]->samples.load(std::memory_order_relaxed);
            s.bytes = s.counts.received * static_cast<uint64_t>(s.sampleBytes);
        }
        kelvoStreamStats stats{};
        if (kelvoGetStreamStats(s.slot, &stats) != 0) continue;
        s.counts.dropped = stats.samplesDropped;
        s.counts.framingErrors = stats.framingErrors;
        s.counts.bytesSkipped = stats.bytesSkipped;
    }
}

bool StreamRun::clean() const {
    return std::all_of(slots_.begin(), slots_.end(), [](const Slot &s) { return s.counts.clean(); });
}

int streamStatus(const StreamRun &run) { return run.clean() ? 0 : kStatusLoss; }

void StreamRun::showStatus(double elapsed, bool final) {
    if (!terminal_) return;
    uint64_t bytes = 0;
    StreamCounts total;
    for (const Slot &s : slots_) {
        bytes += s.bytes;
        total.received += s.counts.received;
        total.dropped += s.counts.dropped;
        total.framingErrors += s.counts.framingErrors;
        total.bytesSkipped += s.counts.bytesSkipped;
    }
    const double rate = elapsed > 0 ? 1.0 / elapsed : 0.0;
    std::fprintf(stderr,
                 "\r%7.1f s  %11" PRIu64 " samples  %10.0f samples/s  %12s  dropped %" PRIu64
                 "  framing errors %" PRIu64 "  skipped %" PRIu64 " bytes ",
                 elapsed, total.received, static_cast<double>(total.received) * rate,
                 formatRate(static_cast<double>(bytes) * rate).c_str(), total.dropped, total.framingErrors,
                 total.bytesSkipped);
    if (final) std::fputc('\n', stderr);
    std::fflush(stderr);
}

// One kelvoReadSamples: true when samples came (they went to the sink and
// into `samples`), false when none came within `timeoutMs`, or, with no
// wait, when the stopped slot has nothing left. A refusal while the stream
// runs ends the command with the library's text.
bool StreamRun::take(Slot &s, std::vector<unsigned char> &buffer, int timeoutMs, uint64_t &samples) {
    const int capacity = static_cast<int>(buffer.size() / static_cast<size_t>(s.sampleBytes));
    int64_t firstIndex = 0;
    const int got = kelvoReadSamples(s.slot, buffer.data(), capacity, timeoutMs, &firstIndex);
    if (got == KELVO_TIMEOUT || (got < 0 && timeoutMs == 0)) return false;
    if (got < 0) throw Failure(s.name + ": " + libraryError(s.slot));
    if (s.sink != nullptr) s.sink->write(buffer.data(), static_cast<size_t>(got), firstIndex);
    samples += static_cast<uint64_t>(got);
    return true;
}

// A slot's reading thread: sleeps in the library until samples come, hands
// them to the sink, and gives up on a device silent for too long.
void StreamRun::read(size_t index) {
    // The stopping signals go to the command's thread, which watches for them.
    sigset_t stopping;
    sigemptyset(&stopping);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopping, number);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    Slot &s = slots_[index];
    Reader &r = *readers_[index];
    try {
        std::vector<unsigned char> buffer(std::max(kReadBytes, static_cast<size_t>(s.sampleBytes)));
        uint64_t samples = 0;
        Clock::time_point lastData = Clock::now();
        while (!stopping_.load(std::memory_order_relaxed)) {
            if (take(s, buffer, kReadWaitMs, samples)) {
                r.samples.store(samples, std::memory_order_relaxed);
                lastData = Clock::now();
            } else if (Clock::now() - lastData > kSilenceLimit) {
                throw Failure(s.name + ": nothing streamed for 2 s");
            }
        }
    } catch (...) {
        r.failure = std::current_exception();
        failed_.store(true);
    }
}

void StreamRun::stopReaders() {
    stopping_.store(true);
    for (const std::unique_ptr<Reader> &r : readers_) {
        if (r->thread.joinable()) r->thread.join();
    }
}

double StreamRun::run(double seconds) {
    terminal_ = isatty(STDERR_FILENO) != 0;
    stopping_.store(false);
    failed_.store(false);
    readers_.clear();
    for (size_t i = 0; i < slots_.size(); ++i) readers_.push_back(std::make_unique<Reader>());
    for (size_t i = 0; i < slots_.size(); ++i) readers_[i]->thread = std::thread([this, i] { read(i); });
    const Clock::time_point start = Clock::now();
    Clock::time_point nextStatus = start + kStatusPeriod;
    try {
        while (!interrupted && !failed_.load() && !(endWhen_ && endWhen_())) {
            if (seconds >= 0 && secondsSince(start) >= seconds) break;
            if (Clock::now() >= nextStatus) {
                readCounts();
                showStatus(secondsSince(start), false);
                nextStatus += kStatusPeriod;
            }
            std::this_thread::sleep_for(kWatchPeriod);
        }
    } catch (...) {
        stopReaders();
        throw;
    }
    const double elapsed = secondsSince(start);
    stopReaders();
    readCounts();
    for (Slot &s : slots_) s.bytesInRun = s.bytes;
    showStatus(elapsed, true);
    for (const std::unique_ptr<Reader> &r : readers_) {
        if (r->failure) std::rethrow_exception(r->failure);
    }
    return elapsed;
}

void StreamRun::drain() {
    std::vector<unsigned char> buffer(kReadBytes);
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot &s = slots_[i];
        if (buffer.size() < static_cast<size_t>(s.sampleBytes)) buffer.resize(static_cast<size_t>(s.sampleBytes));
        uint64_t samples = i < readers_.size() ? readers_[i]->samples.load() : 0;
        while (take(s, buffer, 0, samples)) {
        }
        if (i < readers_.size()) readers_[i]->samples.store(samples);
    }
    readCounts();
}

void startStream(int slot, const std::string &name) {
    if (kelvoSendCmdWhileStreaming(slot, "INIT") != 0) throw Failure(name + ": " + libraryError(slot));
}

void startTogether(const OpenSlots &open) {
    const std::vector<int> &slots = open.slots();
    // Texts of earlier refusals would be taken for the reason below.
    for (const int slot : slots) (void)kelvoGetLastError(slot);
    const int result = kelvoStartTogether(slots.data(), static_cast<int>(slots.size()), "INIT", kStartWaitMs);
    if (result == KELVO_OK) return;
    // The text is the slot's that refused or stayed silent.
    for (const int slot : slots) {
        const char *text = kelvoGetLastError(slot);
        if (text != nullptr && *text != '\0') {
            const std::string why = text;
            if (result == KELVO_TIMEOUT) stopStreams(slots);
            throw Failure(open.name(slot) + ": " + why);
        }
    }
    if (result == KELVO_TIMEOUT) stopStreams(slots);
    throw Failure(open.name(slots.front()) + ": the library gave no reason");
}

void stopStreams(const std::vector<int> &slots) {
    for (const int slot : slots) kelvoStopStream(slot, kStopWaitMs);
}

StartStamps readStartStamps(const std::vector<std::pair<int, std::string>> &slots) {
    StartStamps start;
    std::vector<int> numbers;
    for (const auto &[slot, name] : slots) {
        StartStamps::Device &d = start.devices.emplace_back(StartStamps::Device{slot, name, {}});
        if (kelvoGetTimeStampsFromSynchronizedGroup(slot, d.ticks) != 0)
            throw Failure(name + ": " + libraryError(slot));
        numbers.push_back(slot);
    }
    int64_t spread = 0;
    if (kelvoGetStartSpread(numbers.data(), static_cast<int>(numbers.size()), &spread) == KELVO_OK) {
        start.sentSpreadUs = static_cast<double>(spread) / 10.0;
    }
    return start;
}

double StartStamps::spreadUs(int k) const {
    if (k == 1) return sentSpreadUs;
    int64_t low = INT64_MAX;
    int64_t high = INT64_MIN;
    for (const Device &d : devices) {
        if (!d.taken(k)) return -1;
        low = std::min(low, d.ticks[k]);
        high = std::max(high, d.ticks[k]);
    }
    return devices.empty() ? -1 : static_cast<double>(high - low) / 10.0;
}

void printStamps(const std::vector<std::pair<int, std::string>> &slots) {
    static const char *const kTitles[] = {"released", "sent", "first bytes", "first payload"};
    const StartStamps start = readStartStamps(slots);
    std::printf("%-4s  %-20s  %18s  %12s  %12s  %14s\n", "slot", "device", "released (ticks)", "sent (us)",
                "bytes (us)", "payload (us)");
    for (const StartStamps::Device &d : start.devices) {
        std::printf("%-4d  %-20s  %18" PRId64, d.slot, d.name.c_str(), d.ticks[0]);
        for (int k = 1; k < 4; ++k) {
            const int width = k == 3 ? 14 : 12;
            if (d.taken(k)) {
                std::printf("  %*.1f", width, d.afterReleaseUs(k));
            } else {
                std::printf("  %*s", width, "-");
            }
        }
        std::printf("\n");
    }
    std::printf("spread between devices (us):");
    for (int k = 1; k < 4; ++k) {
        const double spread = start.spreadUs(k);
        if (spread >= 0) {
            std::printf("  %s %.1f", kTitles[k], spread);
        } else {
            std::printf("  %s -", kTitles[k]);
        }
    }
    std::printf("\n");
}

void printThroughput(const StreamRun &run, double elapsed) {
    for (const StreamRun::Slot &s : run.slots()) {
        const double rate = elapsed > 0 ? 1.0 / elapsed : 0.0;
        const uint64_t samplesInRun = s.bytesInRun / static_cast<uint64_t>(s.sampleBytes);
        std::printf("%-4d  %-20s  %10" PRIu64 " samples  %9.0f samples/s  %12s  dropped %" PRIu64
                    "  framing errors %" PRIu64 "  skipped %" PRIu64 " bytes\n",
                    s.slot, s.name.c_str(), s.counts.received, static_cast<double>(samplesInRun) * rate,
                    formatRate(static_cast<double>(s.bytesInRun) * rate).c_str(), s.counts.dropped,
                    s.counts.framingErrors, s.counts.bytesSkipped);
    }
}

}  // namespace kelvo::cli
