// SPDX-License-Identifier: MIT
// Where stream samples go: the raw bytes, or a CSV that describes itself in
// '#' lines (device, answer to *IDN?, configuration, sample size, rate,
// start time, channels), times each row on the library's sample clock and
// ends with the clock's fit and the stream's counts.
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "cli.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A written file, or standard output for "-". Every failure to write ends
// the command: a file that silently lacks data would lie.
class OutputFile {
public:
    explicit OutputFile(const std::string &path)
        : path_(path == "-" ? "standard output" : path), file_(path == "-" ? stdout : std::fopen(path.c_str(), "wb")) {
        if (file_ == nullptr) fail();
    }
    ~OutputFile() {
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void put(const void *bytes, size_t count) {
        if (count > 0 && std::fwrite(bytes, 1, count, file_) != count) fail();
    }
    void put(const std::string &text) { put(text.data(), text.size()); }
    void close() {
        FILE *file = file_;
        file_ = nullptr;
        const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
        const bool closed = file == stdout || std::fclose(file) == 0;
        if (!flushed || !closed) fail();
    }

private:
    [[noreturn]] void fail() const { throw Failure("cannot write " + path_ + ": " + std::strerror(errno)); }
    std::string path_;
    FILE *file_;
};

class BinarySink : public SampleSink {
public:
    BinarySink(const std::string &path, int sampleBytes) : out_(path), sampleBytes_(sampleBytes) {}
    void write(const unsigned char *samples, size_t count, int64_t) override {
        out_.put(samples, count * static_cast<size_t>(sampleBytes_));
    }
    void finish(const StreamCounts &) override { out_.close(); }

private:
    OutputFile out_;
    int sampleBytes_;
};

std::string utcText(std::chrono::system_clock::time_point when) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%06dZ", static_cast<int>(micros % 1000000));
    return text;
}

