// SPDX-License-Identifier: MIT
// Streaming: the sinks, the pulling loop with its status line, and the
// stream, plot and sync commands.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstring>
#include <string_view>
#include <thread>

#include "cli.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A device that sends nothing for this long is given up.
constexpr auto kSilenceLimit = std::chrono::seconds(2);
constexpr auto kStatusPeriod = std::chrono::milliseconds(250);

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class FileSink : public SampleSink {
public:
    explicit FileSink(const std::string &path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
        if (file_ == nullptr) throw Failure("cannot write " + path + ": " + std::strerror(errno));
    }
    ~FileSink() override {
        if (file_ != nullptr) std::fclose(file_);
    }
    void write(const unsigned char *bytes, size_t count) override { put(bytes, count); }

protected:
    void put(const void *bytes, size_t count) {
        if (std::fwrite(bytes, 1, count, file_) != count)
            throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
    }

private:
    std::string path_;
    FILE *file_;
};

class CsvSink : public FileSink {
public:
    CsvSink(const std::string &path, const Layout &layout) : FileSink(path), layout_(layout) {
        std::string header;
        for (const std::string &column : layout.columns) header += (header.empty() ? "" : ",") + column;
        header += "\n";
        put(header.data(), header.size());
    }
    // Samples may arrive cut anywhere only if the caller's unit was wrong;
    // the library hands out whole samples, the partial buffer is a guard.
    void write(const unsigned char *bytes, size_t count) override {
        partial_.insert(partial_.end(), bytes, bytes + count);
        const size_t sample = static_cast<size_t>(layout_.sampleBytes);
        size_t at = 0;
        std::string rows;
        for (; at + sample <= partial_.size(); at += sample) row(partial_.data() + at, rows);
        partial_.erase(partial_.begin(), partial_.begin() + static_cast<long>(at));
        put(rows.data(), rows.size());
    }

private:
    void row(const unsigned char *p, std::string &rows) const {
        char number[16];
        const int width = layout_.wide ? 4 : 2;
        const int values = layout_.sampleBytes / width;
        for (int v = 0; v < values; ++v, p += width) {
            const uint32_t word =
                width == 4 ? static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24
                           : static_cast<uint32_t>(p[0] | p[1] << 8);
            std::to_chars_result r{};
            if (width == 2) {
                r = std::to_chars(number, number + sizeof number, static_cast<int16_t>(word));
            } else if (v == 0) {
                r = std::to_chars(number, number + sizeof number, word);  // the sample counter
            } else {
                r = std::to_chars(number, number + sizeof number, static_cast<int32_t>(word));
            }
            if (v > 0) rows.push_back(',');
            rows.append(number, r.ptr);
        }
        rows.push_back('\n');
    }

    Layout layout_;
    std::vector<unsigned char> partial_;
};

bool endsWith(const std::string &text, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

std::string formatRate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f MB/s", bytesPerSecond / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    }
    return text;
}

bool confirmsCompletion(int slot) {
    int length = 0;
    int binary = 0;
    const char *answer = kelvoSendCmd(slot, "*OPC?", &length, &binary);
    if (answer == nullptr || binary != 0) return false;
    const std::string_view text(answer, static_cast<size_t>(length));
    return text == "1\n" || text == "1\r\n";
}

}  // namespace

std::unique_ptr<SampleSink> openSink(const std::string &path, const Layout &layout) {
    if (endsWith(path, ".csv")) return std::make_unique<CsvSink>(path, layout);
    if (endsWith(path, ".bin")) return std::make_unique<FileSink>(path);
    throw Failure("--out wants a file name ending in .csv or .bin, not '" + path + "'", 2);
}

void StreamRun::add(int slot, const std::string &name, int sampleBytes, SampleSink *sink) {
    slots_.push_back({slot, name, sampleBytes, sink});
}

// The fault words are sticky, so each is read and cleared once per status
// period: a period with an overflow counts as one lost chunk (at least).
void StreamRun::countLosses() {
    unsigned words[4] = {};
    const char *report = kelvoGetSystemErrors();
    // NOLINTNEXTLINE(cert-err34-c): the library writes these words itself; a report that does not parse is skipped
    if (std::sscanf(report, "%x,%x,%x,%x,", &words[0], &words[1], &words[2], &words[3]) != 4) return;
    for (Slot &s : slots_) {
        if (words[s.slot] & 0x01u) ++s.lost;
    }
    kelvoClearSystemErrors();
}

