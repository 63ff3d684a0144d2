// SPDX-License-Identifier: MIT
// The stream verbs through real pseudo-terminals: a waiting read that sleeps
// and hands out consecutive runs with their index, stopping, the
// synchronized start, the device's error queue and the layout record.
#include <gtest/gtest.h>
#include <strings.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "kelvo.h"
#include "ptyDevice.h"
#include "simulatedDevice.h"
#include "streamSource.h"

using namespace kelvo;
using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

// Sends `command` without waiting for an answer the device never gives.
void learn(int slot, const char *command) {
    int binary = 0;
    char none[1];
    ASSERT_EQ(kelvoQuery(slot, command, none, sizeof none, 1000, &binary), 0) << command;
}

// Numbered 8-byte samples (counter, complement): the 24-bit layout of one
// channel, "CONF:DEV 1". `counters` lists the counter of each sample.
std::string countedSamples(const std::vector<uint32_t> &counters) {
    std::string bytes;
    for (const uint32_t c : counters) bytes += numberedSamples(c, 1);
    return bytes;
}

std::vector<uint32_t> range(uint32_t first, uint32_t count) {
    std::vector<uint32_t> numbers;
    for (uint32_t k = 0; k < count; ++k) numbers.push_back(first + k);
    return numbers;
}

// A device that answers "init" with `payload` as one block, once.
void sendOnInit(sim::PtyDevice &device, std::string payload) {
    device.onLine([payload](sim::PtyDevice &d, const std::string &line) {
        if (strncasecmp(line.c_str(), "init", 4) == 0) d.send(sim::definiteBlock(payload));
    });
}

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

uint32_t counterOf(const uint8_t *sample) {
    uint32_t c = 0;
    std::memcpy(&c, sample, 4);
    return c;
}

// Starts the slot's stream and waits until it delivered `bytes` payload
// bytes: a stop requested before the device's answer came would end the
// stream first. The counts of an earlier stream stand until the I/O thread
// takes up the start, so only bytes read since count.
void startAndAwait(int slot, uint64_t bytes) {
    const int64_t started = kelvoGetTicks();
    ASSERT_EQ(kelvoSendCmdWhileStreaming(slot, "INIT"), 0);
    ASSERT_TRUE(eventually([&] {
        kelvoStreamStats stats{};
        return kelvoGetStreamStats(slot, &stats) == 0 && stats.lastDataTicks >= started && stats.payloadBytes >= bytes;
    }));
}

}  // namespace

// Regression: the queue published only whole samples of the learnt layout,
// so a reader of another size (a slot reopened on another device keeps the
// old layout) got fewer bytes than arrived, and the last bytes never.
TEST(StreamQueue, EveryByteReachesAReaderOfAnotherSampleSize) {
    {
        OpenDevice first(0);
        learn(0, "CONF:DEV 0,6");  // 12-byte samples
    }
    OpenDevice open(0);
    ASSERT_EQ(kelvoGetSampleSize(0), 12) << "the layout outlives the reopening";
    sendOnInit(open.device, numberedSamples(0, 2) + std::string(4, 'x'));  // 20 bytes
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "INIT"), 0);
    std::vector<uint8_t> got(64);
    int n = 0;
    ASSERT_TRUE(eventually([&] { return (n = kelvoGetStreamingData(0, got.data(), 8, 64)) > 0; }));
    EXPECT_EQ(n, 16) << "two 8-byte samples of the 20 bytes";
    EXPECT_EQ(std::string(got.begin(), got.begin() + 16), numberedSamples(0, 2));
}

TEST(StreamQueue, TheLastSampleOfAStoppedStreamArrives) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 0,6");                           // learnt 12 bytes; the device sends 16-byte samples
    const std::string payload = numberedSamples(0, 6);  // three 16-byte samples
    sendOnInit(open.device, payload);
    startAndAwait(0, payload.size());
    ASSERT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
    std::vector<uint8_t> got(96);
    EXPECT_EQ(kelvoGetStreamingData(0, got.data(), 16, 96), 48);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 48), payload);
}

TEST(ReadSamples, WaitsAsleepAndWakesForTheFirstSamples) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 1");
    open.device.onLine([](sim::PtyDevice &, const std::string &) {});  // takes INIT, sends nothing yet
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "INIT"), 0);
    std::vector<uint8_t> buffer(8 * 100);
    int64_t first = -1;
    const double cpuBefore = threadCpuMs();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 100, 1000, &first), KELVO_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1000ms);
    EXPECT_LE(threadCpuMs() - cpuBefore, 2.0) << "a waiting read sleeps";
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoReadSamples(dev=0):no samples within 1000 ms");

    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        open.device.send(sim::definiteBlock(countedSamples(range(0, 5))));
    });
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 100, 5000, &first), 5);
    later.join();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 40), countedSamples(range(0, 5)));
}

