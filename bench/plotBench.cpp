// SPDX-License-Identifier: MIT
// The plot window's costs off screen: one render cycle's drain, decimation
// and paint at 1280 x 720 with 24 graphs and a full plot queue; the
// decimator alone in samples per second; the 24 labels drawn with the font.
#include <SDL.h>
#include <SDL_ttf.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "byteRing.h"
#include "painter.h"
#include "plotQueue.h"
#include "renderArea.h"
#include "resources.h"

using namespace kelvo;

namespace {

constexpr int kWidth = 1280, kHeight = 720;
// 16 ADC graphs and 8 IMU graphs: 24 strips, 40 plotted channels, 64 words.
constexpr FiltInfo kLayout{1, 128, 0, 16, 8, 0};

RenderArea *layOut(int span) {
    auto *model = new RenderArea(kWidth, kHeight);
    for (int i = 1; i <= kLayout.nAdc16; ++i) model->addGraph(1, "Adc16_" + std::to_string(i), false, true);
    for (int i = 1; i <= kLayout.nImu6; ++i) model->addGraph(3, "Imu6_" + std::to_string(i), false, true);
    model->layoutChannels(span);
    return model;
}

std::vector<uint8_t> waveformBytes(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i + 1 < n; i += 2) {
        const auto v = static_cast<int16_t>(20000 * std::sin(static_cast<double>(i) / 977.0));
        bytes[i] = static_cast<uint8_t>(v & 0xFF);
        bytes[i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
    return bytes;
}

void BM_RenderCycleFullQueue(benchmark::State &state) {
    RenderArea *model = layOut(static_cast<int>(state.range(0)));
    std::vector<uint32_t> pixels(static_cast<size_t>(kWidth) * kHeight, 0xB4B4B4B4);
    std::vector<uint8_t> memory(kGraphicQSize);
    ByteRing queue{0, 0, memory.data(), kGraphicQSize};
    const std::vector<uint8_t> stream = waveformBytes(kGraphicQSize);
    uint64_t samples = 0;
    for (auto _ : state) {
        state.PauseTiming();
        (void)kelvo::ringPut(queue, stream.data(), kelvo::ringFree(queue));
        state.ResumeTiming();
        samples += drainPlotQueue(queue, kLayout, model->decim);
        paintEvent(pixels.data(), model);
    }
    state.counters["samples/cycle"] = static_cast<double>(samples) / static_cast<double>(state.iterations());
    delete model;
}
// Spans: 8000 (the default, about 6 columns a cycle), the width (63 columns),
// and 100 (a backlog wider than the window: a full repaint).
BENCHMARK(BM_RenderCycleFullQueue)->Arg(8000)->Arg(kWidth)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_DecimatorSamples(benchmark::State &state) {
    RenderArea *model = layOut(static_cast<int>(state.range(0)));
    constexpr size_t kSamples = 1024;
    std::vector<float> samples(kSamples * kMaxPlotChannels);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(static_cast<float>(i) * 0.37f);
    size_t next = 0;
    for (auto _ : state) {
        model->decim.enqSample(&samples[next * kMaxPlotChannels]);
        next = (next + 1) % kSamples;
        benchmark::DoNotOptimize(model->decim.col);
    }
    state.SetItemsProcessed(state.iterations());
    delete model;
}
// Compressing (span above the width) and stretching (span below it).
BENCHMARK(BM_DecimatorSamples)->Arg(8000)->Arg(400);

void BM_Labels(benchmark::State &state) {
    if (TTF_Init() != 0) {
        state.SkipWithError("TTF_Init failed");
        return;
    }
    TTF_Font *font = TTF_OpenFontRW(SDL_RWFromConstMem(OpenSansRegular, static_cast<int>(OpenSansRegularSize)), 1, 14);
    SDL_Surface *target = SDL_CreateRGBSurfaceWithFormat(0, kWidth, kHeight, 32, SDL_PIXELFORMAT_RGB888);
    RenderArea *model = layOut(8000);
    const int step = kHeight / model->nGraphs;
    for (auto _ : state) {
        int y = 3;
        for (int k = 0; k < model->nGraphs; ++k, y += step) {
            SDL_Surface *text =
                TTF_RenderText_Shaded(font, model->names[k].c_str(), {0, 0, 0, 255}, {255, 255, 255, 255});
            SDL_Rect at{0, y, text->w, text->h};
            SDL_BlitSurface(text, nullptr, target, &at);
            SDL_FreeSurface(text);
        }
    }
    delete model;
    SDL_FreeSurface(target);
    TTF_CloseFont(font);
    TTF_Quit();
}
BENCHMARK(BM_Labels)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