void StreamRun::showStatus(double elapsed, bool final) {
    if (!terminal_) return;
    uint64_t bytes = 0;
    uint64_t samples = 0;
    unsigned lost = 0;
    for (const Slot &s : slots_) {
        bytes += s.bytes;
        samples += s.bytes / static_cast<uint64_t>(s.sampleBytes);
        lost += s.lost;
    }
    const double rate = elapsed > 0 ? 1.0 / elapsed : 0.0;
    std::fprintf(stderr, "\r%7.1f s  %11" PRIu64 " samples  %10.0f samples/s  %12s  lost %u ", elapsed, samples,
                 static_cast<double>(samples) * rate, formatRate(static_cast<double>(bytes) * rate).c_str(), lost);
    if (final) std::fputc('\n', stderr);
    std::fflush(stderr);
}

double StreamRun::run(double seconds) {
    terminal_ = isatty(STDERR_FILENO) != 0;
    std::vector<unsigned char> buffer(262144);
    const Clock::time_point start = Clock::now();
    std::vector<Clock::time_point> lastData(slots_.size(), start);
    Clock::time_point nextStatus = start + kStatusPeriod;
    while (!interrupted) {
        if (seconds >= 0 && secondsSince(start) >= seconds) break;
        bool gotAny = false;
        for (size_t i = 0; i < slots_.size(); ++i) {
            Slot &s = slots_[i];
            const unsigned capacity = static_cast<unsigned>(buffer.size() / s.sampleBytes * s.sampleBytes);
            const int got = kelvoGetStreamingData(s.slot, buffer.data(), s.sampleBytes, capacity);
            if (got == -1) throw Failure(s.name + ": " + libraryError(s.slot));
            if (got > 0) {
                gotAny = true;
                lastData[i] = Clock::now();
                s.bytes += static_cast<uint64_t>(got);
                if (s.sink != nullptr) s.sink->write(buffer.data(), static_cast<size_t>(got));
            } else if (Clock::now() - lastData[i] > kSilenceLimit) {
                // -2 has left "GetStreamingData(): Timeouted" as the slot's text.
                const std::string why = got == -2 ? libraryError(s.slot) : "no data";
                showStatus(secondsSince(start), true);
                throw Failure(s.name + ": " + why + " (nothing streamed for 2 s)");
            }
        }
        if (Clock::now() >= nextStatus) {
            countLosses();
            showStatus(secondsSince(start), false);
            nextStatus += kStatusPeriod;
        }
        if (!gotAny) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    countLosses();
    const double elapsed = secondsSince(start);
    showStatus(elapsed, true);
    return elapsed;
}

void startStream(int slot, const std::string &name) {
    if (kelvoSendCmdWhileStreaming(slot, "INIT") != 0) throw Failure(name + ": " + libraryError(slot));
}

void startTogether(const OpenSlots &open) {
    kelvoDisableTx();
    for (const int slot : open.slots()) {
        if (kelvoSendCmdWhileStreaming(slot, "INIT") != 0) {
            kelvoEnableTx();
            throw Failure(open.name(slot) + ": " + libraryError(slot));
        }
    }
    kelvoEnableTx();
}

// Waits, for two seconds at most, until each device has stopped sending: a
// device that acts on the ABORt late would otherwise still be streaming
// into the next program that opens it. The library is back in command mode
// once the line has been quiet for 50 ms, and the device answers *OPC? only
// after the commands before it.
void stopStreams(const std::vector<int> &slots) {
    for (const int slot : slots) kelvoSendCmdWhileStreaming(slot, "ABORt");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const int slot : slots) {
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        } while (!confirmsCompletion(slot) && std::chrono::steady_clock::now() < end);
    }
}

void printStamps(const std::vector<std::pair<int, std::string>> &slots) {
    static const char *const kTitles[] = {"released", "sent", "first bytes", "first payload"};
    std::printf("%-4s  %-20s  %18s  %12s  %12s  %14s\n", "slot", "device", "released (ticks)", "sent (us)",
                "bytes (us)", "payload (us)");
    double low[4] = {1e300, 1e300, 1e300, 1e300};
    double high[4] = {-1e300, -1e300, -1e300, -1e300};
    bool complete[4] = {true, true, true, true};
    for (const auto &[slot, name] : slots) {
        int64_t stamps[4] = {};
        if (kelvoGetTimeStampsFromSynchronizedGroup(slot, stamps) != 0) throw Failure(name + ": " + libraryError(slot));
        std::printf("%-4d  %-20s  %18" PRId64, slot, name.c_str(), stamps[0]);
        for (int k = 0; k < 4; ++k) {
            // A stamp older than the release was not taken in this start.
            const bool taken = stamps[k] >= stamps[0] && stamps[0] > 0;
            const double us = static_cast<double>(stamps[k] - stamps[0]) / 10.0;
            if (!taken) complete[k] = false;
            if (taken) {
                low[k] = std::min(low[k], static_cast<double>(stamps[k]) / 10.0);
                high[k] = std::max(high[k], static_cast<double>(stamps[k]) / 10.0);
            }
            if (k > 0) {
                if (taken) {
                    std::printf("  %*.1f", k == 3 ? 14 : 12, us);
                } else {
                    std::printf("  %*s", k == 3 ? 14 : 12, "-");
                }
            }
        }
        std::printf("\n");
    }
    std::printf("spread between devices (us):");
    for (int k = 1; k < 4; ++k) {
        if (complete[k]) {
            std::printf("  %s %.1f", kTitles[k], high[k] - low[k]);
        } else {
            std::printf("  %s -", kTitles[k]);
        }
    }
    std::printf("\n");
}