TEST(ReadSamples, ACallEndsBeforeAJumpInTheCounterAndTheNextShowsIt) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 1");
    std::vector<uint32_t> counters = range(100, 10);  // the stream's first counter is index 0
    for (const uint32_t c : range(115, 10)) counters.push_back(c);
    sendOnInit(open.device, countedSamples(counters));
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "INIT"), 0);
    std::vector<uint8_t> buffer(8 * 100);
    int64_t first = -1;
    int n = kelvoReadSamples(0, buffer.data(), 100, 2000, &first);
    // The block may arrive in pieces; collect the first run.
    EXPECT_EQ(first, 0);
    int total = n;
    while (total < 10 && n > 0) {
        int64_t next = -1;
        n = kelvoReadSamples(0, buffer.data() + 8 * total, 100 - total, 2000, &next);
        EXPECT_EQ(next, total);
        total += n;
    }
    EXPECT_EQ(total, 10) << "the run ends before the jump";
    n = kelvoReadSamples(0, buffer.data(), 100, 2000, &first);
    EXPECT_EQ(first, 15) << "ten samples lost in the device show as a jump";
    EXPECT_GE(n, 1);
    EXPECT_EQ(counterOf(buffer.data()), 115u);
}

TEST(ReadSamples, HandsOutWhatCameBeforeAnUnplugThenSaysDisconnected) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 1");
    sendOnInit(open.device, countedSamples(range(0, 50)));
    startAndAwait(0, 400);
    open.device.hangUp();
    std::vector<uint8_t> buffer(8 * 100);
    int total = 0;
    int n = 0;
    int64_t first = 0;
    while ((n = kelvoReadSamples(0, buffer.data() + 8 * total, 100 - total, 3000, &first)) > 0) {
        EXPECT_EQ(first, total);
        total += n;
    }
    EXPECT_EQ(total, 50);
    EXPECT_EQ(n, KELVO_DISCONNECTED);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoReadSamples(dev=0):fatal I/O error on Port");
}

TEST(ReadSamples, RefusalsAndTheEndOfAStream) {
    OpenDevice open(0);
    std::vector<uint8_t> buffer(64);
    int64_t first = 0;
    // The layout outlives the slot: only a slot no earlier test configured has none.
    if (kelvoGetSampleSize(0) == 0) {
        EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 8, 0, &first), KELVO_REFUSED);
        EXPECT_STREQ(kelvoGetLastError(0),
                     "kelvoReadSamples(dev=0):no sample layout; send a configuration command first");
    }
    learn(0, "CONF:DEV 1");
    EXPECT_EQ(kelvoReadSamples(0, nullptr, 8, 0, &first), KELVO_REFUSED);
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 0, 0, &first), KELVO_REFUSED);
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 8, -1, &first), KELVO_REFUSED);
    EXPECT_EQ(kelvoReadSamples(4, buffer.data(), 8, 0, &first), KELVO_REFUSED);
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 8, 0, &first), KELVO_REFUSED);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoReadSamples(dev=0):the slot is not streaming");

    sendOnInit(open.device, countedSamples(range(7, 3)));
    startAndAwait(0, 24);
    ASSERT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 8, 0, &first), 3) << "what came before the stop stays readable";
    EXPECT_EQ(first, 0);
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 8, 0, &first), KELVO_REFUSED);
}

TEST(ReadSamples, IndexesStayTrueAcrossAFullQueue) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 1");
    NumberedStream stream(open.device, 1000, 1ms);  // ~8 MB/s: the queue overflows while nobody reads
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "INIT"), 0);
    ASSERT_TRUE(eventually([] { return (kelvoGetFaultBits(0) & KELVO_FAULT_STREAM_QUEUE_FULL) != 0; }, 10s));
    std::vector<uint8_t> buffer(8 * 4096);
    int jumps = 0;
    int64_t expected = -1;
    for (int reads = 0; reads < 200; ++reads) {
        int64_t first = 0;
        const int n = kelvoReadSamples(0, buffer.data(), 4096, 2000, &first);
        ASSERT_GT(n, 0);
        for (int k = 0; k < n; ++k) {
            ASSERT_EQ(static_cast<int64_t>(counterOf(&buffer[8 * static_cast<size_t>(k)])), first + k)
                << "the index follows the device's counter";
        }
        if (expected >= 0 && first != expected) ++jumps;
        expected = first + n;
    }
    EXPECT_GE(jumps, 1) << "samples dropped in the full queue show as jumps";
    ASSERT_EQ(kelvoStopStream(0, 3000), KELVO_OK);
}

