// SPDX-License-Identifier: MIT
#include "simulatedDevice.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scpiWords.h"

namespace kelvo::sim {

namespace {

constexpr size_t kErrorQueueLength = 16;
constexpr int kMaxWideChannels = 64;
constexpr int kMaxWords = 128;  // the most 16-bit words a sample may have

uint32_t crc32(std::string_view bytes) {
    uint32_t crc = 0xffffffffu;
    for (const unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

// Comma-separated integers; nullopt when a piece is not one.
std::optional<std::vector<long>> integers(std::string_view text) {
    std::vector<long> numbers;
    text = trim(text);
    if (text.empty()) return numbers;
    while (true) {
        const size_t comma = text.find(',');
        const std::string piece(trim(text.substr(0, comma)));
        char *end = nullptr;
        errno = 0;
        const long value = std::strtol(piece.c_str(), &end, 10);
        if (piece.empty() || *end != '\0' || errno != 0) return std::nullopt;
        numbers.push_back(value);
        if (comma == std::string_view::npos) return numbers;
        text.remove_prefix(comma + 1);
    }
}

bool startsWithNoCase(std::string_view text, const char *prefix) {
    const size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.data(), prefix, n) == 0;
}

SampleLayout narrowLayout(long adc16, long imu6, long extra, int oversampling) {
    SampleLayout layout;
    layout.oversampling = oversampling;
    int channel = 0;
    for (long c = 0; c < adc16; ++c, ++channel) {
        for (int k = 0; k < oversampling; ++k) {
            layout.channel.push_back(channel);
            layout.subSample.push_back(k);
        }
    }
    for (long w = 0; w < 6 * imu6 + extra; ++w, ++channel) {
        layout.channel.push_back(channel);
        layout.subSample.push_back(0);
    }
    return layout;
}

SampleLayout wideLayout(const std::vector<int> &channels) {
    SampleLayout layout;
    layout.wide = true;
    layout.channel = channels;
    layout.subSample.assign(channels.size(), 0);
    return layout;
}

void putLittleEndian(std::string &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

}  // namespace

double waveform(int channel, double seconds) {
    const double cycles = (1.0 + 0.5 * channel) * seconds;
    const double p = cycles - std::floor(cycles);
    switch (channel % 3) {
        case 0: return std::sin(2.0 * M_PI * p);
        case 1: return 2.0 * p - 1.0;
        default: return p < 0.5 ? 1.0 : -1.0;
    }
}

std::optional<Fault> parseFault(std::string_view text) {
    const size_t colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    Fault fault{};
    if (name == "drop") {
        fault = {FaultKind::drop, 50};
    } else if (name == "silent") {
        fault = {FaultKind::silent, 50};
    } else if (name == "garbage") {
        fault = {FaultKind::garbage, 10};
    } else if (name == "malformed") {
        fault = {FaultKind::malformed, 10};
    } else if (name == "corrupt") {
        fault = {FaultKind::corrupt, 10};
    } else if (name == "badheader") {
        fault = {FaultKind::badHeader, 10};
    } else if (name == "noterminator") {
        fault = {FaultKind::noTerminator, 10};
    } else {
        return std::nullopt;
    }
    if (colon != std::string_view::npos) {
        const auto count = integers(text.substr(colon + 1));
        if (!count || count->size() != 1 || (*count)[0] < 1 || (*count)[0] > 1000000000) return std::nullopt;
        fault.count = static_cast<unsigned>((*count)[0]);
    }
    return fault;
}

std::string SimulatedDevice::samples(const SampleLayout &layout, double sampleRate, uint64_t first, unsigned count) {
    std::string out;
    out.reserve(layout.bytes() * count);
    for (uint64_t n = first; n < first + count; ++n) {
        if (layout.wide) {
            putLittleEndian(out, static_cast<uint32_t>(n), 4);
            for (const int channel : layout.channel) {
                const long counts = std::lround(kPeak24 * waveform(channel, static_cast<double>(n) / sampleRate));
                putLittleEndian(out, static_cast<uint32_t>(counts * 256), 4);
            }
        } else {
            for (size_t i = 0; i < layout.channel.size(); ++i) {
                const double t =
                    (static_cast<double>(n) + static_cast<double>(layout.subSample[i]) / layout.oversampling) /
                    sampleRate;
                putLittleEndian(out, static_cast<uint32_t>(std::lround(kPeak16 * waveform(layout.channel[i], t))), 2);
            }
        }
    }
    return out;
}

std::string SimulatedDevice::framingSamples(size_t sampleBytes, uint64_t first, unsigned count) {
    std::string out;
    out.reserve(sampleBytes * count);
    for (uint64_t n = first; n < first + count; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "%09llu", static_cast<unsigned long long>(n % 1000000000));
        std::string sample = std::string("\n#9") + number;
        while (sample.size() < sampleBytes) sample += "\r\n#3";
        out.append(sample, 0, sampleBytes);
    }
    return out;
}

SimulatedDevice::SimulatedDevice(SimOptions options)
    : options_(std::move(options)),
      truth_(options_.truthPath, options_.truthKept),
      lateness_(options_.seed ? *options_.seed : std::random_device{}()) {
    if (!(options_.sampleRate > 0.0)) options_.sampleRate = 1000.0;
    if (options_.samplesPerBlock == 0) options_.samplesPerBlock = 1;
    if (!(std::abs(options_.clockPpm) < 1e6)) options_.clockPpm = 0.0;
    if (!(options_.lateMaxMs >= 0.0)) options_.lateMaxMs = 0.0;
    options_.lateMaxMs = std::min(options_.lateMaxMs, 1e9);
    layout_ = narrowLayout(3, 0, 0, 1);
    pty_.onLine([this](PtyDevice &, const std::string &line) { takeLine(line); });
}

SimulatedDevice::~SimulatedDevice() { pty_.onLine(nullptr); }

void SimulatedDevice::answer(const std::string &text) { pty_.send(text); }

void SimulatedDevice::pushError(int code, const char *text) {
    if (errors_.size() >= kErrorQueueLength) {
        errors_.back() = {-350, "Queue overflow"};
        return;
    }
    errors_.emplace_back(code, text);
}

// The pty hands over lines cut at every line feed, also those inside an
// uploaded block's payload; the cut bytes were line feeds, so they go back.
bool SimulatedDevice::takeBlockPart(const std::string &line) {
    if (!inBlock_) {
        // "#", digit count, length.
        const int digits = line.size() >= 2 ? line[1] - '0' : 0;
        if (digits < 1 || digits > 9 || line.size() < 2u + digits) {
            pushError(-161, "Invalid block data");
            return true;
        }
        size_t length = 0;
        for (int i = 0; i < digits; ++i) {
            const char c = line[2 + i];
            if (c < '0' || c > '9') {
                pushError(-161, "Invalid block data");
                return true;
            }
            length = length * 10 + static_cast<size_t>(c - '0');
        }
        inBlock_ = true;
        blockLength_ = length;
        block_ = line.substr(2 + digits);
    } else {
        block_.push_back('\n');
        block_.append(line);
    }
    if (block_.size() < blockLength_) return true;
    // What follows the payload on its line is the terminator's carriage return.
    block_.resize(blockLength_);
    inBlock_ = false;
    lastUpload_ = std::move(block_);
    block_.clear();
    char ack[64];
    std::snprintf(ack, sizeof ack, "ACK %zu bytes, crc32 0x%08x\n", lastUpload_.size(), crc32(lastUpload_));
    answer(ack);
    return true;
}

void SimulatedDevice::takeLine(const std::string &line) {
    if (silent_) return;
    if (inBlock_ || (!line.empty() && line.front() == '#')) {
        takeBlockPart(line);
        return;
    }
    std::string_view command = line;
    if (!command.empty() && command.back() == '\r') command.remove_suffix(1);
    execute(command);
}

void SimulatedDevice::execute(std::string_view command) {
    // The library decides by the very first characters, and so does the device.
    if (startsWithNoCase(command, "init")) {
        startStream();
        return;
    }
    if (startsWithNoCase(command, "abor")) {
        pty_.stopStreaming();
        return;
    }
    command = trim(command);
    if (command.empty()) return;
    const std::string_view header = headerOf(command);
    const std::string_view parameters = trim(command.substr(header.size()));
    const bool query = header.back() == '?';

    if (query && (equalsNoCase(header, "*IDN?"))) {
        answer("kelvo,simulated DAQ-4," + options_.serial + ",1.0\n");
    } else if (query && equalsNoCase(header, "*OPC?")) {
        answer("1\n");
    } else if (!query && equalsNoCase(header, "*RST")) {
        pty_.stopStreaming();
        layout_ = narrowLayout(3, 0, 0, 1);
        deviceSetting_ = "0,3";
        scanList_.clear();
        oversampling_ = 1;
    } else if (!query && equalsNoCase(header, "*CLS")) {
        errors_.clear();
    } else if (query && (headerMatches(header, "SYSTem:ERRor") || headerMatches(header, "SYSTem:ERRor:NEXT"))) {
        if (errors_.empty()) {
            answer("0,\"No error\"\n");
        } else {
            answer(std::to_string(errors_.front().first) + ",\"" + errors_.front().second + "\"\n");
            errors_.pop_front();
        }
    } else if (query && headerMatches(header, "SYSTem:ERRor:COUNt")) {
        answer(std::to_string(errors_.size()) + "\n");
    } else if (headerMatches(header, "CONFigure:DEVice")) {
        if (query) {
            answer(deviceSetting_ + "\n");
        } else {
            configureDevice(parameters);
        }
    } else if (headerMatches(header, "CONFigure:SCAn:OVErsampling")) {
        if (query) {
            answer(std::to_string(oversampling_) + "\n");
        } else {
            configureOversampling(parameters);
        }
    } else if (headerMatches(header, "CONFigure:SCAn:LISt")) {
        if (query) {
            answer("(@" + scanList_ + ")\n");
        } else {
            configureScanList(parameters);
        }
    } else if (query && headerMatches(header, "DATA:UPLoad")) {
        answer(definiteBlock(lastUpload_));
    } else {
        // A real instrument stays silent and notes the error, queries included.
        pushError(-113, "Undefined header");
    }
}

// "k" for k 24-bit channels, or "0,adc16[,imu6[,a[,b]]]" for 16-bit words.
void SimulatedDevice::configureDevice(std::string_view parameters) {
    const auto numbers = integers(parameters);
    if (!numbers) {
        pushError(-104, "Data type error");
        return;
    }
    if (numbers->empty()) {
        pushError(-109, "Missing parameter");
        return;
    }
    for (const long n : *numbers) {
        if (n < 0) {
            pushError(-222, "Data out of range");
            return;
        }
    }
    const std::vector<long> &n = *numbers;
    if (n[0] != 0) {
        if (n[0] > kMaxWideChannels) {
            pushError(-222, "Data out of range");
            return;
        }
        std::vector<int> channels;
        channels.reserve(static_cast<size_t>(n[0]));
        for (int c = 0; c < n[0]; ++c) channels.push_back(c);
        layout_ = wideLayout(channels);
    } else {
        const long adc16 = n.size() > 1 ? n[1] : 0;
        const long imu6 = n.size() > 2 ? n[2] : 0;
        const long extra = (n.size() > 3 ? n[3] : 0) + (n.size() > 4 ? n[4] : 0);
        if (n.size() > 5 || adc16 > kMaxWords || imu6 > kMaxWords || extra > kMaxWords) {
            pushError(-222, "Data out of range");
            return;
        }
        const long words = adc16 * oversampling_ + 6 * imu6 + extra;
        if (words < 1 || words > kMaxWords) {
            pushError(-222, "Data out of range");
            return;
        }
        layout_ = narrowLayout(adc16, imu6, extra, oversampling_);
    }
    deviceSetting_ = std::string(parameters);
}

void SimulatedDevice::configureOversampling(std::string_view parameters) {
    const auto numbers = integers(parameters);
    if (!numbers || numbers->size() != 1) {
        pushError(numbers && numbers->empty() ? -109 : -104,
                  numbers && numbers->empty() ? "Missing parameter" : "Data type error");
        return;
    }
    if ((*numbers)[0] != 1 && (*numbers)[0] != 2) {
        pushError(-222, "Data out of range");
        return;
    }
    // Like the hardware, the factor takes effect with the next device layout.
    oversampling_ = static_cast<int>((*numbers)[0]);
}

// "(@1,2,5)": one 32-bit value per listed channel, channels 1 to 16.
void SimulatedDevice::configureScanList(std::string_view parameters) {
    if (parameters.size() < 3 || parameters.substr(0, 2) != "(@" || parameters.back() != ')') {
        pushError(-104, "Data type error");
        return;
    }
    const std::string_view list = parameters.substr(2, parameters.size() - 3);
    const auto numbers = integers(list);
    if (!numbers || numbers->empty()) {
        pushError(-104, "Data type error");
        return;
    }
    std::vector<int> channels;
    for (const long n : *numbers) {
        if (n < 1 || n > 16) {
            pushError(-222, "Data out of range");
            return;
        }
        channels.push_back(static_cast<int>(n - 1));
    }
    layout_ = wideLayout(channels);
    scanList_ = std::string(list);
}

// One stream, from the start command to the stop: its sample clock, which
// block is next, and the faults that come due. Runs on the streaming thread.
class SimulatedDevice::Stream : public ChunkSchedule {
public:
    Stream(SimulatedDevice &device, SampleLayout layout, SampleClock clock)
        : d_(device), layout_(std::move(layout)), clock_(clock) {}

