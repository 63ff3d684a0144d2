/* SPDX-License-Identifier: MIT */
/* List the devices, open one, configure three 24-bit channels, stream for a
 * few seconds through kelvoReadSamples, stop, and tell the rate the
 * library's sample clock fitted to the stream.
 *
 *   make && ./stream [DEVICE [SECONDS]]
 *
 * DEVICE is a tty path or a line of the device list; without it the first
 * listed device is used. */
#include <kelvo.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    const char *list = kelvoListDevices();
    printf("devices:\n%s", *list ? list : "  (none)\n");

    char device[512] = "";
    if (argc > 1) {
        snprintf(device, sizeof device, "%s", argv[1]);
    } else if (*list) {
        snprintf(device, sizeof device, "%.*s", (int)strcspn(list, "\n"), list);
    } else {
        fprintf(stderr, "no device given or found\n");
        return 1;
    }
    const double seconds = argc > 2 ? atof(argv[2]) : 3.0;

    if (kelvoOpen(0, device) != 0) {
        fprintf(stderr, "cannot open %s\n", device);
        return 1;
    }
    int length = 0, binary = 0;
    /* Three 24-bit channels: a 32-bit counter and three int32 per sample. */
    if (kelvoSendCmd(0, "CONFigure:DEVice 3", &length, &binary) == NULL) {
        fprintf(stderr, "%s\n", kelvoGetLastError(0));
        kelvoClose(0);
        return 1;
    }
    const int sampleSize = kelvoGetSampleSize(0);
    printf("sample size: %d bytes\n", sampleSize);

    static unsigned char buffer[65536];
    const int capacity = (int)sizeof buffer / sampleSize;
    long samples = 0;
    int32_t first[4] = {0};
    kelvoSendCmdWhileStreaming(0, "INIT");
    const double start = now();
    while (now() - start < seconds) {
        /* Sleeps until samples are queued; a busy machine can hold them up
         * for a while, so give up only after two seconds of silence. */
        const int got = kelvoReadSamples(0, buffer, capacity, 2000, NULL);
        if (got < 0) {
            fprintf(stderr, "%s\n", kelvoGetLastError(0));
            break;
        }
        if (samples == 0) memcpy(first, buffer, sizeof first);
        samples += got;
    }
    /* Returns once the device has fallen silent. */
    if (kelvoStopStream(0, 2000) != KELVO_OK) fprintf(stderr, "%s\n", kelvoGetLastError(0));
    kelvoSampleClock clock;
    const int timed = kelvoGetSampleClock(0, &clock) == KELVO_OK;
    kelvoClose(0);

    printf("%ld samples in %.1f s\n", samples, seconds);
    printf("first sample: counter %u, values %d %d %d\n", (unsigned)first[0], first[1], first[2], first[3]);
    if (timed) printf("sample clock: %.3f samples/s, jitter %.1f us\n", clock.rateHz, clock.jitterUs);
    return samples > 0 ? 0 : 1;
}