// A 16-bit layout has no counter: the index counts what arrived, the
// samples a framing error cut included.
TEST(ReadSamples, ACutSampleOfALayoutWithoutCounterAdvancesTheIndex) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 0,4");  // 8-byte samples, no counter
    // Blocks of a sample and a half; a broken header cuts sample 4 after
    // its first half, and the stream takes up again with sample 5.
    const std::string s = numberedSamples(0, 8);
    auto block = [&](size_t from, size_t to) { return sim::definiteBlock(s.substr(from, to - from)); };
    const std::string stream =
        block(0, 12) + block(12, 24) + block(24, 36) + "#x12abc\n" + block(40, 52) + block(52, 64);
    open.device.onLine([stream](sim::PtyDevice &d, const std::string &line) {
        if (strncasecmp(line.c_str(), "init", 4) == 0) d.send(stream);
    });
    startAndAwait(0, 56);  // the five good blocks
    ASSERT_TRUE(eventually([] {
        kelvoStreamStats stats{};
        return kelvoGetStreamStats(0, &stats) == 0 && stats.blocks == 5;
    }));
    kelvoStreamStats stats{};
    ASSERT_EQ(kelvoGetStreamStats(0, &stats), 0);
    EXPECT_EQ(stats.framingErrors, 1u);
    EXPECT_EQ(stats.samplesDropped, 1u);
    std::vector<uint8_t> buffer(8 * 16);
    int64_t first = -1;
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 16, 0, &first), 4);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 32), s.substr(0, 32));
    EXPECT_EQ(kelvoReadSamples(0, buffer.data(), 16, 0, &first), 3);
    EXPECT_EQ(first, 5) << "samples 0-3 came whole, sample 4 was cut";
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 24), s.substr(40, 24));
    ASSERT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
}

TEST(SampleCallback, GetsConsecutiveRunsWithTheirIndexAndTime) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 1");
    struct Seen {
        std::vector<int64_t> firsts, ticks;
        std::vector<int> counts;
        std::vector<uint32_t> counters;
    } seen;
    const kelvoSampleCallback record = [](void *user, const void *samples, int count, int64_t first, int64_t ticks) {
        auto &s = *static_cast<Seen *>(user);
        s.firsts.push_back(first);
        s.counts.push_back(count);
        s.ticks.push_back(ticks);
        for (int k = 0; k < count; ++k) s.counters.push_back(counterOf(static_cast<const uint8_t *>(samples) + 8 * k));
    };
    std::vector<uint32_t> counters = range(0, 20);
    for (const uint32_t c : range(30, 20)) counters.push_back(c);
    sendOnInit(open.device, countedSamples(counters));
    ASSERT_EQ(kelvoSetSampleCallback(0, record, &seen), KELVO_OK);
    // Payload that comes while a stop is pending is not called back.
    startAndAwait(0, 320);
    ASSERT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
    ASSERT_EQ(kelvoSetSampleCallback(0, nullptr, nullptr), KELVO_OK);
    EXPECT_EQ(seen.counters, counters);
    for (size_t k = 0; k < seen.firsts.size(); ++k) {
        EXPECT_EQ(seen.firsts[k],
                  static_cast<int64_t>(seen.counters[static_cast<size_t>(
                      std::accumulate(seen.counts.begin(), seen.counts.begin() + static_cast<long>(k), 0))]));
        EXPECT_GT(seen.ticks[k], 0);
    }
    EXPECT_GE(seen.firsts.size(), 2u) << "a run ends before the jump";
    int64_t none = 0;
    EXPECT_EQ(kelvoGetStreamingData(0, &none, 8, 8), 0) << "nothing reached the queue";
}

TEST(StopStream, WaitsUntilTheLineIsQuietAndGivesUpOnADeviceThatNeverStops) {
    OpenDevice open(0);
    EXPECT_EQ(kelvoStopStream(0, 100), KELVO_OK) << "nothing to stop";
    NumberedStream endless(open.device, 10, 2ms, 1000000);  // goes on after ABORt
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "INIT"), 0);
    EXPECT_EQ(kelvoStopStream(0, 200), KELVO_TIMEOUT);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoStopStream(dev=0):still streaming 200 ms after ABORt");
    EXPECT_EQ(kelvoStopStream(4, 100), KELVO_REFUSED);
}

