// SPDX-License-Identifier: MIT
// Throughput of the block decoder over a realistic stream, of the byte
// ring's put and take, and of the sample feed that the I/O thread puts
// stream payload through.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "blockDecoder.h"
#include "byteRing.h"
#include "kelvo_lowlevel.h"
#include "sampleFeed.h"

namespace {

// Blocks of 512 samples of 28 bytes, each followed by a line feed, with a
// short text answer now and then.
std::string streamOfBlocks(size_t blocks) {
    std::string stream;
    std::string payload(512 * 28, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13);
    for (size_t b = 0; b < blocks; ++b) {
        stream += "#514336" + payload + "\n";
        if (b % 16 == 0) stream += "OK\r\n";
    }
    return stream;
}

void BM_DecoderBytesPerSecond(benchmark::State &state) {
    const std::string stream = streamOfBlocks(64);
    SCPIdecoderState decoder{};
    SCPIdecoderReset(&decoder);
    int64_t payload = 0;
    for (auto _ : state) {
        for (char c : stream) payload += SCPIdecoder(&decoder, c);
        benchmark::DoNotOptimize(payload);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_DecoderBytesPerSecond);

// What the I/O thread does with each read: the same decoding, with the
// payload moved in runs, compacted in place, over 4 KiB reads.
void BM_DecoderRunsPerSecond(benchmark::State &state) {
    const std::string stream = streamOfBlocks(64);
    std::string scratch(4096, '\0');
    kelvo::BlockDecoder decoder{};
    kelvo::resetBlockDecoder(decoder);
    int64_t payload = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += scratch.size()) {
            const size_t n = std::min(scratch.size(), stream.size() - at);
            scratch.assign(stream, at, n);
            auto *bytes = reinterpret_cast<uint8_t *>(scratch.data());
            payload += kelvo::decodeBlockBytes(decoder, bytes, static_cast<uint32_t>(n), bytes).payload;
        }
        benchmark::DoNotOptimize(payload);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_DecoderRunsPerSecond);

void BM_RingPutTake(benchmark::State &state) {
    std::vector<uint8_t> memory(262144);
    ByteRing ring{0, 0, memory.data(), static_cast<uint32_t>(memory.size())};
    const auto chunk = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> in(chunk, 7), out(chunk);
    for (auto _ : state) {
        kelvo::ringPut(ring, in.data(), chunk);
        kelvo::ringTake(ring, out.data(), chunk);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}
BENCHMARK(BM_RingPutTake)->Arg(64)->Arg(4096)->Arg(65536);

// Chunks of a 28-byte layout put through the feed and taken as whole samples,
// against the same chunks through a plain put.
void BM_FeedSamplesPutTake(benchmark::State &state) {
    std::vector<uint8_t> memory(262144);
    ByteRing ring{0, 0, memory.data(), static_cast<uint32_t>(memory.size())};
    kelvo::SampleFeed feed;
    static kelvo::MarkQueue marks;
    const auto chunk = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> in(chunk, 7), out(chunk + 28);
    for (auto _ : state) {
        kelvo::feedSamples(ring, &marks, feed, in.data(), chunk, 28);
        const uint32_t whole = kelvo::ringFill(ring) / 28 * 28;
        kelvo::ringTake(ring, out.data(), whole);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}
BENCHMARK(BM_FeedSamplesPutTake)->Arg(64)->Arg(4096)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
