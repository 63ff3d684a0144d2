// SPDX-License-Identifier: MIT
// Start two to four devices at one moment and take their samples through
// callbacks; print the start stamps and what each device delivered.
//
//   ./sync DEVICE DEVICE [...]
#include <kelvo.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

std::atomic<long> bytesOf[4];

// The callback gets no slot number, so each slot has its own; they run on
// the library's I/O thread and must return quickly.
template <int Slot>
void collect(const unsigned char *, int count) {
    bytesOf[Slot] += count;
}

const kelvoDataCallback callbacks[4] = {collect<0>, collect<1>, collect<2>, collect<3>};

}  // namespace

int main(int argc, char **argv) {
    const int devices = argc - 1;
    if (devices < 1 || devices > 4) {
        std::fprintf(stderr, "usage: sync DEVICE... (1 to 4)\n");
        return 2;
    }
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
        if (kelvoQuery(dev, "CONFigure:DEVice 2", answer, sizeof answer, 1000, &binary) < 0 ||
            kelvoQuery(dev, "SYSTem:ERRor?", answer, sizeof answer, 1000, &binary) < 0) {
            std::fprintf(stderr, "%s\n", kelvoGetLastError(dev));
            return 1;
        }
        if (answer[0] != '0' && std::strncmp(answer, "+0", 2) != 0) {
            std::fprintf(stderr, "%s refused the layout: %s\n", argv[dev + 1], answer);
            return 1;
        }
        kelvoSetCallbackData(dev, callbacks[dev]);
    }

    // Hold transmission, queue every start command, release them together.
    kelvoDisableTx();
    for (int dev = 0; dev < devices; ++dev) kelvoSendCmdWhileStreaming(dev, "INIT");
    kelvoEnableTx();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (int dev = 0; dev < devices; ++dev) kelvoSendCmdWhileStreaming(dev, "ABORt");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    int status = 0;
    for (int dev = 0; dev < devices; ++dev) {
        int64_t stamps[4];
        kelvoGetTimeStampsFromSynchronizedGroup(dev, stamps);
        const long samples = bytesOf[dev] / kelvoGetSampleSize(dev);
        std::printf("device %d: sent %.1f us, first payload %.1f us after the release; %ld samples\n", dev,
                    (stamps[1] - stamps[0]) / 10.0, (stamps[3] - stamps[0]) / 10.0, samples);
        if (samples == 0) status = 1;
        kelvoSetCallbackData(dev, nullptr);
        kelvoClose(dev);
    }
    return status;
}