TEST(StopStream, ReturnsOnceTheSlotLeftStreaming) {
    OpenDevice open(0);
    NumberedStream stream(open.device, 10, 2ms, 3);
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "INIT"), 0);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
    EXPECT_TRUE(stream.silent());
    int binary = 0;
    char answer[8];
    EXPECT_NE(kelvoQuery(0, "*OPC?", answer, sizeof answer, 100, &binary), KELVO_REFUSED)
        << "the slot is in command mode again";
}

TEST(StartTogether, StartsEverySlotAndTellsTheSpread) {
    OpenDevice a(0);
    OpenDevice b(1);
    NumberedStream sa(a.device, 10, 2ms);
    NumberedStream sb(b.device, 10, 2ms);
    const int both[2] = {0, 1};
    int64_t spread = -1;
    EXPECT_EQ(kelvoGetStartSpread(both, 2, &spread), KELVO_REFUSED) << "no start yet";
    ASSERT_EQ(kelvoStartTogether(both, 2, "INIT", 2000), KELVO_OK);
    int64_t stamps[2][4];
    for (int dev = 0; dev < 2; ++dev) {
        ASSERT_EQ(kelvoGetTimeStampsFromSynchronizedGroup(dev, stamps[dev]), 0);
        for (int k = 1; k < 4; ++k) EXPECT_GE(stamps[dev][k], stamps[dev][k - 1]);
    }
    EXPECT_EQ(stamps[0][0], stamps[1][0]);
    ASSERT_EQ(kelvoGetStartSpread(both, 2, &spread), KELVO_OK);
    EXPECT_EQ(spread, std::abs(stamps[0][1] - stamps[1][1]));
    EXPECT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
    EXPECT_EQ(kelvoStopStream(1, 2000), KELVO_OK);
}

TEST(StartTogether, RefusesABadListOrCommandAndStartsNothing) {
    OpenDevice a(0);
    const int twice[2] = {0, 0};
    const int closed[2] = {0, 2};
    EXPECT_EQ(kelvoStartTogether(twice, 2, "INIT", 100), KELVO_REFUSED);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoStartTogether(dev=0):a slot is listed twice");
    EXPECT_EQ(kelvoStartTogether(twice, 1, "ABORt", 100), KELVO_REFUSED);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoStartTogether(dev=0):the start command must begin with INIT");
    EXPECT_EQ(kelvoStartTogether(closed, 2, "INIT", 100), KELVO_REFUSED);
    EXPECT_EQ(kelvoStartTogether(nullptr, 1, "INIT", 100), KELVO_REFUSED);
    EXPECT_EQ(kelvoStartTogether(closed, 5, "INIT", 100), KELVO_REFUSED);
    EXPECT_FALSE(a.device.waitForReceived("INIT", 100ms)) << "nothing was started";
}

TEST(StartTogether, ASilentDeviceTimesOut) {
    OpenDevice a(0);
    a.device.onLine([](sim::PtyDevice &, const std::string &) {});
    const int one[1] = {0};
    EXPECT_EQ(kelvoStartTogether(one, 1, "INIT", 200), KELVO_TIMEOUT);
    EXPECT_STREQ(kelvoGetLastError(0),
                 "kelvoStartTogether(dev=0):no stream payload within 200 ms of the synchronized start");
}

