// SPDX-License-Identifier: MIT
#include "plotQueue.h"

#include <algorithm>

#include "atomics.h"
#include "byteRing.h"
#include "ioHooks.h"
#include "renderArea.h"
#include "sampleDecode.h"
#include "sampleFeed.h"

using namespace kelvo;

namespace {

// Buffer and size never change, so the I/O thread can put into the queue at
// any moment; only head (I/O thread) and tail (render thread) move.
uint8_t memGraphicQ[kGraphicQSize];

// One sample on its way from the queue to the decimator. sampleValues keeps
// its values between samples, so a layout with more channels than the
// sample carries shows the last values seen rather than garbage.
uint8_t rawSample[kMaxSampleBytes];
float sampleValues[kMaxSampleValues];

// The I/O thread's side: every streaming slot's payload, kept in whole
// samples. Only the I/O thread touches the feed.
SampleFeed graphicQFeed;

void streamStarted(int /*dev*/) { graphicQFeed = SampleFeed{}; }

void copyPayload(int /*dev*/, const uint8_t *bytes, uint32_t count, int64_t sampleBytes);

// The plot keeps its channels apart by taking the queue in whole samples;
// the cut sample never reaches it.
void streamCut(int /*dev*/) { (void)cutFeed(graphicQFeed); }

const StreamSink kPlotSink{streamStarted, copyPayload, streamCut};

// Attached for the library's whole life: an application may turn the copy
// on through isGraphicConfigured alone.
__attribute__((constructor)) void attachToStreams() { registerStreamSink(&kPlotSink); }

__attribute__((destructor)) void detachFromStreams() { registerStreamSink(nullptr); }

}  // namespace

extern "C" {
KELVO_API ByteRing graphicQ = {0, 0, memGraphicQ, kGraphicQSize};
KELVO_API int isGraphicConfigured;
KELVO_API FiltInfo grConf;
}

namespace {

// The plot queue is a best-effort copy: overflow is dropped unmarked.
void copyPayload(int /*dev*/, const uint8_t *bytes, uint32_t count, int64_t sampleBytes) {
    if (loadAcquire(isGraphicConfigured) != 0)
        (void)feedSamples(graphicQ, nullptr, graphicQFeed, bytes, count, sampleBytes);
}

}  // namespace

namespace kelvo {

// The library's one conversion, so that the traces show exactly what
// kelvoDecodeSamples gives; the plot keeps its own choice of which bytes make
// a sample (the record's sampleBytes) and which values it draws.
int convertSample(const uint8_t *bytes, int sampleBytes, int isAdc24, float *values) {
    const SampleWords words = isAdc24 != 0 ? SampleWords::counted32 : SampleWords::plain16;
    return static_cast<int>(convertSampleWords(bytes, sampleBytes, words, values));
}

uint32_t drainPlotQueue(ByteRing &queue, const FiltInfo &layout, graph_decim &decim) {
    if (layout.sampleBytes <= 0) return 0;
    const auto B = static_cast<uint32_t>(layout.sampleBytes);
    const uint32_t kept = std::min<uint32_t>(B, kMaxSampleBytes);
    const uint32_t samples = ringFill(queue) / B;
    for (uint32_t i = 0; i < samples; ++i) {
        ringTake(queue, rawSample, kept);
        if (B > kept) ringSkip(queue, B - kept);
        convertSample(rawSample, static_cast<int>(kept), layout.isAdc24, sampleValues);
        decim.enqSample(sampleValues);
    }
    return samples;
}

}  // namespace kelvo
