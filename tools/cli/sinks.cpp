// SPDX-License-Identifier: MIT
// Where stream samples go: the raw bytes, or a CSV that describes itself in
// '#' lines (device, answer to *IDN?, configuration, sample size, rate,
// start time, channels) and ends with the stream's counts.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <ctime>

#include "cli.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

using Clock = std::chrono::steady_clock;

// Without --rate the rate is measured from the arrivals over at least this
// long before the first row is written; the rows wait in memory meanwhile.
constexpr auto kRateWindow = std::chrono::seconds(1);

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
    explicit BinarySink(const std::string &path) : out_(path) {}
    void write(const unsigned char *bytes, size_t count) override { out_.put(bytes, count); }
    void finish(const StreamCounts &) override { out_.close(); }

private:
    OutputFile out_;
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

class CsvSink : public SampleSink {
public:
    CsvSink(const std::string &path, int slot, const Layout &layout, const StreamDescription &description, bool raw)
        : out_(path),
          slot_(slot),
          layout_(layout),
          channels_(layout.columns.size() - (layout.wide ? 1 : 0)),
          description_(description),
          raw_(raw) {
        if (description.rate > 0) rate_ = description.rate;
    }

    void started(std::chrono::system_clock::time_point when) override { startTime_ = when; }

    void write(const unsigned char *bytes, size_t count) override {
        pending_.insert(pending_.end(), bytes, bytes + count);
        if (!headerWritten_) {
            noteArrival(count);
            if (rate_ <= 0) return;
            writeHeader();
        }
        writeRows();
    }

    void finish(const StreamCounts &counts) override {
        if (!headerWritten_) {
            if (rate_ <= 0) measureRate();
            writeHeader();
        }
        writeRows();
        std::string end = "# end: ";
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
    // The first chunk only marks the moment; the rate counts what came after it.
    void noteArrival(size_t count) {
        const uint64_t samples = count / static_cast<size_t>(layout_.sampleBytes);
        if (samples == 0) return;
        const Clock::time_point now = Clock::now();
        if (arrivals_ == 0) {
            firstArrival_ = now;
            firstSamples_ = samples;
        }
        lastArrival_ = now;
        arrivals_ += samples;
        if (now - firstArrival_ >= kRateWindow) measureRate();
    }

    void measureRate() {
        const double span = std::chrono::duration<double>(lastArrival_ - firstArrival_).count();
        if (arrivals_ > firstSamples_ && span > 0) {
            rate_ = static_cast<double>(arrivals_ - firstSamples_) / span;
            measuredOver_ = span;
        }
    }

    void writeHeader() {
        headerWritten_ = true;
        std::string text = std::string("# kelvo stream (kelvo ") + kelvoGetVersion() + ")\n";
        text += "# device: " + description_.device + "\n";
        text += "# idn: " + description_.idn + "\n";
        for (const std::string &command : description_.config) text += "# config: " + command + "\n";
        text += "# sample size: " + std::to_string(layout_.sampleBytes) + " bytes\n";
        char rate[160];
        if (description_.rate > 0) {
            std::snprintf(rate, sizeof rate, "# rate: %.9g samples/s, given with --rate\n", rate_);
        } else if (rate_ > 0) {
            std::snprintf(rate, sizeof rate, "# rate: %.6g samples/s, measured from the arrivals over %.2f s\n", rate_,
                          measuredOver_);
        } else {
            std::snprintf(rate, sizeof rate, "# rate: unknown, too little arrived to measure it (no times)\n");
        }
        text += rate;
        text += "# start time: " + utcText(startTime_) + "\n";
        std::vector<std::string> channels(layout_.columns.begin() + (layout_.wide ? 1 : 0), layout_.columns.end());
        text += "# channels: " + joined(channels, ",") + "\n";
        text += raw_ ? "# values: raw integers as sent\n" : "# values: decoded, full scale +-1\n";
        text += "time," + joined(layout_.columns, ",") + "\n";
        out_.put(text);
        // Enough decimals to tell neighbouring samples apart.
        if (rate_ > 0) timeDecimals_ = std::clamp(static_cast<int>(std::ceil(std::log10(rate_))) + 1, 3, 9);
    }

    void writeRows() {
        const size_t sample = static_cast<size_t>(layout_.sampleBytes);
        const size_t whole = pending_.size() / sample;
        text_.clear();
        if (!raw_ && whole > 0) decode(whole);
        for (size_t i = 0; i < whole; ++i) row(pending_.data() + i * sample, i);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(whole * sample));
        out_.put(text_);
    }

    // A counter survives lost samples (and wraps at 2^32); without one the
    // row number stands in for it.
    uint64_t sampleIndex(const unsigned char *p) {
        if (!layout_.wide) return rows_;
        const uint32_t counter = wordAt(p);
        if (rows_ == 0) lastCounter_ = counter;
        counterIndex_ += static_cast<uint32_t>(counter - lastCounter_);
        lastCounter_ = counter;
        return counterIndex_;
    }

    // The library's own conversion, the one the plot window draws with.
    void decode(size_t samples) {
        values_.resize(samples * channels_);
        if (kelvoDecodeSamples(slot_, pending_.data(), static_cast<int>(samples), values_.data()) !=
            static_cast<int>(samples)) {
            throw Failure(libraryError(slot_));
        }
    }

    void row(const unsigned char *p, size_t inChunk) {
        const uint64_t index = sampleIndex(p);
        if (rate_ > 0) {
            char digits[48];
            const std::to_chars_result r =
                std::to_chars(digits, digits + sizeof digits, static_cast<double>(index) / rate_,
                              std::chars_format::fixed, timeDecimals_);
            text_.append(digits, r.ptr);
        }
        if (!raw_) {
            if (layout_.wide) {
                text_.push_back(',');
                appendNumber(text_, wordAt(p));
            }
            const float *values = values_.data() + inChunk * channels_;
            for (size_t c = 0; c < channels_; ++c) {
                text_.push_back(',');
                appendNumber(text_, values[c]);
            }
            text_.push_back('\n');
            ++rows_;
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
        ++rows_;
    }

    OutputFile out_;
    int slot_;
    Layout layout_;
    size_t channels_;
    StreamDescription description_;
    bool raw_;
    std::chrono::system_clock::time_point startTime_ = std::chrono::system_clock::now();
    bool headerWritten_ = false;
    std::vector<unsigned char> pending_;
    std::string text_;
    std::vector<float> values_;
    double rate_ = -1;
    double measuredOver_ = 0;
    int timeDecimals_ = 6;
    Clock::time_point firstArrival_{};
    Clock::time_point lastArrival_{};
    uint64_t firstSamples_ = 0;
    uint64_t arrivals_ = 0;
    uint64_t rows_ = 0;
    uint64_t counterIndex_ = 0;
    uint32_t lastCounter_ = 0;
};

bool endsWith(const std::string &text, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

std::unique_ptr<SampleSink> openSink(const std::string &path, int slot, const Layout &layout,
                                     const StreamDescription &description, bool raw) {
    if (path == "-" || endsWith(path, ".csv")) return std::make_unique<CsvSink>(path, slot, layout, description, raw);
    if (endsWith(path, ".bin")) return std::make_unique<BinarySink>(path);
    throw Failure("--out wants '-' or a file name ending in .csv or .bin, not '" + path + "'", 2);
}

}  // namespace kelvo::cli
