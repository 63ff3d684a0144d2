// SPDX-License-Identifier: MIT
// Start two to four devices at one moment and take their samples through
// callbacks; print the start stamps, what each device delivered and the
// rate the library's sample clock fitted to it.
//
//   ./sync DEVICE DEVICE [...]
#include <kelvo.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// What one device delivered; its callback gets it as `user`.
struct Delivered {
    std::atomic<long> samples{0};
    std::atomic<int64_t> nextIndex{0};
    std::atomic<long> gaps{0};
};

// Runs on the library's I/O thread with whole, consecutive samples; it must
// return quickly.
void collect(void *user, const void *, int count, int64_t firstIndex, int64_t) {
    auto &delivered = *static_cast<Delivered *>(user);
    if (firstIndex != delivered.nextIndex) ++delivered.gaps;
    delivered.nextIndex = firstIndex + count;
    delivered.samples += count;
}

}  // namespace

int main(int argc, char **argv) {
    const int devices = argc - 1;
    if (devices < 1 || devices > 4) {
        std::fprintf(stderr, "usage: sync DEVICE... (1 to 4)\n");
        return 2;
    }
    static Delivered delivered[4];
    int slots[4];
    for (int dev = 0; dev < devices; ++dev) {
        if (kelvoOpen(dev, argv[dev + 1]) != 0) {
            std::fprintf(stderr, "cannot open %s\n", argv[dev + 1]);
            return 1;
        }
        // One answer per query, straight into our buffer. A setting has no
        // answer; the device's error queue tells whether it took it.
        char answer[256];
        int binary = 0;
        if (kelvoQuery(dev, "*IDN?", answer, sizeof answer, 1000, &binary) < 0) {
            std::fprintf(stderr, "%s\n", kelvoGetLastError(dev));
            return 1;
        }
        std::printf("%s: %s\n", argv[dev + 1], answer);
        if (kelvoQuery(dev, "CONFigure:DEVice 2", answer, sizeof answer, 1000, &binary) < 0) {
            std::fprintf(stderr, "%s\n", kelvoGetLastError(dev));
            return 1;
        }
        const int errors = kelvoCheckDeviceErrors(dev, answer, sizeof answer);
        if (errors < 0) {
            std::fprintf(stderr, "%s\n", kelvoGetLastError(dev));
            return 1;
        }
        if (errors == 1) {
            std::fprintf(stderr, "%s refused the layout: %s\n", argv[dev + 1], answer);
            return 1;
        }
        kelvoSetSampleCallback(dev, collect, &delivered[dev]);
        slots[dev] = dev;
    }

    // Holds transmission, queues every start command, releases them
    // together and returns once every device has sent its first samples.
    if (kelvoStartTogether(slots, devices, "INIT", 2000) != KELVO_OK) {
        std::fprintf(stderr, "%s\n", kelvoGetLastError(0));
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (int dev = 0; dev < devices; ++dev) kelvoStopStream(dev, 2000);

    int64_t spread = 0;
    if (kelvoGetStartSpread(slots, devices, &spread) == KELVO_OK) {
        std::printf("spread of the start commands: %.1f us\n", static_cast<double>(spread) / 10.0);
    }
    int status = 0;
    for (int dev = 0; dev < devices; ++dev) {
        int64_t stamps[4];
        kelvoGetTimeStampsFromSynchronizedGroup(dev, stamps);
        const long samples = delivered[dev].samples;
        std::printf("device %d: sent %.1f us, first payload %.1f us after the release; %ld samples\n", dev,
                    static_cast<double>(stamps[1] - stamps[0]) / 10.0,
                    static_cast<double>(stamps[3] - stamps[0]) / 10.0, samples);
        kelvoSampleClock clock;
        if (kelvoGetSampleClock(dev, &clock) == KELVO_OK) {
            std::printf("device %d: sample clock %.3f samples/s, jitter %.1f us, %ld gaps in the index\n", dev,
                        clock.rateHz, clock.jitterUs, delivered[dev].gaps.load());
        }
        if (samples == 0) status = 1;
        kelvoSetSampleCallback(dev, nullptr, nullptr);
        kelvoClose(dev);
    }
    return status;
}
