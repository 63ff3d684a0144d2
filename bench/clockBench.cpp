// SPDX-License-Identifier: MIT
// The sample clock's time error against the simulator's truth.
//
// Four simulated devices stream at 5 kHz with clocks +150, -80, 0 and +300
// ppm off, started together; a reader per device takes samples with
// kelvoReadSamples and the times kelvoGetSampleTimes gives them at once, as
// an application sees them. Each sample's true measuring time comes from the
// simulator's truth log. Three ways of timing a sample are compared on the
// same run, after its first 2 s:
//   fitted   the library's sample clock;
//   arrival  each sample gets its chunk's arrival (the read's return);
//   nominal  the start stamp (command sent) + index / nominal rate.
// For each: the median offset (estimate - truth) and the p99 of
// |estimate - truth - median offset|. Targets for "fitted": p99 <= 50 us,
// |median| <= 100 us; exit status 1 when one is missed.
//
//   build/bench/clockBench [--seconds 60] [--load] [--late-ms 5] [--late-share 0.25] [--p99-us 50]
//
// --load runs two busy loops beside it for the whole run; --late-ms makes
// the devices write a random share (--late-share) of their blocks late by
// up to that many ms.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kelvo.h"
#include "simulatedDevice.h"

using namespace kelvo;

namespace {

constexpr int kDevices = 4;
constexpr double kRateHz = 5000;
constexpr unsigned kSamplesPerBlock = 100;
constexpr double kPpm[kDevices] = {150, -80, 0, 300};
constexpr int kSampleBytes = 12;  // "CONF:DEV 2": counter and two channels

struct Settings {
    double seconds = 60;
    bool load = false;
    double lateMs = 0;
    double lateShare = 0.25;
    double p99TargetUs = 50;
};

Settings parse(int argc, char **argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            s.seconds = std::atof(argv[++i]);
        } else if (arg == "--load") {
            s.load = true;
        } else if (arg == "--late-ms" && hasValue) {
            s.lateMs = std::atof(argv[++i]);
        } else if (arg == "--late-share" && hasValue) {
            s.lateShare = std::atof(argv[++i]);
        } else if (arg == "--p99-us" && hasValue) {
            s.p99TargetUs = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: clockBench [--seconds S] [--load] [--late-ms MS] [--late-share F] [--p99-us US]\n");
            std::exit(2);
        }
    }
    return s;
}

// What a reader saw of each sample it took.
struct Seen {
    std::vector<int64_t> index, fitted, arrival;
};

void readUntil(int dev, const volatile bool &done, Seen &seen) {
    std::vector<uint8_t> buffer(static_cast<size_t>(kSampleBytes) * 4096);
    std::vector<int64_t> times(4096);
    while (!done) {
        int64_t first = 0;
        const int n = kelvoReadSamples(dev, buffer.data(), 4096, 200, &first);
        if (n <= 0) continue;
        const int64_t arrived = kelvoGetTicks();
        if (kelvoGetSampleTimes(dev, first, n, times.data()) != n) continue;
        for (int k = 0; k < n; ++k) {
            seen.index.push_back(first + k);
            seen.fitted.push_back(times[static_cast<size_t>(k)]);
            seen.arrival.push_back(arrived);
        }
    }
}

struct Errors {
    std::vector<double> fitted, arrival, nominal;  // estimate - truth, us
};

struct Summary {
    double median;
    double p99;
};

Summary summarize(std::vector<double> errors) {
    if (errors.empty()) return {NAN, NAN};
    std::sort(errors.begin(), errors.end());
    const double median = errors[errors.size() / 2];
    for (double &e : errors) e = std::fabs(e - median);
    std::sort(errors.begin(), errors.end());
    return {median, errors[errors.size() * 99 / 100]};
}

// The truth of sample i: its block's logged tick plus the true period.
void compare(const sim::SimulatedDevice &device, double ppm, int64_t startSent, const Seen &seen, Errors &out) {
    const std::vector<sim::TruthPoint> truth = device.truth();
    const double period = 1e7 / (kRateHz * (1 + ppm * 1e-6));
    const double nominalPeriod = 1e7 / kRateHz;
    for (size_t k = 0; k < seen.index.size(); ++k) {
        const int64_t i = seen.index[k];
        const auto block = static_cast<size_t>(i / kSamplesPerBlock);
        if (i < 2 * kRateHz || block >= truth.size()) continue;
        const double measured = static_cast<double>(truth[block].ticks) +
                                static_cast<double>(i - static_cast<int64_t>(truth[block].index)) * period;
        out.fitted.push_back((static_cast<double>(seen.fitted[k]) - measured) / 10);
        out.arrival.push_back((static_cast<double>(seen.arrival[k]) - measured) / 10);
        out.nominal.push_back((static_cast<double>(startSent) + static_cast<double>(i) * nominalPeriod - measured) /
                              10);
    }
}

std::vector<pid_t> startBusyLoops(int count) {
    std::vector<pid_t> loops;
    for (int k = 0; k < count; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (volatile uint64_t spin = 0;; ++spin) {
            }
        }
        if (pid > 0) loops.push_back(pid);
    }
    return loops;
}

