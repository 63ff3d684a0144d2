// SPDX-License-Identifier: MIT
#include "sampleDecode.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "atomics.h"
#include "errors.h"
#include "slots.h"
#include "streamLayout.h"

using namespace kelvo;

namespace {

// Names are written into a fixed table per slot; channel c uses entry
// c % kNamedChannels, far more entries than any layout the devices take.
constexpr int kNamedChannels = 1024;
constexpr int kNameSize = 32;
// Scan-list entries whose channel number is kept; later ones are named by
// their position.
constexpr int kListedKept = kNamedChannels;
constexpr int64_t kUnreadable = INT64_MIN;

char channelNames[kSlots][kNamedChannels][kNameSize];

// Written by the thread that sends the scan list, published by the count.
int64_t listedChannel[kSlots][kListedKept];
int32_t listedCount[kSlots];
int32_t listRecorded[kSlots];

enum class Kind { none, adc24, words16, scanList };

// What a slot's samples hold, resolved from its layout record on each call:
// the record is only rewritten by configuration commands, never while the
// application decodes.
struct Layout {
    Kind kind = Kind::none;
    int64_t sampleBytes = 0;
    int64_t channels = 0;
    // 16-bit layouts: the words of the ADCs (times the oversampling), of the
    // inertial units, and the extra words after them.
    int64_t oversampling = 1;
    int64_t adcWords = 0;
    int64_t imuWords = 0;
};

// The devices send little-endian words; on a little-endian host a word is
// a plain load, which lets the compiler convert a whole run at once.
template <class Word>
Word littleEndian(const uint8_t *p) {
    if constexpr (std::endian::native == std::endian::little) {
        Word word;
        std::memcpy(&word, p, sizeof word);
        return word;
    } else {
        std::make_unsigned_t<Word> bits = 0;
        for (size_t i = 0; i < sizeof(Word); ++i) bits = static_cast<decltype(bits)>(bits | p[i] << (8 * i));
        return static_cast<Word>(bits);
    }
}

uint32_t counterOf(const uint8_t *sample) { return littleEndian<uint32_t>(sample); }

bool isCounted(Kind kind) { return kind == Kind::adc24 || kind == Kind::scanList; }

// The scan list sets `sampleBytes` to its word count, a device layout to
// twice its word count: while the record still holds the scan list's
// value, the scan list is the layout in force.
bool scanListInForce(int dev, const FiltInfo &info) {
    return loadAcquire(listRecorded[dev]) != 0 && info.sampleBytes == loadAcquire(slots[dev].filteredSampleSize);
}

// The record's counts are taken in order and cut at the end of the sample:
// a count the last layout command did not reach keeps its older value, and
// words beyond the counted ones are extra words.
void describeWords16(Layout &layout, const FiltInfo &info) {
    layout.oversampling = std::max<int64_t>(info.oversampling, 1);
    const int64_t words = layout.channels;
    layout.adcWords = std::clamp<int64_t>(int64_t{info.nAdc16} * layout.oversampling, 0, words);
    layout.imuWords = std::clamp<int64_t>(6 * int64_t{info.nImu6}, 0, words - layout.adcWords);
}

Layout layoutOf(int dev) {
    Layout layout;
    layout.sampleBytes = streamSampleBytes(dev);
    if (layout.sampleBytes <= 0) return layout;
    const FiltInfo info = filtInfo[dev];
    if (scanListInForce(dev, info)) {
        layout.kind = Kind::scanList;
    } else if (info.isAdc24 != 0) {
        layout.kind = Kind::adc24;
    } else {
        layout.kind = Kind::words16;
        layout.channels = layout.sampleBytes / 2;
        describeWords16(layout, info);
        return layout;
    }
    // A sample too short for its counter has nothing to decode.
    if (layout.sampleBytes < 4) return Layout{};
    layout.channels = (layout.sampleBytes - 4) / 4;
    return layout;
}

// Refusals common to the calls that take samples; a valid slot keeps the
// reason as its error text.
bool refuseSamples(const char *operation, int dev, const void *raw, int sampleCount, const void *out,
                   const char *outName, Layout &layout) {
    if (refuseSlot(operation, dev, {.open = false, .healthyPort = false})) return true;
    char message[96];
    if (raw == nullptr || out == nullptr) {
        std::snprintf(message, sizeof message, "raw and %s must not be NULL", outName);
    } else if (sampleCount < 0) {
        std::snprintf(message, sizeof message, "negative sample count %d", sampleCount);
    } else {
        layout = layoutOf(dev);
        if (layout.kind != Kind::none) return false;
        std::snprintf(message, sizeof message, "no sample layout; send a configuration command first");
    }
    buildErrMsg(dev, operation, message);
    return true;
}

const char *const kImuAxes[6] = {"x", "y", "z", "gx", "gy", "gz"};

void nameWord16(const Layout &layout, int64_t c, char *name) {
    if (c < layout.adcWords) {
        const auto channel = static_cast<int>(c / layout.oversampling + 1);
        const auto reading = static_cast<int>(c % layout.oversampling + 1);
        if (reading == 1) {
            std::snprintf(name, kNameSize, "Adc16_%d", channel);
        } else {
            std::snprintf(name, kNameSize, "Adc16_%d_%d", channel, reading);
        }
    } else if (c < layout.adcWords + layout.imuWords) {
        const int64_t word = c - layout.adcWords;
        std::snprintf(name, kNameSize, "Imu6_%d_%s", static_cast<int>(word / 6 + 1), kImuAxes[word % 6]);
    } else {
        std::snprintf(name, kNameSize, "Extra_%d", static_cast<int>(c - layout.adcWords - layout.imuWords + 1));
    }
}

// A channel listed more than once gets the number of its reading within the
// sample from the second one on, so that every name stays unique.
void nameListed(int dev, int64_t c, char *name) {
    const int64_t kept = std::min<int64_t>(loadAcquire(listedCount[dev]), kListedKept);
    const int64_t number = c < kept ? listedChannel[dev][c] : kUnreadable;
    if (number == kUnreadable) {
        std::snprintf(name, kNameSize, "Scan_%d", static_cast<int>(c + 1));
        return;
    }
    int reading = 1;
    for (int64_t earlier = 0; earlier < c; ++earlier) reading += listedChannel[dev][earlier] == number;
    if (reading == 1) {
        std::snprintf(name, kNameSize, "Adc24_%d", static_cast<int>(number));
    } else {
        std::snprintf(name, kNameSize, "Adc24_%d_%d", static_cast<int>(number), reading);
    }
}

void nameChannel(int dev, const Layout &layout, int64_t c, char *name) {
    switch (layout.kind) {
        case Kind::adc24: std::snprintf(name, kNameSize, "Adc24_%d", static_cast<int>(c + 1)); break;
        case Kind::scanList: nameListed(dev, c, name); break;
        case Kind::words16: nameWord16(layout, c, name); break;
        case Kind::none: name[0] = '\0'; break;
    }
}

// One piece of a channel list: a decimal number of 32 bits, else kUnreadable.
int64_t listedNumber(const char *piece) {
    while (*piece == ' ' || *piece == '\t' || *piece == '(' || *piece == '@') ++piece;
    char *end = nullptr;
    errno = 0;
    const long long number = std::strtoll(piece, &end, 10);
    if (end == piece || errno != 0 || number < INT32_MIN || number > INT32_MAX) return kUnreadable;
    return number;
}

// Words are converted in blocks of a fixed length: one load, one conversion
// and one store of a vector register each, which the compiler only finds in
// a loop whose length it knows. The multiplication by a power of two is
// exact, so a block gives the very values word-by-word conversion gives.
constexpr size_t kBlock32 = 4;
constexpr size_t kBlock16 = 8;

template <class Word, size_t Length>
void convertBlock(const uint8_t *__restrict in, float *__restrict out, float scale) {
    Word words[Length];
    float block[Length];
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(words, in, sizeof words);
    } else {
        for (size_t j = 0; j < Length; ++j) words[j] = littleEndian<Word>(in + j * sizeof(Word));
    }
    for (size_t j = 0; j < Length; ++j) block[j] = static_cast<float>(words[j]) * scale;
    std::memcpy(out, block, sizeof block);
}

