// SPDX-License-Identifier: MIT
// End-to-end figures on simulated devices over real pseudo-terminals:
//   stream throughput through the library against a plain read() loop,
//   kelvoSendCmd and kelvoQuery round trips beside PyVISA's pure-Python
//   backend (pyvisaRoundTrip.py), synchronized-start spread, idle CPU time,
//   the I/O thread's CPU while four paced streams run, and what one query
//   to a device that never answers costs.
//
// How to rerun (a RelWithDebInfo build, not a sanitizer one):
//   cmake --build build-bench --target deviceBench
//   build-bench/bench/deviceBench 10 throughput     # 5 rounds of 2 s per way
//   build-bench/bench/deviceBench 10 streaming      # 3 rounds of 10 s per reader
// The same source builds against the library before kelvoReadSamples (its
// streaming section then measures the polling reader only), so that two
// builds can be run in turns on one machine.
//
// Usage: deviceBench [seconds, default 2] [section...]
//   seconds: per throughput way (in 5 rounds), per streaming round
//   sections: throughput roundtrip sync idle streaming silent (default: all)
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kelvo_lowlevel.h"
#include "ptyDevice.h"
#include "simulatedDevice.h"

// The library before the stream verbs has no kelvoReadSamples; a weak
// reference lets this program run on both (the function is then NULL).
extern "C" int kelvoReadSamples(int dev, void *destination, int capacitySamples, int timeoutMs,
                                int64_t *firstIndex) noexcept __attribute__((weak));

using namespace std::chrono;
using kelvo::sim::PtyDevice;

