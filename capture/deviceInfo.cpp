// SPDX-License-Identifier: MIT
#include "deviceInfo.h"

#include <cstring>
#include <sstream>
#include <stdexcept>

#include "kelvo.h"

namespace kelvo::recording {

namespace {

std::string askIdentity(int slot) {
    char answer[512];
    int binary = 0;
    const int n = kelvoQuery(slot, "*IDN?", answer, sizeof answer, 1000, &binary);
    if (n < 0 || binary != 0) {
        const char *why = kelvoGetLastError(slot);
        throw std::runtime_error(std::string("*IDN? got no answer: ") + (why != nullptr ? why : ""));
    }
    return std::string(answer, static_cast<size_t>(n));
}

// What the library's decoder makes of a sample in which only the first
// value word is 1: the scale of one count.
void learnEncoding(int slot, const kelvoLayout &layout, DeviceInfo &device) {
    const int channels = layout.channelCount;
    if (channels <= 0) throw std::runtime_error("the library knows no channels for this layout");
    std::vector<unsigned char> sample(static_cast<size_t>(device.sampleSize));
    device.hasCounter = layout.hasCounter != 0;
    const int counterBytes = device.hasCounter ? 4 : 0;
    device.wordBytes = (device.sampleSize - counterBytes) / channels;
    sample[static_cast<size_t>(counterBytes)] = 1;
    std::vector<float> values(static_cast<size_t>(channels));
    if (kelvoDecodeSamples(slot, sample.data(), 1, values.data()) != 1) {
        throw std::runtime_error("the library does not decode this layout");
    }
    device.scale = values[0];
    for (int c = 0; c < channels; ++c) {
        const char *name = kelvoGetChannelName(slot, c);
        device.channelNames.push_back(name != nullptr ? name : "ch" + std::to_string(c + 1));
    }
}

int64_t signedWord(const unsigned char *p, int bytes) {
    if (bytes == 2) return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
    return static_cast<int32_t>(static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3])
                                                                                           << 24);
}

uint32_t littleWord(const unsigned char *p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

std::string findSerial(const std::string &path, const std::string &idn) {
    std::istringstream list(kelvoListDevices());
    for (std::string line; std::getline(list, line);) {
        const size_t first = line.find('\t');
        const size_t second = line.find('\t', first + 1);
        if (second != std::string::npos && line.substr(first + 1, second - first - 1) == path) {
            return line.substr(second + 1);
        }
    }
    std::vector<std::string> fields;
    std::istringstream in(idn);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    if (fields.size() >= 3 && !fields[2].empty() && fields[2] != "0") return fields[2];
    return "";
}

DeviceInfo describeDevice(int slot, const std::string &path, const std::vector<std::string> &config) {
    DeviceInfo device;
    device.slot = slot;
    device.path = path;
    device.config = config;
    device.idn = askIdentity(slot);
    device.serial = findSerial(path, device.idn);
    kelvoLayout layout{};
    if (kelvoGetLayout(slot, &layout) != KELVO_OK) throw std::runtime_error("the library gives no sample layout");
    device.sampleSize = layout.sampleSize;
    // The scan list's channels are 24-bit ones too, each a 32-bit word after the counter.
    const int32_t isAdc24 = layout.kind == KELVO_LAYOUT_ADC24 || layout.kind == KELVO_LAYOUT_SCAN_LIST ? 1 : 0;
    device.layout = {layout.oversampling, layout.sampleSize, layout.nAdc24, layout.nAdc16, layout.nImu6, isAdc24};
    learnEncoding(slot, layout, device);
    return device;
}

void decodeLive(const DeviceInfo &device, const unsigned char *raw, uint32_t count, float *values, uint32_t *counters) {
    kelvoDecodeSamples(device.slot, raw, static_cast<int>(count), values);
    if (device.hasCounter && counters != nullptr)
        kelvoGetSampleCounters(device.slot, raw, static_cast<int>(count), counters);
}

void decodeDescribed(const DeviceInfo &device, const unsigned char *raw, uint32_t count, float *values,
                     uint32_t *counters) {
    const size_t channels = device.channelNames.size();
    const size_t size = static_cast<size_t>(device.sampleSize);
    const int skip = device.hasCounter ? 4 : 0;
    for (uint32_t s = 0; s < count; ++s) {
        const unsigned char *sample = raw + s * size;
        if (device.hasCounter && counters != nullptr) counters[s] = littleWord(sample);
        for (size_t c = 0; c < channels; ++c) {
            const unsigned char *word = sample + skip + c * static_cast<size_t>(device.wordBytes);
            values[s * channels + c] =
                static_cast<float>(static_cast<double>(signedWord(word, device.wordBytes)) * device.scale);
        }
    }
}

Json::Value toJson(const DeviceInfo &device) {
    Json::Value entry;
    entry["slot"] = device.slot;
    entry["topic"] = device.topic();
    entry["path"] = device.path;
    entry["serial"] = device.serial;
    entry["idn"] = device.idn;
    entry["config"] = Json::arrayValue;
    for (const std::string &command : device.config) entry["config"].append(command);
    entry["sample_size"] = device.sampleSize;
    Json::Value &layout = entry["layout"];
    layout["oversampling"] = device.layout.oversampling;
    layout["sample_bytes"] = device.layout.sampleBytes;
    layout["n_adc24"] = device.layout.nAdc24;
    layout["n_adc16"] = device.layout.nAdc16;
    layout["n_imu6"] = device.layout.nImu6;
    layout["is_adc24"] = device.layout.isAdc24;
    entry["channel_names"] = Json::arrayValue;
    for (const std::string &name : device.channelNames) entry["channel_names"].append(name);
    entry["has_counter"] = device.hasCounter;
    entry["word_bytes"] = device.wordBytes;
    entry["scale"] = device.scale;
    entry["start_stamps"] = Json::arrayValue;
    for (const int64_t stamp : device.stamps) entry["start_stamps"].append(Json::Int64{stamp});
    return entry;
}

DeviceInfo deviceFromJson(const Json::Value &entry) {
    DeviceInfo device;
    device.slot = entry["slot"].asInt();
    device.path = entry["path"].asString();
    device.serial = entry["serial"].asString();
    device.idn = entry["idn"].asString();
    for (const Json::Value &command : entry["config"]) device.config.push_back(command.asString());
    device.sampleSize = entry["sample_size"].asInt();
    const Json::Value &layout = entry["layout"];
    device.layout = {layout["oversampling"].asInt(), layout["sample_bytes"].asInt(), layout["n_adc24"].asInt(),
                     layout["n_adc16"].asInt(),      layout["n_imu6"].asInt(),       layout["is_adc24"].asInt()};
    for (const Json::Value &name : entry["channel_names"]) device.channelNames.push_back(name.asString());
    device.hasCounter = entry["has_counter"].asBool();
    device.wordBytes = entry["word_bytes"].asInt();
    device.scale = entry["scale"].asDouble();
    for (Json::ArrayIndex k = 0; k < 4 && k < entry["start_stamps"].size(); ++k) {
        device.stamps[k] = entry["start_stamps"][k].asInt64();
    }
    const size_t words = device.channelNames.size() * static_cast<size_t>(device.wordBytes);
    if (device.sampleSize <= 0 || (device.wordBytes != 2 && device.wordBytes != 4) ||
        words + (device.hasCounter ? 4u : 0u) != static_cast<size_t>(device.sampleSize)) {
        throw std::runtime_error("the meta document describes " + device.topic() + " inconsistently");
    }
    return device;
}

}  // namespace kelvo::recording
