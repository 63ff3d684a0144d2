// SPDX-License-Identifier: MIT
// The C side of pythonRead.py: pulls one device's stream with
// kelvoGetStreamingData for SECONDS, as a C application would, and prints
// the bytes it got, the wall time, the CPU time of the whole process and of
// the pulling thread alone, and the samples the library dropped for want of
// room in its queue.
//   streamPull DEVICE SECONDS LAYOUT-COMMAND
#include <kelvo.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    static unsigned char buffer[262144];
    char answer[256];
    int binary = 0;
    if (argc != 4) {
        fprintf(stderr, "usage: streamPull DEVICE SECONDS LAYOUT-COMMAND\n");
        return 2;
    }
    const double seconds = atof(argv[2]);
    if (kelvoOpen(0, argv[1]) != 0) {
        fprintf(stderr, "streamPull: cannot open %s\n", argv[1]);
        return 1;
    }
    if (kelvoQuery(0, argv[3], answer, sizeof answer, 2000, &binary) < 0) {
        fprintf(stderr, "streamPull: %s\n", kelvoGetLastError(0));
        return 1;
    }
    const int size = kelvoGetSampleSize(0);
    const unsigned capacity = sizeof buffer / (unsigned)size * (unsigned)size;
    long long bytes = 0;
    const struct timespec pause = {0, 1000000};
    const double wallStart = now(CLOCK_MONOTONIC);
    const double cpuStart = now(CLOCK_PROCESS_CPUTIME_ID);
    const double threadStart = now(CLOCK_THREAD_CPUTIME_ID);
    kelvoSendCmdWhileStreaming(0, "INIT");
    while (now(CLOCK_MONOTONIC) - wallStart < seconds) {
        const int got = kelvoGetStreamingData(0, buffer, size, capacity);
        if (got == -1) {
            fprintf(stderr, "streamPull: %s\n", kelvoGetLastError(0));
            return 1;
        }
        if (got > 0) {
            bytes += got;
        } else {
            nanosleep(&pause, NULL);
        }
    }
    const double cpu = now(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    const double threadCpu = now(CLOCK_THREAD_CPUTIME_ID) - threadStart;
    const double wall = now(CLOCK_MONOTONIC) - wallStart;
    kelvoStreamStats stats;
    kelvoGetStreamStats(0, &stats);
    kelvoSendCmdWhileStreaming(0, "ABORt");
    kelvoClose(0);
    printf("%lld %.6f %.6f %llu %.6f\n", bytes, wall, cpu, (unsigned long long)stats.samplesDropped, threadCpu);
    return 0;
}
