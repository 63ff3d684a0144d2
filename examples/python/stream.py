#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Stream samples from a device into a numpy array through ctypes.

    python3 stream.py DEVICE [SECONDS]

The library is found as libkelvo.so.1 on the loader's path, or wherever the
KELVO_LIBRARY environment variable points.
"""
import ctypes
import os
import sys
import time

import numpy as np

kelvo = ctypes.CDLL(os.environ.get("KELVO_LIBRARY", "libkelvo.so.1"))
kelvo.kelvoOpen.argtypes = [ctypes.c_int, ctypes.c_char_p]
kelvo.kelvoClose.argtypes = [ctypes.c_int]
kelvo.kelvoSendCmd.argtypes = [ctypes.c_int, ctypes.c_char_p,
                               ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
kelvo.kelvoSendCmd.restype = ctypes.c_void_p
kelvo.kelvoSendCmdWhileStreaming.argtypes = [ctypes.c_int, ctypes.c_char_p]
kelvo.kelvoGetStreamingData.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_uint]
kelvo.kelvoGetSampleSize.argtypes = [ctypes.c_int]
kelvo.kelvoGetLastError.argtypes = [ctypes.c_int]
kelvo.kelvoGetLastError.restype = ctypes.c_char_p


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: stream.py DEVICE [SECONDS]")
    device = sys.argv[1].encode()
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 3.0
    if kelvo.kelvoOpen(0, device) != 0:
        sys.exit("cannot open %s" % sys.argv[1])
    try:
        length, binary = ctypes.c_int(), ctypes.c_int()
        # Three 24-bit channels: a 32-bit counter and three int32 per sample.
        if not kelvo.kelvoSendCmd(0, b"CONFigure:DEVice 3", ctypes.byref(length), ctypes.byref(binary)):
            sys.exit(kelvo.kelvoGetLastError(0).decode())
        size = kelvo.kelvoGetSampleSize(0)
        sample = np.dtype([("counter", "<u4"), ("values", "<i4", ((size - 4) // 4,))])

        # Room for the whole run; kelvoGetStreamingData writes straight into it.
        data = np.zeros(int(seconds * 200000) + 1024, dtype=sample)
        filled = 0
        kelvo.kelvoSendCmdWhileStreaming(0, b"INIT")
        end = time.monotonic() + seconds
        last_data = time.monotonic()
        while time.monotonic() < end and filled < len(data):
            room = (len(data) - filled) * size
            got = kelvo.kelvoGetStreamingData(0, data[filled:].ctypes.data, size, room)
            # -2 says no data came for 200 ms; a busy machine can cause that,
            # so give up only after a longer silence.
            if got == -1 or (got == -2 and time.monotonic() - last_data > 2.0):
                sys.exit(kelvo.kelvoGetLastError(0).decode())
            if got > 0:
                filled += got // size
                last_data = time.monotonic()
            else:
                time.sleep(0.001)
        kelvo.kelvoSendCmdWhileStreaming(0, b"ABORt")
    finally:
        kelvo.kelvoClose(0)

    data = data[:filled]
    print("%d samples of %d bytes" % (filled, size))
    if filled:
        gaps = np.count_nonzero(np.diff(data["counter"].astype(np.int64)) != 1)
        print("counter %d to %d, %d gaps" % (data["counter"][0], data["counter"][-1], gaps))
        for channel in range(data["values"].shape[1]):
            column = data["values"][:, channel] >> 8  # 24-bit values in the top bits
            print("channel %d: min %d max %d mean %.0f" % (channel + 1, column.min(), column.max(), column.mean()))
    return 0 if filled else 1


if __name__ == "__main__":
    sys.exit(main())
