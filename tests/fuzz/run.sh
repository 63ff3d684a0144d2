#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the udevadm-output fuzzer with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer straight from the sources and runs it for a
# bounded time (KELVO_FUZZ_SECONDS, default 60). Exits non-zero on a crash.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
out=${KELVO_FUZZ_BUILD:-$root/build-fuzz}
seconds=${KELVO_FUZZ_SECONDS:-60}
mkdir -p "$out/corpus" "$out/artifacts"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/base" -I"$root/serial" \
  "$root/tests/fuzz/udevadmFuzz.cpp" "$root/serial/serialPortInfo.cpp" "$root/serial/timedCommand.cpp" \
  -o "$out/udevadmFuzz"
# The seeds are real-looking outputs; the working corpus grows beside them.
ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}" "$out/udevadmFuzz" \
  -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 -dict="$root/tests/fuzz/udevadm.dict" \
  -artifact_prefix="$out/artifacts/" "$out/corpus" "$root/tests/fuzz/corpus"
