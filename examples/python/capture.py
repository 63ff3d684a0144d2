# SPDX-License-Identifier: MIT
"""Record devices into an HDF5 file with kelvo.Capture while reading them here.

    python3 capture.py FILE.h5 DEVICE... [SECONDS]

DEVICE is a tty path, a serial number or a line of the device list.
"""
import sys

import numpy as np

import kelvo


def main() -> None:
    path, devices = sys.argv[1], sys.argv[2:]
    seconds = 1.0
    if len(devices) > 1 and devices[-1].replace(".", "", 1).isdigit():
        seconds = float(devices.pop())
    with kelvo.Capture(devices, config=["CONFigure:DEVice 2"], hdf5=path, read=True) as capture:
        capture.start()
        capture.mark("started")
        peak = {serial: 0.0 for serial in capture.serials}
        end = kelvo.now() + seconds
        while kelvo.now() < end:
            for serial, values, _, _ in capture.read(timeout=0.5):
                peak[serial] = max(peak[serial], float(np.abs(values).max()))
        capture.stop()
        for serial, stats in capture.stats.items():
            print(f"{serial}: {stats['received']} samples, {stats['dropped']} dropped, peak {peak[serial]:.3f}")


if __name__ == "__main__":
    main()
