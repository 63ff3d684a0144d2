#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the Python package's tests against a build: the package from the
# source tree, the library, kelvo-sim and kelvo-busd from the build.
# Arguments: interpreter, sanitizer list (may be empty), which part
# ("package", "bus" or "capture"), then the paths of libkelvo, kelvo-sim, kelvo-busd and
# libkelvo-capture.
set -euo pipefail
python=$1 sanitize=$2 part=$3
export KELVO_LIBRARY=$4 KELVO_SIM=$5 KELVO_BUSD=$6 KELVO_CAPTURE_LIBRARY=$7
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export PYTHONPATH=$here/..${PYTHONPATH:+:$PYTHONPATH}
export PYTHONDONTWRITEBYTECODE=1

# A sanitized library loaded into the interpreter needs its runtime loaded
# first. LeakSanitizer is off there: it would take the interpreter's own
# allocations that live until exit for leaks; the C tests check the
# library's leaks.
case "$sanitize" in
  *address*)
    # The C++ runtime too: ASan finds the real __cxa_throw when it starts,
    # and an interpreter loads libstdc++ only later, with the libraries.
    export LD_PRELOAD="$(${CC:-cc} -print-file-name=libasan.so) $(${CC:-cc} -print-file-name=libstdc++.so)"
    export ASAN_OPTIONS="${ASAN_OPTIONS:-} detect_leaks=0" ;;
  *thread*)
    export LD_PRELOAD=$(${CC:-cc} -print-file-name=libtsan.so) ;;
esac

case "$part" in
  bus) selection=(-m bus) ;;
  capture) selection=(-m capture) ;;
  *) selection=(-m "not bus and not capture") ;;
esac
exec "$python" -m pytest -p no:cacheprovider -q "${selection[@]}" "$here"