TEST(DeviceErrors, TheFirstErrorIsReportedAndTheQueueEmptied) {
    sim::SimulatedDevice device;
    ASSERT_EQ(kelvoOpen(0, device.path().c_str()), 0);
    char text[64];
    EXPECT_EQ(kelvoCheckDeviceErrors(0, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    learn(0, "CONF:NONSENSE 1");
    learn(0, "CONF:DEV -1");
    EXPECT_EQ(kelvoCheckDeviceErrors(0, text, sizeof text), 1);
    EXPECT_STREQ(text, "-113,\"Undefined header\"");
    EXPECT_EQ(kelvoCheckDeviceErrors(0, text, sizeof text), 0) << "the queue was read empty";
    learn(0, "CONF:NONSENSE 1");
    char small[5];
    EXPECT_EQ(kelvoCheckDeviceErrors(0, small, sizeof small), 1);
    EXPECT_STREQ(small, "-113");
    EXPECT_EQ(kelvoCheckDeviceErrors(0, nullptr, 0), 0);
    EXPECT_EQ(kelvoCheckDeviceErrors(0, nullptr, 8), KELVO_REFUSED);
    kelvoClose(0);
    EXPECT_EQ(kelvoCheckDeviceErrors(0, text, sizeof text), KELVO_REFUSED);
}

TEST(DeviceErrors, ADeviceThatNeverAnswersTimesOut) {
    OpenDevice open(0);
    char text[64];
    EXPECT_EQ(kelvoCheckDeviceErrors(0, text, sizeof text), KELVO_TIMEOUT);
}

TEST(Layout, EveryKindIsDescribed) {
    OpenDevice open(0);
    EXPECT_EQ(kelvoIsOpen(0), 1);
    EXPECT_EQ(kelvoIsOpen(1), 0);
    EXPECT_EQ(kelvoIsOpen(-1), 0);
    kelvoLayout layout{};

    learn(0, "CONF:DEV 3");
    ASSERT_EQ(kelvoGetLayout(0, &layout), KELVO_OK);
    EXPECT_EQ(layout.kind, KELVO_LAYOUT_ADC24);
    EXPECT_EQ(layout.sampleSize, 16);
    EXPECT_EQ(layout.channelCount, 3);
    EXPECT_EQ(layout.nAdc24, 3);
    EXPECT_EQ(layout.hasCounter, 1);

    learn(0, "CONF:SCAN:OVER 2");
    learn(0, "CONF:DEV 0,2,1,3");
    ASSERT_EQ(kelvoGetLayout(0, &layout), KELVO_OK);
    EXPECT_EQ(layout.kind, KELVO_LAYOUT_ADC16);
    EXPECT_EQ(layout.oversampling, 2);
    EXPECT_EQ(layout.nAdc16, 2);
    EXPECT_EQ(layout.nImu6, 1);
    EXPECT_EQ(layout.nExtra, 3);
    EXPECT_EQ(layout.channelCount, 2 * 2 + 6 + 3);
    EXPECT_EQ(layout.sampleSize, 2 * layout.channelCount);
    EXPECT_EQ(layout.hasCounter, 0);

    learn(0, "CONF:SCAN:LIST (@1,5,9)");
    ASSERT_EQ(kelvoGetLayout(0, &layout), KELVO_OK);
    EXPECT_EQ(layout.kind, KELVO_LAYOUT_SCAN_LIST);
    EXPECT_EQ(layout.channelCount, 3);
    EXPECT_EQ(layout.sampleSize, 16);
    EXPECT_EQ(layout.hasCounter, 1);

    EXPECT_EQ(kelvoGetLayout(0, nullptr), KELVO_REFUSED);
    EXPECT_EQ(kelvoGetLayout(4, &layout), KELVO_REFUSED);
}

TEST(ReadSamples, AtLeastWaitsForTheWholeBatchOrTheJumpBeforeIt) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 1");
    NumberedStream stream(open.device, 10, 20ms);  // 500 samples/s in blocks of 10
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "INIT"), 0);
    std::vector<uint8_t> buffer(8 * 1000);
    int64_t first = -1;
    const auto before = std::chrono::steady_clock::now();
    const int n = kelvoReadSamplesAtLeast(0, buffer.data(), 1000, 100, 5000, &first);
    EXPECT_GE(n, 100) << "not woken for each block of 10";
    EXPECT_GE(std::chrono::steady_clock::now() - before, 150ms);
    EXPECT_EQ(first, 0);
    // What comes within the time-out is handed out even when short of the batch.
    EXPECT_GE(kelvoReadSamplesAtLeast(0, buffer.data(), 1000, 1000, 100, &first), 1);
    EXPECT_EQ(kelvoReadSamplesAtLeast(0, buffer.data(), 10, 11, 100, &first), KELVO_REFUSED);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoReadSamplesAtLeast(dev=0):minSamples must be 1 to the capacity");
    ASSERT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
}

TEST(ReadSamples, AtLeastEndsAtAJumpInTheIndex) {
    OpenDevice open(0);
    learn(0, "CONF:DEV 1");
    std::vector<uint32_t> counters = range(0, 30);
    for (const uint32_t c : range(40, 30)) counters.push_back(c);
    sendOnInit(open.device, countedSamples(counters));
    startAndAwait(0, 8 * 60);
    std::vector<uint8_t> buffer(8 * 100);
    int64_t first = -1;
    EXPECT_EQ(kelvoReadSamplesAtLeast(0, buffer.data(), 100, 50, 2000, &first), 30);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(kelvoReadSamplesAtLeast(0, buffer.data(), 100, 30, 2000, &first), 30);
    EXPECT_EQ(first, 40);
    ASSERT_EQ(kelvoStopStream(0, 2000), KELVO_OK);
}