    // The clock ticks on whether or not blocks go out, so a device that went
    // silent or dead waits a block's time per round rather than spinning.
    int64_t nextDue() override {
        next_ = scheduled_;
        scheduled_ += d_.options_.samplesPerBlock;
        const int64_t measured = clock_.measuredNanoseconds(scheduled_ - 1);
        return measured + (d_.options_.lateMaxMs > 0 ? lateness() : 0);
    }

    std::string nextChunk() override {
        if (d_.silent_ || lineGoesQuiet()) return {};
        const unsigned count = d_.options_.samplesPerBlock;
        std::string payload = d_.options_.framingPayload ? framingSamples(layout_.bytes(), next_, count)
                                                         : samples(layout_, d_.options_.sampleRate, next_, count);
        ++blocks_;
        std::string chunk = withFaults(definiteBlock(payload), payload.size());
        d_.samplesSent_ += count;
        d_.blocksSent_ += 1;
        d_.truth_.add({next_, clock_.measuredTick(next_)});
        return chunk;
    }

private:
    int64_t lateness() {
        if (std::uniform_real_distribution<double>(0, 1)(d_.lateness_) >= d_.options_.lateShare) return 0;
        const auto most = static_cast<int64_t>(std::llround(d_.options_.lateMaxMs * 1e6));
        return std::uniform_int_distribution<int64_t>(0, most)(d_.lateness_);
    }

