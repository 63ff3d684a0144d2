// SPDX-License-Identifier: MIT
#include "streamStats.h"

#include "atomics.h"
#include "errors.h"
#include "slots.h"

using namespace kelvo;

namespace {

kelvoStreamStats streamStats[kSlots];

// The I/O thread is the only writer, so a load and a store make an add; no
// read-modify-write is needed on the stream path.
template <class T>
void add(T &field, std::type_identity_t<T> delta) {
    storeRelease(field, loadRelaxed(field) + delta);
}

}  // namespace

namespace kelvo {

void resetStreamStats(int dev) {
    kelvoStreamStats &s = streamStats[dev];
    storeRelease(s.blocks, uint64_t{0});
    storeRelease(s.payloadBytes, uint64_t{0});
    storeRelease(s.samplesDropped, uint64_t{0});
    storeRelease(s.framingErrors, uint64_t{0});
    storeRelease(s.bytesSkipped, uint64_t{0});
    storeRelease(s.lastDataTicks, int64_t{0});
}

void countStreamRead(int dev, int64_t now) { storeRelease(streamStats[dev].lastDataTicks, now); }

void countDecoded(int dev, uint32_t blocks, uint32_t payloadBytes) {
    if (blocks != 0) add(streamStats[dev].blocks, blocks);
    add(streamStats[dev].payloadBytes, payloadBytes);
}

void countSamplesDropped(int dev, uint32_t samples) {
    if (samples != 0) add(streamStats[dev].samplesDropped, samples);
}

void countFramingError(int dev) { add(streamStats[dev].framingErrors, 1u); }

void countBytesSkipped(int dev, uint32_t bytes) {
    if (bytes != 0) add(streamStats[dev].bytesSkipped, bytes);
}

}  // namespace kelvo

extern "C" KELVO_API int kelvoGetStreamStats(int dev, kelvoStreamStats *stats) noexcept {
    static const char kName[] = "kelvoGetStreamStats";
    if (refuseSlot(kName, dev, {.open = false, .healthyPort = false})) return -1;
    if (stats == nullptr) {
        buildErrMsg(dev, kName, "stats must not be NULL");
        return -1;
    }
    kelvoStreamStats &s = streamStats[dev];
    stats->blocks = loadAcquire(s.blocks);
    stats->payloadBytes = loadAcquire(s.payloadBytes);
    stats->samplesDropped = loadAcquire(s.samplesDropped);
    stats->framingErrors = loadAcquire(s.framingErrors);
    stats->bytesSkipped = loadAcquire(s.bytesSkipped);
    stats->lastDataTicks = loadAcquire(s.lastDataTicks);
    return 0;
}