// The values of `samples` whole samples of 32-bit words, each sample's
// after its counter; returns the values per sample. A sample's last block
// may run past its last value into the following samples' places (reading
// their counter and first words); those samples come later and write their
// own values over them. The last samples, whose blocks would read beyond the
// run or write beyond the values, go word by word.
int64_t convertCountedRun(const uint8_t *bytes, int64_t sampleBytes, int64_t samples, float *values) {
    const int64_t count = sampleBytes >= 4 ? (sampleBytes - 4) / 4 : 0;
    if (count == 0) return 0;
    constexpr auto kStep = static_cast<int64_t>(kBlock32);
    const int64_t span = (count + kStep - 1) / kStep * kStep;
    // What is left beyond the blocks of the first sample; each later sample
    // takes one sample's bytes and values more.
    const int64_t readRoom = sampleBytes * samples - 4 - 4 * span;
    const int64_t writeRoom = count * samples - span;
    const int64_t blocked =
        readRoom < 0 || writeRoom < 0 ? 0 : std::min({readRoom / sampleBytes + 1, writeRoom / count + 1, samples});
    const uint8_t *in = bytes + 4;
    float *out = values;
    const uint8_t *blockedEnd = in + blocked * sampleBytes;
    // One block per sample is the common case; its own loop runs without
    // an inner one.
    if (count <= kStep) {
        for (; in != blockedEnd; in += sampleBytes, out += count) convertBlock<int32_t, kBlock32>(in, out, 0x1p-31f);
    } else {
        for (; in != blockedEnd; in += sampleBytes, out += count) {
            for (int64_t j = 0; j < count; j += kStep) convertBlock<int32_t, kBlock32>(in + 4 * j, out + j, 0x1p-31f);
        }
    }
    for (int64_t s = blocked; s < samples; ++s, in += sampleBytes, out += count) {
        for (int64_t j = 0; j < count; ++j) out[j] = static_cast<float>(littleEndian<int32_t>(in + 4 * j)) * 0x1p-31f;
    }
    return count;
}