void printThroughput(const StreamRun &run, double elapsed) {
    for (const StreamRun::Slot &s : run.slots()) {
        const uint64_t samples = s.bytes / static_cast<uint64_t>(s.sampleBytes);
        const double rate = elapsed > 0 ? 1.0 / elapsed : 0.0;
        std::printf("%-4d  %-20s  %10" PRIu64 " samples  %9.0f samples/s  %12s  lost %u\n", s.slot, s.name.c_str(),
                    samples, static_cast<double>(samples) * rate,
                    formatRate(static_cast<double>(s.bytes) * rate).c_str(), s.lost);
    }
}

int streamCommand(int argc, char **argv, bool plotOnly) {
    const std::string command = plotOnly ? "plot" : "stream";
    const Arguments args =
        parseArguments(command, argc, argv, 2,
                       plotOnly ? std::vector<std::string>{"--config", "--seconds", "--span"}
                                : std::vector<std::string>{"--config", "--seconds", "--out", "--plot", "--span"});
    if (args.help) {
        std::fputs(helpText(command), stdout);
        return 0;
    }
    if (args.positional.size() != 1) throw Failure("'" + command + "' takes one DEVICE; see --help", 2);
    if (args.config.empty()) throw Failure("'" + command + "' needs --config with the layout commands", 2);
    if (plotOnly && !hasDisplay()) throw Failure("no display to plot on (DISPLAY is not set)");

    OpenSlots open;
    const int slot = open.open(args.positional[0]);
    const std::string &name = open.name(slot);
    configure(slot, name, args.config);
    const Layout layout = layoutOf(slot);
    std::unique_ptr<SampleSink> sink;
    if (!args.out.empty()) sink = openSink(args.out, layout);

    const bool plotting = (plotOnly || args.plot) && openPlot(slot, args.span);
    StreamRun run;
    run.add(slot, name, layout.sampleBytes, sink.get());
    startStream(slot, name);
    double elapsed = 0;
    try {
        elapsed = run.run(args.seconds);
    } catch (...) {
        if (plotting) closePlot();
        throw;
    }
    stopStreams(open.slots());
    if (plotting) closePlot();
    const StreamRun::Slot &s = run.slots().front();
    std::fprintf(stderr, "%s: %" PRIu64 " samples of %d bytes in %.1f s%s%s\n", name.c_str(),
                 s.bytes / static_cast<uint64_t>(s.sampleBytes), s.sampleBytes, elapsed,
                 args.out.empty() ? "" : ", written to ", args.out.c_str());
    return 0;
}

int syncCommand(int argc, char **argv) {
    const Arguments args = parseArguments("sync", argc, argv, 2, {"--config", "--seconds"});
    if (args.help) {
        std::fputs(helpText("sync"), stdout);
        return 0;
    }
    if (args.positional.empty() || args.positional.size() > 4) throw Failure("'sync' takes 1 to 4 devices", 2);
    if (args.config.empty()) throw Failure("'sync' needs --config with the layout commands", 2);
    OpenSlots open;
    for (const std::string &device : args.positional) open.open(device);
    StreamRun run;
    std::vector<std::pair<int, std::string>> named;
    for (const int slot : open.slots()) {
        configure(slot, open.name(slot), args.config);
        run.add(slot, open.name(slot), kelvoGetSampleSize(slot));
        named.emplace_back(slot, open.name(slot));
    }
    startTogether(open);
    const double elapsed = run.run(args.seconds < 0 ? 2.0 : args.seconds);
    stopStreams(open.slots());
    printStamps(named);
    printThroughput(run, elapsed);
    return 0;
}

}  // namespace kelvo::cli
