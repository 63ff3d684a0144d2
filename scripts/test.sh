#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds kelvo and runs every test. KELVO_SANITIZE=thread or
# KELVO_SANITIZE=address,undefined builds and runs them under a sanitizer.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
sanitize=${KELVO_SANITIZE:-}
build="$root/build${sanitize:+-${sanitize//,/-}}"
cmake -S "$root" -B "$build" -G Ninja -DKELVO_SANITIZE="$sanitize" >/dev/null
cmake --build "$build"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp ${LSAN_OPTIONS:-}"
run=(ctest --test-dir "$build" --output-on-failure -j2 --timeout 600)
# The plot window's tests want an X server; give them a virtual one. It must
# not reset when its last client leaves: a client that connects during the
# reset is dropped.
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  run=(xvfb-run -a -s "-screen 0 1600x1200x24 -noreset" "${run[@]}")
fi
"${run[@]}"