// `count` 16-bit words in a row.
void convertWords16(const uint8_t *bytes, int64_t count, float *values) {
    constexpr auto kStep = static_cast<int64_t>(kBlock16);
    int64_t j = 0;
    for (; j + kStep <= count; j += kStep) convertBlock<int16_t, kBlock16>(bytes + 2 * j, values + j, 0x1p-15f);
    for (; j < count; ++j) values[j] = static_cast<float>(littleEndian<int16_t>(bytes + 2 * j)) * 0x1p-15f;
}

}  // namespace

namespace kelvo {

int64_t convertSampleWords(const uint8_t *sample, int64_t sampleBytes, SampleWords words, float *values) {
    if (words == SampleWords::counted32) return convertCountedRun(sample, sampleBytes, 1, values);
    const int64_t count = sampleBytes / 2;
    convertWords16(sample, count, values);
    return count;
}

void recordScanList(int dev, const char *parameters, const char *end) {
    if (!isValidSlot(dev) || parameters == nullptr || end < parameters) return;
    int32_t count = 0;
    for (const char *piece = parameters; piece != nullptr; ++count) {
        if (count < kListedKept) listedChannel[dev][count] = listedNumber(piece);
        piece = static_cast<const char *>(std::memchr(piece, ',', static_cast<size_t>(end - piece)));
        if (piece != nullptr) ++piece;
    }
    storeRelease(listedCount[dev], count);
    storeRelease(listRecorded[dev], 1);
}

}  // namespace kelvo

namespace kelvo {

bool layoutHasCounter(int dev) { return isCounted(layoutOf(dev).kind); }

}  // namespace kelvo

