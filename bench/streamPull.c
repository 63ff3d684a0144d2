// SPDX-License-Identifier: MIT
// The C side of pythonRead.py: reads one device's stream for SECONDS as a C
// application would, and prints one line of figures.
//
// How to rerun (pythonRead.py runs it for you; alone, against kelvo-sim):
//   build-bench/sim/kelvo-sim --rate 62500 --block 625 &   # prints the tty
//   build-bench/bench/streamPull /dev/pts/N 10 'CONFigure:DEVice 3' wait decode
//
//   streamPull DEVICE SECONDS LAYOUT-COMMAND [MODE [decode]]
// MODE is how the reading thread waits for data:
//   wait  kelvoReadSamples, sleeping in the library until whole samples are
//         queued (at most 500 ms), then taking what is queued: the loop an
//         application writes now.
//   poll  kelvoGetStreamingData, and a 1 ms nanosleep whenever it got
//         nothing: the loop the CLI used to run, and this program's loop
//         before kelvoReadSamples (so the default).
// With "decode" each batch is also converted to float32 values
// (kelvoDecodeSamples), as Python's read() does.
//
// Printed, space-separated: payload bytes, wall seconds, process CPU
// seconds, samples dropped by a full queue, reading thread CPU seconds, the
// library's I/O thread CPU seconds, the reading thread's library calls and
// how often it went to sleep (its voluntary context switches).
#define _GNU_SOURCE  // RUSAGE_THREAD
#include <kelvo_lowlevel.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

enum { kBufferBytes = 262144 };

static double seconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static long sleepsSoFar(void) {
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// The samples one call took (0 for none), or -1 on a failure of the stream.
static int readWaiting(unsigned char *buffer, int capacitySamples) {
    int64_t firstIndex = 0;
    const int got = kelvoReadSamples(0, buffer, capacitySamples, 500, &firstIndex);
    if (got == KELVO_TIMEOUT) return 0;
    return got < 0 ? -1 : got;
}

static int readPolling(unsigned char *buffer, int size, int capacitySamples) {
    static const struct timespec pause = {0, 1000000};
    const int got = kelvoGetStreamingData(0, buffer, size, (unsigned)(capacitySamples * size));
    if (got == 0 || got == KELVO_STREAM_TIMEOUT) {
        nanosleep(&pause, NULL);
        return 0;
    }
    return got < 0 ? -1 : got / size;
}

int main(int argc, char **argv) {
    static unsigned char buffer[kBufferBytes];
    static float values[kBufferBytes / 4];  // checked below: at most one value per 4 bytes of a sample
    char answer[256];
    int binary = 0;
    if (argc < 4 || argc > 6) {
        fprintf(stderr, "usage: streamPull DEVICE SECONDS LAYOUT-COMMAND [wait|poll [decode]]\n");
        return 2;
    }
    const double runSeconds = atof(argv[2]);
    const int waiting = argc > 4 && strcmp(argv[4], "wait") == 0;
    const int decoding = argc > 5 && strcmp(argv[5], "decode") == 0;
    if ((argc > 4 && !waiting && strcmp(argv[4], "poll") != 0) || (argc > 5 && !decoding)) {
        fprintf(stderr, "streamPull: the mode is wait or poll, optionally followed by decode\n");
        return 2;
    }
    if (kelvoOpen(0, argv[1]) != 0) {
        fprintf(stderr, "streamPull: cannot open %s\n", argv[1]);
        return 1;
    }
    if (kelvoQuery(0, argv[3], answer, sizeof answer, 2000, &binary) < 0) {
        fprintf(stderr, "streamPull: %s\n", kelvoGetLastError(0));
        return 1;
    }
    const int size = kelvoGetSampleSize(0);
    if (size < 4 || (decoding && kelvoGetChannelCount(0) > size / 4)) {
        fprintf(stderr, "streamPull: the layout's %d-byte samples do not suit this program\n", size);
        return 1;
    }
    const int capacitySamples = kBufferBytes / size;
    clockid_t ioClock;
    pthread_getcpuclockid(threadId, &ioClock);
    long long bytes = 0, calls = 0;
    const double wallStart = seconds(CLOCK_MONOTONIC);
    const double cpuStart = seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double threadStart = seconds(CLOCK_THREAD_CPUTIME_ID);
    const double ioStart = seconds(ioClock);
    const long sleepsStart = sleepsSoFar();
    kelvoSendCmdWhileStreaming(0, "INIT");
    while (seconds(CLOCK_MONOTONIC) - wallStart < runSeconds) {
        const int got = waiting ? readWaiting(buffer, capacitySamples) : readPolling(buffer, size, capacitySamples);
        ++calls;
        if (got < 0) {
            fprintf(stderr, "streamPull: %s\n", kelvoGetLastError(0));
            return 1;
        }
        if (got > 0 && decoding) kelvoDecodeSamples(0, buffer, got, values);
        bytes += (long long)got * size;
    }
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    const double threadCpu = seconds(CLOCK_THREAD_CPUTIME_ID) - threadStart;
    const double ioCpu = seconds(ioClock) - ioStart;
    const long sleeps = sleepsSoFar() - sleepsStart;
    const double wall = seconds(CLOCK_MONOTONIC) - wallStart;
    kelvoStreamStats stats;
    kelvoGetStreamStats(0, &stats);
    kelvoSendCmdWhileStreaming(0, "ABORt");
    kelvoClose(0);
    printf("%lld %.6f %.6f %llu %.6f %.6f %lld %ld\n", bytes, wall, cpu, (unsigned long long)stats.samplesDropped,
           threadCpu, ioCpu, calls, sleeps);
    return 0;
}
