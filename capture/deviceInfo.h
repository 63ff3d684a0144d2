// SPDX-License-Identifier: MIT
// What a recording or a subscriber needs to know about a device to make
// sense of its samples: who it is, how it was configured, the layout of a
// sample and how to turn one into values. Gathered from the library for a
// live slot, or read back from a publisher's meta document.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::recording {

// The slot's layout as the library learnt it (kelvoGetLayout), in the
// fields the files and the meta document have always carried.
struct LayoutFields {
    int32_t oversampling = 0, sampleBytes = 0, nAdc24 = 0, nAdc16 = 0, nImu6 = 0, isAdc24 = 0;
};

struct DeviceInfo {
    int slot = 0;
    std::string path;
    std::string serial;  // empty when the device gives none
    std::string idn;
    std::vector<std::string> config;
    int sampleSize = 0;
    LayoutFields layout;
    std::vector<std::string> channelNames;
    // How a sample is built: an optional leading uint32 counter, then one
    // signed little-endian word of wordBytes per channel; value = word × scale.
    bool hasCounter = false;
    int wordBytes = 0;
    double scale = 0;
    int64_t stamps[4] = {};

    // "SIM0001", or "slot2" without a serial.
    std::string name() const { return serial.empty() ? "slot" + std::to_string(slot) : serial; }
    std::string topic() const { return "kelvo/" + name(); }
};

// The serial number of the device at `path`: the device list's, else the
// third field of its answer to *IDN? (a simulator's pseudo-terminal is not
// listed); empty when neither has one.
std::string findSerial(const std::string &path, const std::string &idn);

// For a configured, not yet streaming slot: asks *IDN?, finds the serial
// (the device list's, else the third field of the *IDN? answer) and learns
// the channels from the library's decoder. Throws std::runtime_error.
DeviceInfo describeDevice(int slot, const std::string &path, const std::vector<std::string> &config);

// The library's decoder, for a live slot: count × channels floats.
void decodeLive(const DeviceInfo &device, const unsigned char *raw, uint32_t count, float *values, uint32_t *counters);

// The same conversion from the description alone, for a subscriber that has
// no slot: the rule the meta document states.
void decodeDescribed(const DeviceInfo &device, const unsigned char *raw, uint32_t count, float *values,
                     uint32_t *counters);

// The meta document's entry for a device, and back.
Json::Value toJson(const DeviceInfo &device);
DeviceInfo deviceFromJson(const Json::Value &entry);

}  // namespace kelvo::recording