namespace {

int32_t layoutKindNumber(Kind kind) {
    switch (kind) {
        case Kind::adc24: return KELVO_LAYOUT_ADC24;
        case Kind::words16: return KELVO_LAYOUT_ADC16;
        case Kind::scanList: return KELVO_LAYOUT_SCAN_LIST;
        default: return KELVO_LAYOUT_NONE;
    }
}

int32_t narrow(int64_t value) { return static_cast<int32_t>(std::clamp<int64_t>(value, 0, INT32_MAX)); }

}  // namespace

extern "C" {

KELVO_API int kelvoGetLayout(int dev, kelvoLayout *layout) noexcept {
    static const char kName[] = "kelvoGetLayout";
    if (refuseSlot(kName, dev, {.open = false, .healthyPort = false})) return KELVO_REFUSED;
    if (layout == nullptr) {
        buildErrMsg(dev, kName, "layout must not be NULL");
        return KELVO_REFUSED;
    }
    const Layout resolved = layoutOf(dev);
    const FiltInfo info = filtInfo[dev];
    *layout = kelvoLayout{};
    layout->kind = layoutKindNumber(resolved.kind);
    layout->oversampling = std::max(info.oversampling, 1);
    if (resolved.kind == Kind::none) return KELVO_OK;
    layout->sampleSize = narrow(resolved.sampleBytes);
    layout->channelCount = narrow(resolved.channels);
    layout->hasCounter = isCounted(resolved.kind) ? 1 : 0;
    if (resolved.kind == Kind::adc24) layout->nAdc24 = narrow(resolved.channels);
    if (resolved.kind == Kind::words16) {
        layout->oversampling = narrow(resolved.oversampling);
        layout->nAdc16 = narrow(resolved.adcWords / resolved.oversampling);
        layout->nImu6 = narrow(resolved.imuWords / 6);
        layout->nExtra = narrow(resolved.channels - resolved.adcWords - resolved.imuWords);
    }
    return KELVO_OK;
}

KELVO_API int kelvoGetChannelCount(int dev) noexcept {
    if (refuseSlot("kelvoGetChannelCount", dev, {.open = false, .healthyPort = false})) return -1;
    return static_cast<int>(layoutOf(dev).channels);
}

KELVO_API const char *kelvoGetChannelName(int dev, int channel) noexcept {
    if (refuseSlot("kelvoGetChannelName", dev, {.open = false, .healthyPort = false})) return nullptr;
    const Layout layout = layoutOf(dev);
    if (channel < 0 || channel >= layout.channels) {
        char message[96];
        std::snprintf(message, sizeof message, "channel %d outside the layout's %lld channels", channel,
                      static_cast<long long>(layout.channels));
        buildErrMsg(dev, "kelvoGetChannelName", message);
        return nullptr;
    }
    char *name = channelNames[dev][channel % kNamedChannels];
    nameChannel(dev, layout, channel, name);
    return name;
}

KELVO_API int kelvoDecodeSamples(int dev, const void *raw, int sampleCount, float *values) noexcept {
    Layout layout;
    if (refuseSamples("kelvoDecodeSamples", dev, raw, sampleCount, values, "values", layout)) return -1;
    const auto *bytes = static_cast<const uint8_t *>(raw);
    if (layout.kind == Kind::words16) {
        // Samples of 16-bit words follow each other as one run of words.
        convertSampleWords(bytes, layout.sampleBytes * sampleCount, SampleWords::plain16, values);
        return sampleCount;
    }
    convertCountedRun(bytes, layout.sampleBytes, sampleCount, values);
    return sampleCount;
}

KELVO_API int kelvoGetSampleCounters(int dev, const void *raw, int sampleCount, uint32_t *counters) noexcept {
    Layout layout;
    if (refuseSamples("kelvoGetSampleCounters", dev, raw, sampleCount, counters, "counters", layout)) return -1;
    if (!isCounted(layout.kind)) {
        buildErrMsg(dev, "kelvoGetSampleCounters", "the 16-bit layout has no sample counter");
        return -1;
    }
    const auto *bytes = static_cast<const uint8_t *>(raw);
    for (int64_t s = 0; s < sampleCount; ++s) counters[s] = counterOf(bytes + s * layout.sampleBytes);
    return sampleCount;
}

}  // extern "C"