std::string joined(const std::vector<std::string> &parts, const char *separator) {
    std::string text;
    for (const std::string &part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

// A little-endian 32-bit word: the counter, or a value of a 32-bit layout.
uint32_t wordAt(const unsigned char *p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

template <typename T>
void appendNumber(std::string &text, T value) {
    char digits[32];
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, r.ptr);
}

// The CSV's rows wait in memory until the sample clock has followed the
// stream this long: the first row's fitted time is the origin of the time
// column, so it should come from a fit that has seen more than the start.
constexpr auto kClockWindow = std::chrono::seconds(1);
// Times to the tick (100 ns): the sample clock's own resolution.
constexpr int kTimeDecimals = 7;
constexpr double kTicksPerSecond = 1e7;

class CsvSink : public SampleSink {
public:
    CsvSink(const std::string &path, int slot, const Layout &layout, const StreamDescription &description, bool raw)
        : out_(path),
          slot_(slot),
          layout_(layout),
          channels_(layout.columns.size() - (layout.wide ? 1 : 0)),
          description_(description),
          raw_(raw) {}

    void started(std::chrono::system_clock::time_point when) override { startTime_ = when; }

    void write(const unsigned char *samples, size_t count, int64_t firstIndex) override {
        if (headerWritten_) {
            writeBatch(samples, count, firstIndex);
            return;
        }
        const Clock::time_point now = Clock::now();
        if (held_.empty()) firstArrival_ = now;
        held_.push_back({firstIndex, count, pending_.size()});
        pending_.insert(pending_.end(), samples, samples + count * static_cast<size_t>(layout_.sampleBytes));
        if (now - firstArrival_ >= kClockWindow) writeHeaderAndHeld();
    }

    void finish(const StreamCounts &counts) override {
        if (!headerWritten_) writeHeaderAndHeld();
        std::string end;
        kelvoSampleClock clock{};
        if (kelvoGetSampleClock(slot_, &clock) == KELVO_OK) {
            char line[200];
            std::snprintf(line, sizeof line, "# clock: %s rate_hz=%.3f jitter_us=%.1f samples=%" PRId64 "\n",
                          clockName().c_str(), clock.rateHz, clock.jitterUs, clock.samplesFitted);
            end += line;
        }
        end += "# end: ";
        appendNumber(end, counts.received);
        end += " samples received, ";
        appendNumber(end, counts.dropped);
        end += " dropped, ";
        appendNumber(end, counts.framingErrors);
        end += " framing errors, ";
        appendNumber(end, counts.bytesSkipped);
        end += " bytes skipped\n";
        out_.put(end);
        out_.close();
    }

private:
    // Samples that came before the header was written.
    struct Held {
        int64_t firstIndex;
        size_t count;
        size_t offset;  // into pending_
    };

    std::string clockName() const { return description_.serial.empty() ? description_.device : description_.serial; }

    // The origin of the time column is the fitted time of the first sample,
    // taken once, so that later rows keep the fit's drift.
    void writeHeaderAndHeld() {
        if (!held_.empty()) clockKnown_ = kelvoGetSampleTimes(slot_, held_.front().firstIndex, 1, &origin_) == 1;
        writeHeader();
        for (const Held &h : held_) writeBatch(pending_.data() + h.offset, h.count, h.firstIndex);
        held_.clear();
        pending_.clear();
        pending_.shrink_to_fit();
    }

    void writeHeader() {
        headerWritten_ = true;
        std::string text = std::string("# kelvo stream (kelvo ") + kelvoGetVersion() + ")\n";
        text += "# device: " + description_.device + "\n";
        text += "# idn: " + description_.idn + "\n";
        for (const std::string &command : description_.config) text += "# config: " + command + "\n";
        text += "# sample size: " + std::to_string(layout_.sampleBytes) + " bytes\n";
        text += rateLine();
        text += "# start time: " + utcText(startTime_) + "\n";
        std::vector<std::string> channels(layout_.columns.begin() + (layout_.wide ? 1 : 0), layout_.columns.end());
        text += "# channels: " + joined(channels, ",") + "\n";
        text += raw_ ? "# values: raw integers as sent\n" : "# values: decoded, full scale +-1\n";
        text += "time," + joined(layout_.columns, ",") + "\n";
        out_.put(text);
    }

    std::string rateLine() const {
        char rate[160];
        kelvoSampleClock clock{};
        if (description_.rate > 0) {
            std::snprintf(rate, sizeof rate, "# rate: %.9g samples/s, given with --rate\n", description_.rate);
        } else if (clockKnown_ && kelvoGetSampleClock(slot_, &clock) == KELVO_OK && clock.rateHz > 0) {
            std::snprintf(rate, sizeof rate, "# rate: %.6g samples/s, measured from the arrivals over %.2f s\n",
                          clock.rateHz, static_cast<double>(clock.samplesFitted) / clock.rateHz);
        } else {
            std::snprintf(rate, sizeof rate, "# rate: unknown, too little arrived to measure it (no times)\n");
        }
        return rate;
    }

    void writeBatch(const unsigned char *samples, size_t count, int64_t firstIndex) {
        text_.clear();
        const bool timed = clockKnown_ && sampleTimes(count, firstIndex);
        if (!raw_) decode(samples, count);
        const size_t size = static_cast<size_t>(layout_.sampleBytes);
        for (size_t i = 0; i < count; ++i) {
            if (timed) appendTime(ticks_[i]);
            row(samples + i * size, i);
        }
        out_.put(text_);
    }

    // The sample clock's fit of the moment for these samples.
    bool sampleTimes(size_t count, int64_t firstIndex) {
        ticks_.resize(count);
        return kelvoGetSampleTimes(slot_, firstIndex, static_cast<int>(count), ticks_.data()) ==
               static_cast<int>(count);
    }

    void appendTime(int64_t ticks) {
        char digits[48];
        const std::to_chars_result r =
            std::to_chars(digits, digits + sizeof digits, static_cast<double>(ticks - origin_) / kTicksPerSecond,
                          std::chars_format::fixed, kTimeDecimals);
        text_.append(digits, r.ptr);
    }

    // The library's own conversion, the one the plot window draws with.
    void decode(const unsigned char *samples, size_t count) {
        values_.resize(count * channels_);
        if (kelvoDecodeSamples(slot_, samples, static_cast<int>(count), values_.data()) != static_cast<int>(count)) {
            throw Failure(libraryError(slot_));
        }
    }

    void row(const unsigned char *p, size_t inBatch) {
        if (!raw_) {
            if (layout_.wide) {
                text_.push_back(',');
                appendNumber(text_, wordAt(p));
            }
            const float *values = values_.data() + inBatch * channels_;
            for (size_t c = 0; c < channels_; ++c) {
                text_.push_back(',');
                appendNumber(text_, values[c]);
            }
            text_.push_back('\n');
            return;
        }
        const int width = layout_.wide ? 4 : 2;
        const int values = layout_.sampleBytes / width;
        for (int v = 0; v < values; ++v, p += width) {
            text_.push_back(',');
            if (width == 2) {
                appendNumber(text_, static_cast<int16_t>(p[0] | p[1] << 8));
                continue;
            }
            const uint32_t word = wordAt(p);
            if (v == 0) {
                appendNumber(text_, word);
            } else {
                appendNumber(text_, static_cast<int32_t>(word));
            }
        }
        text_.push_back('\n');
    }

    OutputFile out_;
    int slot_;
    Layout layout_;
    size_t channels_;
    StreamDescription description_;
    bool raw_;
    std::chrono::system_clock::time_point startTime_ = std::chrono::system_clock::now();
    bool headerWritten_ = false;
    bool clockKnown_ = false;
    int64_t origin_ = 0;  // the fitted time of the first row's sample, in ticks
    Clock::time_point firstArrival_{};
    std::vector<Held> held_;
    std::vector<unsigned char> pending_;
    std::string text_;
    std::vector<float> values_;
    std::vector<int64_t> ticks_;
};

bool endsWith(const std::string &text, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

std::unique_ptr<SampleSink> openSink(const std::string &path, int slot, const Layout &layout,
                                     const StreamDescription &description, bool raw) {
    if (path == "-" || endsWith(path, ".csv")) return std::make_unique<CsvSink>(path, slot, layout, description, raw);
    if (endsWith(path, ".bin")) return std::make_unique<BinarySink>(path, layout.sampleBytes);
    throw Failure("--out wants '-' or a file name ending in .csv or .bin, not '" + path + "'", 2);
}

}  // namespace kelvo::cli