void stopBusyLoops(const std::vector<pid_t> &loops) {
    for (const pid_t pid : loops) kill(pid, SIGKILL);
    for (const pid_t pid : loops) waitpid(pid, nullptr, 0);
}

void printRow(const char *what, const Errors &e) {
    const Summary f = summarize(e.fitted), a = summarize(e.arrival), n = summarize(e.nominal);
    std::printf("%-8s  %10.1f %10.1f   %10.1f %10.1f   %12.1f %12.1f\n", what, f.median, f.p99, a.median, a.p99,
                n.median, n.p99);
}

}  // namespace

int main(int argc, char **argv) {
    const Settings settings = parse(argc, argv);
    std::vector<std::unique_ptr<sim::SimulatedDevice>> devices;
    for (int dev = 0; dev < kDevices; ++dev) {
        sim::SimOptions options;
        options.sampleRate = kRateHz;
        options.samplesPerBlock = kSamplesPerBlock;
        options.clockPpm = kPpm[dev];
        options.lateMaxMs = settings.lateMs;
        options.lateShare = settings.lateShare;
        options.serial = "SIM000" + std::to_string(dev + 1);
        devices.push_back(std::make_unique<sim::SimulatedDevice>(options));
        int binary = 0;
        char none[1];
        if (kelvoOpen(dev, devices.back()->path().c_str()) != 0 ||
            kelvoQuery(dev, "CONF:DEV 2", none, sizeof none, 1000, &binary) != 0) {
            std::fprintf(stderr, "clockBench: device %d: %s\n", dev, kelvoGetLastError(dev));
            return 1;
        }
    }
    const std::vector<pid_t> loops = startBusyLoops(settings.load ? 2 : 0);
    const int slots[kDevices] = {0, 1, 2, 3};
    if (kelvoStartTogether(slots, kDevices, "INIT", 2000) != KELVO_OK) {
        std::fprintf(stderr, "clockBench: %s\n", kelvoGetLastError(0));
        stopBusyLoops(loops);
        return 1;
    }
    volatile bool done = false;
    Seen seen[kDevices];
    std::vector<std::thread> readers;
    for (int dev = 0; dev < kDevices; ++dev) readers.emplace_back(readUntil, dev, std::cref(done), std::ref(seen[dev]));
    std::this_thread::sleep_for(std::chrono::duration<double>(settings.seconds));
    for (int dev = 0; dev < kDevices; ++dev) kelvoStopStream(dev, 2000);
    done = true;
    for (std::thread &reader : readers) reader.join();
    stopBusyLoops(loops);

    char lateness[96] = "blocks on time";
    if (settings.lateMs > 0) {
        std::snprintf(lateness, sizeof lateness, "a share %g of the blocks late by up to %g ms", settings.lateShare,
                      settings.lateMs);
    }
    std::printf("clockBench: %d devices at %.0f Hz, %.0f s%s, %s\n", kDevices, kRateHz, settings.seconds,
                settings.load ? ", machine loaded (two busy loops)" : "", lateness);
    std::printf("error against the truth after the first 2 s, in us (estimate - truth)\n");
    std::printf("%-8s  %10s %10s   %10s %10s   %12s %12s\n", "device", "fitted med", "fitted p99", "arrival med",
                "arr. p99", "nominal med", "nominal p99");
    Errors all;
    for (int dev = 0; dev < kDevices; ++dev) {
        int64_t stamps[4] = {};
        kelvoGetTimeStampsFromSynchronizedGroup(dev, stamps);
        Errors one;
        compare(*devices[static_cast<size_t>(dev)], kPpm[dev], stamps[1], seen[dev], one);
        char name[32];
        std::snprintf(name, sizeof name, "%+.0fppm", kPpm[dev]);
        printRow(name, one);
        all.fitted.insert(all.fitted.end(), one.fitted.begin(), one.fitted.end());
        all.arrival.insert(all.arrival.end(), one.arrival.begin(), one.arrival.end());
        all.nominal.insert(all.nominal.end(), one.nominal.begin(), one.nominal.end());
        kelvoSampleClock clock{};
        if (kelvoGetSampleClock(dev, &clock) == KELVO_OK) {
            std::printf("          fitted rate %.4f Hz (true %.4f), jitter %.1f us, %lld samples\n", clock.rateHz,
                        kRateHz * (1 + kPpm[dev] * 1e-6), clock.jitterUs, static_cast<long long>(clock.samplesFitted));
        }
        kelvoClose(dev);
    }
    printRow("all", all);
    const Summary fitted = summarize(all.fitted);
    const bool met = fitted.p99 <= settings.p99TargetUs && std::fabs(fitted.median) <= 100;
    std::printf("targets: fitted p99 <= %g us (%.1f), |median| <= 100 us (%.1f): %s\n", settings.p99TargetUs,
                fitted.p99, fitted.median, met ? "met" : "MISSED");
    return met ? 0 : 1;
}