    // drop and silent, once their block count has gone out.
    bool lineGoesQuiet() {
        for (const Fault &fault : d_.options_.faults) {
            if (blocks_ < fault.count) continue;
            if (fault.kind == FaultKind::drop && blocks_ == fault.count) {
                d_.pty_.hangUp();
                return true;
            }
            if (fault.kind == FaultKind::silent) {
                d_.silent_ = true;
                return true;
            }
        }
        return false;
    }

    std::string withFaults(std::string block, size_t payloadBytes) {
        std::string chunk;
        const size_t digitCount = static_cast<size_t>(block[1] - '0');
        for (const Fault &fault : d_.options_.faults) {
            if (blocks_ % fault.count != 0) continue;
            switch (fault.kind) {
                case FaultKind::garbage:
                    for (int i = 0; i < 16; ++i) {
                        noise_ = noise_ * 1103515245u + 12345u;
                        chunk.push_back(static_cast<char>(noise_ >> 24));
                    }
                    break;
                case FaultKind::malformed:
                    if (payloadBytes >= 3) block.erase(block.size() - 4, 3);
                    break;
                case FaultKind::corrupt: block[1 + digitCount] = '5'; break;
                case FaultKind::badHeader: block[1] = 'x'; break;
                case FaultKind::noTerminator: block.pop_back(); break;
                default: break;
            }
        }
        return chunk + block;
    }

    SimulatedDevice &d_;
    SampleLayout layout_;
    SampleClock clock_;
    uint64_t next_ = 0;       // first sample of the block nextChunk() writes
    uint64_t scheduled_ = 0;  // first sample of the block after it
    uint64_t blocks_ = 0;
    uint32_t noise_ = 12345;
};

void SimulatedDevice::startStream() {
    // The moment the command was taken is the clock's start, whatever
    // stopping a stream still running costs.
    const int64_t start = rawTicks();
    // Stopped first, so that none of its blocks lands in the log after "# start".
    pty_.stopStreaming();
    truth_.startStream();
    pty_.startStreaming(
        std::make_unique<Stream>(*this, layout_, SampleClock(start, options_.sampleRate, options_.clockPpm)));
}

}  // namespace kelvo::sim
