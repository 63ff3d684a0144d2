/* SPDX-License-Identifier: MIT */
/* Record one to four devices into an HDF5 file through the capture library:
 * configured with two 24-bit channels each, started together, 2000 samples
 * from every device, with a marker after the start.
 *
 *   make && ./record FILE.h5 DEVICE...
 *
 * DEVICE is a tty path, a serial number or a line of the device list. */
#include <kelvo_capture.h>
#include <stdio.h>

static int fail(kelvoCapture *capture) {
    fprintf(stderr, "record: %s\n", kelvoCaptureGetError(capture));
    kelvoCaptureDestroy(capture);
    return 1;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: record FILE.h5 DEVICE...\n");
        return 2;
    }
    kelvoCapture *capture = kelvoCaptureCreate();
    for (int i = 2; i < argc; ++i) {
        if (kelvoCaptureAddDevice(capture, argv[i]) != KELVO_OK) return fail(capture);
    }
    if (kelvoCaptureAddConfig(capture, "CONFigure:DEVice 2") != KELVO_OK ||
        kelvoCaptureSetHdf5(capture, argv[1], 0) != KELVO_OK || kelvoCaptureSetSampleLimit(capture, 2000) != KELVO_OK ||
        kelvoCaptureOpen(capture) != KELVO_OK || kelvoCaptureStart(capture) != KELVO_OK) {
        return fail(capture);
    }
    kelvoCaptureMark(capture, "started", 0);
    if (kelvoCaptureWait(capture, 30000) != KELVO_OK) fprintf(stderr, "record: 30 s passed; stopping\n");
    if (kelvoCaptureStop(capture) != KELVO_OK) return fail(capture);
    for (int d = 0; d < kelvoCaptureGetDeviceCount(capture); ++d) {
        kelvoCaptureStats stats;
        kelvoCaptureGetStats(capture, d, &stats);
        printf("%s: %llu samples, %llu dropped, %llu markers\n", kelvoCaptureGetSerial(capture, d),
               (unsigned long long)stats.received, (unsigned long long)stats.dropped,
               (unsigned long long)stats.markers);
    }
    kelvoCaptureDestroy(capture);
    return 0;
}