namespace {

constexpr size_t kPayload = 4096;
const std::string kBlock = kelvo::sim::definiteBlock(std::string(kPayload, 'p'));

void streamFlatOut(PtyDevice &device) {
    device.startStreaming([] { return kBlock; }, microseconds(0));
}

// Payload bytes per second a plain raw read() loop gets from `devices`.
double plainReadRate(int devices, double seconds) {
    std::vector<std::unique_ptr<PtyDevice>> sims;
    std::atomic<bool> stop{false};
    std::atomic<long long> bytes{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < devices; ++i) {
        sims.push_back(std::make_unique<PtyDevice>());
        const int fd = open(sims.back()->path().c_str(), O_RDWR | O_NOCTTY);
        termios raw{};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 0;  // a read waits at most 0.1 s, so the loop sees the stop
        raw.c_cc[VTIME] = 1;
        tcsetattr(fd, TCSANOW, &raw);
        streamFlatOut(*sims.back());
        readers.emplace_back([fd, &stop, &bytes] {
            std::vector<char> buffer(65536);
            while (!stop) {
                const ssize_t n = read(fd, buffer.data(), buffer.size());
                if (n > 0) bytes += n;
            }
            close(fd);
        });
    }
    std::this_thread::sleep_for(duration<double>(seconds));
    for (auto &sim : sims) sim->stopStreaming();
    stop = true;
    for (auto &r : readers) r.join();
    return static_cast<double>(bytes) * kPayload / kBlock.size() / seconds;
}

std::atomic<long long> callbackBytes{0};

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

clockid_t cpuClockOf(pthread_t thread) {
    clockid_t clock;
    pthread_getcpuclockid(thread, &clock);
    return clock;
}

// Payload bytes per second through the library; *ioMsPerMb gets the I/O
// thread's CPU time per MB delivered, what one byte costs the library.
double libraryRate(int devices, double seconds, bool viaCallback, double *ioMsPerMb) {
    std::vector<std::unique_ptr<PtyDevice>> sims;
    for (int dev = 0; dev < devices; ++dev) {
        sims.push_back(std::make_unique<PtyDevice>());
        sims.back()->onLine([](PtyDevice &d, const std::string &line) {
            if (line == "init") streamFlatOut(d);
        });
        if (kelvoOpen(dev, sims.back()->path().c_str()) != 0) std::abort();
        const kelvoDataCallback count = [](const unsigned char *, int n) { callbackBytes += n; };
        kelvoSetCallbackData(dev, viaCallback ? count : nullptr);
    }
    callbackBytes = 0;
    long long pulled = 0;
    std::vector<unsigned char> buffer(262144);
    for (int dev = 0; dev < devices; ++dev) kelvoSendCmdWhileStreaming(dev, "init");
    const clockid_t ioClock = cpuClockOf(threadId);
    const double ioStart = cpuSeconds(ioClock);
    const auto start = steady_clock::now();
    const auto end = start + duration<double>(seconds);
    while (steady_clock::now() < end) {
        bool any = false;
        for (int dev = 0; dev < devices; ++dev) {
            const int n = kelvoGetStreamingData(dev, buffer.data(), 1, static_cast<unsigned>(buffer.size()));
            if (n > 0) {
                pulled += n;
                any = true;
            }
        }
        if (!any) std::this_thread::sleep_for(microseconds(200));
    }
    const double rate = static_cast<double>(viaCallback ? callbackBytes.load() : pulled) / seconds;
    *ioMsPerMb = (cpuSeconds(ioClock) - ioStart) * 1e3 / (rate * seconds / 1e6);
    for (int dev = 0; dev < devices; ++dev) {
        sims[dev]->stopStreaming();
        kelvoSendCmdWhileStreaming(dev, "abort");
    }
    std::this_thread::sleep_for(milliseconds(100));
    for (int dev = 0; dev < devices; ++dev) {
        kelvoSetCallbackData(dev, nullptr);
        kelvoClose(dev);
    }
    return rate;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

struct Spread {
    double median = 0, p99 = 0;
};

template <class Call>
void timeCalls(int count, std::vector<double> &ms, Call call) {
    for (int i = 0; i < count; ++i) {
        const auto start = steady_clock::now();
        call();
        ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
    }
}

Spread spreadOf(const std::vector<double> &ms) { return {percentile(ms, 0.5), percentile(ms, 0.99)}; }

// The peer: PyVISA's pure-Python backend asks "*OPC?" `count` times on a
// simulated device of its own; its round trips (ms) are added to `ms`.
// False (with the reason printed) when it cannot run.
bool pyvisaRoundTrips(int count, std::vector<double> &ms) {
    PtyDevice device;
    device.onLine([](PtyDevice &d, const std::string &) { d.send("1\n"); });
    const std::string command =
        std::string("/usr/bin/python3 ") + KELVO_PYVISA_SCRIPT + " " + device.path() + " " + std::to_string(count);
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char line[64];
    std::vector<double> got;
    while (std::fgets(line, sizeof line, pipe) != nullptr) got.push_back(std::atof(line));
    const int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        std::printf("PyVISA round trip: skipped, pyvisa or pyvisa-py is missing\n");
        return false;
    }
    if (status != 0 || static_cast<int>(got.size()) != count) {
        std::printf("PyVISA round trip: failed (exit status %d)\n", status);
        return false;
    }
    ms.insert(ms.end(), got.begin(), got.end());
    return true;
}

// The machine's load drifts, so kelvoQuery and PyVISA take turns: five
// rounds of 400 queries each, compared by median and p99 over all rounds.
void roundTrip() {
    PtyDevice device;
    device.onLine([](PtyDevice &d, const std::string &) { d.send("1\n"); });
    kelvoOpen(0, device.path().c_str());
    int length = 0, binary = 0;
    std::vector<double> sendCmd, query, peer;
    timeCalls(200, sendCmd, [&] { kelvoSendCmd(0, "*OPC?", &length, &binary); });
    char answer[64];
    int wrong = 0;
    bool peerRuns = true;
    for (int round = 0; round < 5; ++round) {
        timeCalls(400, query, [&] {
            if (kelvoQuery(0, "*OPC?", answer, sizeof answer, 1000, &binary) != 1 || answer[0] != '1') ++wrong;
        });
        if (peerRuns) peerRuns = pyvisaRoundTrips(400, peer);
    }
    kelvoClose(0);
    const Spread s = spreadOf(sendCmd), q = spreadOf(query);
    std::printf("kelvoSendCmd round trip: median %.2f ms, p99 %.2f ms (floor: the 5 ms quiet time)\n", s.median, s.p99);
    std::printf("kelvoQuery round trip: median %.3f ms, p99 %.3f ms (2000 queries%s)\n", q.median, q.p99,
                wrong != 0 ? ", SOME ANSWERS WRONG" : "");
    if (peerRuns) {
        const Spread p = spreadOf(peer);
        std::printf(
            "PyVISA (pyvisa-py) round trip: median %.3f ms, p99 %.3f ms (2000 queries, in turns with "
            "kelvoQuery); kelvoQuery median / PyVISA median = %.2f\n",
            p.median, p.p99, q.median / p.median);
    }
}

void syncSpread() {
    std::vector<std::unique_ptr<PtyDevice>> sims;
    for (int dev = 0; dev < 4; ++dev) {
        sims.push_back(std::make_unique<PtyDevice>());
        sims.back()->onLine([](PtyDevice &d, const std::string &line) {
            if (line == "init") d.send(kelvo::sim::definiteBlock("x"));
        });
        kelvoOpen(dev, sims.back()->path().c_str());
    }
    std::vector<double> spreadUs;
    for (int round = 0; round < 100; ++round) {
        kelvoDisableTx();
        for (int dev = 0; dev < 4; ++dev) kelvoSendCmdWhileStreaming(dev, "init");
        kelvoEnableTx();
        int64_t first = INT64_MAX, last = INT64_MIN;
        std::this_thread::sleep_for(milliseconds(5));
        for (int dev = 0; dev < 4; ++dev) {
            int64_t stamps[4];
            kelvoGetTimeStampsFromSynchronizedGroup(dev, stamps);
            first = std::min(first, stamps[1]);
            last = std::max(last, stamps[1]);
        }
        spreadUs.push_back(static_cast<double>(last - first) / 10.0);
        for (int dev = 0; dev < 4; ++dev) kelvoSendCmdWhileStreaming(dev, "abort");
        std::this_thread::sleep_for(milliseconds(60));
    }
    for (int dev = 0; dev < 4; ++dev) kelvoClose(dev);
    std::printf("synchronized start, spread of stamp 1 over 4 devices: median %.1f us, max %.1f us (100 starts)\n",
                percentile(spreadUs, 0.5), percentile(spreadUs, 1.0));
}

double ioThreadCpuPerSecond(double seconds) {
    clockid_t clock;
    pthread_getcpuclockid(threadId, &clock);
    timespec a{}, b{};
    clock_gettime(clock, &a);
    std::this_thread::sleep_for(duration<double>(seconds));
    clock_gettime(clock, &b);
    return ((b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9) / seconds;
}

void idleCpu() {
    const double none = ioThreadCpuPerSecond(2);
    std::vector<std::unique_ptr<PtyDevice>> sims;
    for (int dev = 0; dev < 4; ++dev) {
        sims.push_back(std::make_unique<PtyDevice>());
        kelvoOpen(dev, sims.back()->path().c_str());
    }
    const double four = ioThreadCpuPerSecond(2);
    for (int dev = 0; dev < 4; ++dev) kelvoClose(dev);
    std::printf("I/O thread CPU time per wall second: %.3f s with no device open, %.3f s with four idle\n", none, four);
}

// What four paced streams cost: devices of the simulator, 16-byte samples
// (CONFigure:DEVice 3) at 62500 Hz in blocks of 625, 1 MB/s each, each read
// by a thread of its own as an application does. "wait" sleeps in
// kelvoReadSamples; "poll" calls kelvoGetStreamingData and sleeps 1 ms when
// it got nothing, as the CLI used to.
struct StreamingCost {
    double ioCore = 0, readersCore = 0, megabytesPerSecond = 0;
    unsigned long long dropped = 0;
};

constexpr int kPacedDevices = 4;

void readStream(int dev, bool waiting, const std::atomic<bool> &stop, std::atomic<long long> &bytes) {
    std::vector<unsigned char> buffer(262144);
    const int size = kelvoGetSampleSize(dev);
    const int capacity = static_cast<int>(buffer.size()) / size;
    while (!stop) {
        if (waiting) {
            int64_t first = 0;
            const int n = kelvoReadSamples(dev, buffer.data(), capacity, 500, &first);
            if (n > 0) bytes += static_cast<long long>(n) * size;
            continue;
        }
        const int n = kelvoGetStreamingData(dev, buffer.data(), size, static_cast<unsigned>(capacity * size));
        if (n > 0) {
            bytes += n;
        } else {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
}

StreamingCost pacedStreams(double seconds, bool waiting) {
    std::vector<std::unique_ptr<kelvo::sim::SimulatedDevice>> sims;
    char answer[64];
    int binary = 0;
    for (int dev = 0; dev < kPacedDevices; ++dev) {
        kelvo::sim::SimOptions options;
        options.sampleRate = 62500;
        options.samplesPerBlock = 625;
        sims.push_back(std::make_unique<kelvo::sim::SimulatedDevice>(options));
        if (kelvoOpen(dev, sims.back()->path().c_str()) != 0 ||
            kelvoQuery(dev, "CONFigure:DEVice 3", answer, sizeof answer, 2000, &binary) < 0)
            std::abort();
    }
    std::atomic<bool> stop{false};
    std::atomic<long long> bytes{0};
    std::vector<std::thread> readers;
    for (int dev = 0; dev < kPacedDevices; ++dev) kelvoSendCmdWhileStreaming(dev, "INIT");
    for (int dev = 0; dev < kPacedDevices; ++dev)
        readers.emplace_back(readStream, dev, waiting, std::cref(stop), std::ref(bytes));
    std::this_thread::sleep_for(milliseconds(500));  // past the start and the readers' first wake-ups
    std::vector<clockid_t> clocks{cpuClockOf(threadId)};
    for (auto &reader : readers) clocks.push_back(cpuClockOf(reader.native_handle()));
    std::vector<double> before;
    for (clockid_t clock : clocks) before.push_back(cpuSeconds(clock));
    const long long bytesBefore = bytes;
    std::this_thread::sleep_for(duration<double>(seconds));
    StreamingCost cost;
    cost.megabytesPerSecond = static_cast<double>(bytes - bytesBefore) / seconds / 1e6;
    cost.ioCore = (cpuSeconds(clocks[0]) - before[0]) / seconds;
    for (size_t i = 1; i < clocks.size(); ++i) cost.readersCore += (cpuSeconds(clocks[i]) - before[i]) / seconds;
    stop = true;
    for (auto &reader : readers) reader.join();
    for (int dev = 0; dev < kPacedDevices; ++dev) {
        kelvoStreamStats stats{};
        kelvoGetStreamStats(dev, &stats);
        cost.dropped += stats.samplesDropped;
        kelvoSendCmdWhileStreaming(dev, "ABORt");
    }
    std::this_thread::sleep_for(milliseconds(100));
    for (int dev = 0; dev < kPacedDevices; ++dev) kelvoClose(dev);
    return cost;
}

// Three rounds per reader, in turns, compared by their medians.
void streamingCpu(double seconds) {
    constexpr int kRounds = 3;
    std::vector<bool> ways{false};
    if (kelvoReadSamples != nullptr) ways.insert(ways.begin(), true);
    std::vector<std::vector<StreamingCost>> rounds(ways.size());
    for (int round = 0; round < kRounds; ++round)
        for (size_t way = 0; way < ways.size(); ++way) rounds[way].push_back(pacedStreams(seconds, ways[way]));
    for (size_t way = 0; way < ways.size(); ++way) {
        std::vector<double> io, readers, rate;
        unsigned long long dropped = 0;
        for (const StreamingCost &c : rounds[way]) {
            io.push_back(c.ioCore * 100);
            readers.push_back(c.readersCore * 100);
            rate.push_back(c.megabytesPerSecond);
            dropped += c.dropped;
        }
        std::printf(
            "streaming 4 x 1 MB/s, readers %s, medians of %d rounds of %.0f s: I/O thread %.2f %% of a core "
            "(rounds %.2f to %.2f), the 4 readers %.2f %%, %.2f MB/s in all, %llu samples dropped\n",
            ways[way] ? "waiting in kelvoReadSamples" : "polling kelvoGetStreamingData (1 ms sleeps)", kRounds, seconds,
            percentile(io, 0.5), percentile(io, 0), percentile(io, 1), percentile(readers, 0.5), percentile(rate, 0.5),
            dropped);
    }
}

double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A query nobody answers waits out the whole first-byte timeout; the process
// CPU time over that wait shows whether anything spins meanwhile (caller,
// I/O thread or the simulator's reader alike).
void silentDevice() {
    PtyDevice device;  // no line handler: it records and never answers
    if (kelvoOpen(0, device.path().c_str()) != 0) std::abort();
    std::this_thread::sleep_for(milliseconds(100));  // let the open settle first
    std::vector<double> cpuMs, wallMs;
    for (int i = 0; i < 5; ++i) {
        int length = 0, binary = 0;
        const double cpuStart = processCpuMs();
        const auto start = steady_clock::now();
        kelvoSendCmd(0, "X?", &length, &binary);
        wallMs.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
        cpuMs.push_back(processCpuMs() - cpuStart);
    }
    kelvoClose(0);
    std::printf(
        "silent device, one kelvoSendCmd(\"X?\"): median process CPU %.2f ms, median wall %.1f ms "
        "(5 calls)\n",
        percentile(cpuMs, 0.5), percentile(wallMs, 0.5));
}

// The machine's load drifts from second to second, so the three ways are
// measured in turns, five rounds of `seconds` / 5 each, and compared by
// their medians.
void throughput(double seconds) {
    constexpr int kRounds = 5;
    for (int devices : {1, 4}) {
        std::vector<double> plain, pulled, pushed, pulledIo, pushedIo;
        for (int round = 0; round < kRounds; ++round) {
            double io = 0;
            plain.push_back(plainReadRate(devices, seconds / kRounds));
            pulled.push_back(libraryRate(devices, seconds / kRounds, false, &io));
            pulledIo.push_back(io);
            pushed.push_back(libraryRate(devices, seconds / kRounds, true, &io));
            pushedIo.push_back(io);
        }
        const double p = percentile(plain, 0.5), l = percentile(pulled, 0.5), c = percentile(pushed, 0.5);
        std::printf(
            "%d device(s), medians of %d rounds: plain read() %.1f MB/s; kelvoGetStreamingData %.1f MB/s "
            "(ratio %.2f, I/O thread %.2f ms CPU per MB); callback %.1f MB/s (ratio %.2f, I/O thread %.2f ms "
            "per MB)\n",
            devices, kRounds, p / 1e6, l / 1e6, l / p, percentile(pulledIo, 0.5), c / 1e6, c / p,
            percentile(pushedIo, 0.5));
    }
}

struct Section {
    const char *name;
    void (*run)(double seconds);
};

const Section kSections[] = {
    {"throughput", throughput},
    {"roundtrip", [](double) { roundTrip(); }},
    {"sync", [](double) { syncSpread(); }},
    {"idle", [](double) { idleCpu(); }},
    {"streaming", streamingCpu},
    {"silent", [](double) { silentDevice(); }},
};

bool named(const Section &section, int argc, char **argv) {
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], section.name) == 0) return true;
    return false;
}

// Section names after the seconds pick what runs, so one figure can be rerun alone.
bool knownSections(int argc, char **argv) {
    for (int i = 2; i < argc; ++i) {
        const auto matches = [&](const Section &s) { return std::strcmp(argv[i], s.name) == 0; };
        if (std::none_of(std::begin(kSections), std::end(kSections), matches)) {
            std::fprintf(stderr,
                         "deviceBench: unknown section '%s' (throughput roundtrip sync idle streaming silent)\n",
                         argv[i]);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (seconds <= 0 || !knownSections(argc, argv)) {
        std::fprintf(stderr, "usage: deviceBench [seconds] [section...]\n");
        return 2;
    }
    for (const Section &section : kSections)
        if (argc <= 2 || named(section, argc, argv)) section.run(seconds);
    return 0;
}
