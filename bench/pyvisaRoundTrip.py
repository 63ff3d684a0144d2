#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The peer figure for deviceBench's round trip: "*OPC?" round trips through
PyVISA's pure-Python backend on a pseudo-terminal.

Usage: pyvisaRoundTrip.py PTY_PATH [COUNT]
Prints each round trip in milliseconds, one a line, on success; exits 3
when PyVISA or its pure-Python backend is missing, 1 when the device does not
answer.
"""
import sys
import time

try:
    import pyvisa
except ImportError:
    print("pyvisa is not installed (Debian: python3-pyvisa python3-pyvisa-py)", file=sys.stderr)
    sys.exit(3)


def main():
    if len(sys.argv) < 2:
        print("usage: pyvisaRoundTrip.py PTY_PATH [COUNT]", file=sys.stderr)
        return 2
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    try:
        manager = pyvisa.ResourceManager("@py")
    except (OSError, ValueError) as error:
        print(f"no pure-Python PyVISA backend: {error}", file=sys.stderr)
        return 3
    device = manager.open_resource(f"ASRL{sys.argv[1]}::INSTR")
    device.read_termination = "\n"
    device.write_termination = "\n"
    device.timeout = 1000
    times = []
    for _ in range(count):
        start = time.perf_counter()
        answer = device.query("*OPC?")
        times.append((time.perf_counter() - start) * 1000.0)
        if answer.strip() != "1":
            print(f"unexpected answer {answer!r}", file=sys.stderr)
            return 1
    device.close()
    print("\n".join(f"{t:.4f}" for t in times))
    return 0


if __name__ == "__main__":
    sys.exit(main())
