// SPDX-License-Identifier: MIT
#include "streamLayout.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "atomics.h"
#include "sampleDecode.h"
#include "scpiHeader.h"
#include "slots.h"

namespace kelvo {
namespace {

constexpr int kMaxLayoutNumbers = 5;
constexpr int64_t kMaxWords16 = 128;

int32_t readDecimal(const char *text) { return static_cast<int32_t>(std::strtol(text, nullptr, 10)); }

void acceptLayout(int dev, int64_t words) {
    const int32_t factor = slots[dev].filteredAdcOversamplingFactors;
    storeRelease(slots[dev].filteredSampleSize, static_cast<int32_t>(words));
    filtInfo[dev].oversampling = factor < 1 ? 1 : factor;
    filtInfo[dev].sampleBytes = static_cast<int32_t>(2 * words);
}

void learnOversampling(int dev, const char *parameters) {
    const int32_t factor = readDecimal(parameters);
    if (factor != 0 && factor <= 2) slots[dev].filteredAdcOversamplingFactors = factor;
}

// "CONF:DEV a,b,c,d,e": a 24-bit channels, or with a = 0 the 16-bit layout
// of b ADC channels (times the oversampling factor), c six-axis units and
// d, e single words. Fields read before a rejection keep their new values.
void learnDeviceLayout(int dev, const ProgramCommand &command) {
    if (command.parameters == command.end) return;
    FiltInfo &info = filtInfo[dev];
    int64_t words = 0;
    const char *piece = command.parameters + 1;
    for (int position = 0; position < kMaxLayoutNumbers; ++position) {
        const int32_t number = readDecimal(piece);
        if (number < 0) return;
        switch (position) {
            case 0:
                info.nAdc24 = number;
                if (number != 0) {
                    // 24-bit mode: one leading word and k 32-bit values, no
                    // bound on k; a size that overflows is refused.
                    info.isAdc24 = 1;
                    words = 2 * static_cast<int64_t>(number) + 2;
                    if (2 * words <= INT32_MAX) acceptLayout(dev, words);
                    return;
                }
                info.isAdc24 = 0;
                break;
            case 1:
                info.nAdc16 = number;
                info.isAdc24 = 0;
                words += static_cast<int64_t>(number) * slots[dev].filteredAdcOversamplingFactors;
                break;
            case 2:
                info.nImu6 = number;
                info.isAdc24 = 0;
                words += 6 * static_cast<int64_t>(number);
                break;
            default:
                info.isAdc24 = 0;
                words += number;
                break;
        }
        const auto *comma =
            static_cast<const char *>(std::memchr(piece, ',', static_cast<size_t>(command.end - piece)));
        if (comma == nullptr || comma + 1 == command.end) break;
        piece = comma + 1;
    }
    if (words >= 1 && words <= kMaxWords16) acceptLayout(dev, words);
}

// The scan list sets the sample size from its comma count alone; note that
// `sampleBytes` takes the word count, not twice it.
void learnScanList(int dev, const ProgramCommand &command) {
    int64_t commas = 0;
    for (const char *c = command.parameters; c != command.end; ++c) commas += *c == ',';
    const auto words = static_cast<int32_t>(2 * (commas + 2));
    storeRelease(slots[dev].filteredSampleSize, words);
    filtInfo[dev].sampleBytes = words;
}

void learnCommand(int dev, const ProgramCommand &command) {
    const char *rest = nullptr;
    if (checkSCPI(&rest, command.header, "CONFigure:SCAn:OVErsampling")) learnOversampling(dev, command.parameters);
    if (checkSCPI(&rest, command.header, "CONFigure:DEVice")) learnDeviceLayout(dev, command);
    if (checkSCPI(&rest, command.header, "CONFigure:SCAn:LISt")) {
        learnScanList(dev, command);
        recordScanList(dev, command.parameters, command.end);
    }
}

}  // namespace

int64_t streamSampleBytes(int dev) { return 2 * static_cast<int64_t>(loadAcquire(slots[dev].filteredSampleSize)); }

void learnStreamLayout(int dev, const char *line) {
    ProgramLine commands(line);
    ProgramCommand command;
    while (commands.next(command)) learnCommand(dev, command);
}

}  // namespace kelvo
