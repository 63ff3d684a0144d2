#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix, checks what was installed,
# builds the C examples with pkg-config and the C++ one with find_package
# against that copy, and runs the examples against kelvo-sim (the Python
# ones on the installed package, after moving the prefix).
# Arguments: build directory, source directory, sanitizer list (may be empty),
# the Python interpreter to use, the project's version.
set -euo pipefail
build=$1 source=$2 sanitize=${3:-} python=${4:-python3} version=$5
work=$(mktemp -d)
sim_pid= sim2_pid= sim3_pid=
cleanup() {
  for pid in $sim_pid $sim2_pid $sim3_pid; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# The package: SONAME links, headers, pkg-config and CMake files, programs.
libdir=$(cd "$prefix" && ls -d lib*/libkelvo.so."$version" | xargs dirname)
[ "$(readlink "$prefix/$libdir/libkelvo.so")" = libkelvo.so.1 ] || fail "libkelvo.so does not link to libkelvo.so.1"
[ "$(readlink "$prefix/$libdir/libkelvo.so.1")" = "libkelvo.so.$version" ] || fail "libkelvo.so.1 does not link to $version"
[ -f "$prefix/include/kelvo.h" ] && [ -f "$prefix/include/kelvo_lowlevel.h" ] || fail "headers not installed"
[ -x "$prefix/bin/kelvo" ] && [ -x "$prefix/bin/kelvo-sim" ] || fail "programs not installed"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion kelvo)" = "$version" ] || fail "kelvo.pc version"
[ "$(pkg-config --modversion kelvo-capture)" = "$version" ] || fail "kelvo-capture.pc version"
[ -f "$prefix/include/kelvo_capture.h" ] || fail "kelvo_capture.h not installed"
[ "$(readlink "$prefix/$libdir/libkelvo-capture.so.1")" = "libkelvo-capture.so.$version" ] ||
  fail "libkelvo-capture.so.1 does not link to $version"
grep -q "PACKAGE_VERSION \"$version\"" "$prefix/$libdir/cmake/kelvo/kelvoConfigVersion.cmake" || fail "CMake package version"
"$prefix/bin/kelvo" --version | grep -qx "kelvo $version" || fail "installed kelvo does not find its library"

# Sanitized libraries want sanitized programs.
flags=${sanitize:+-fsanitize=$sanitize}
cp -r "$source/examples/c" "$work/c"
make -s -C "$work/c" CFLAGS="-O2 -Wall -Werror $flags" LDFLAGS="$flags" >/dev/null
cmake -S "$source/examples/cpp" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/cpp" >/dev/null

# Each example gets devices of its own: the examples stop their streams and
# exit at once, and a device that acts on that late would still be streaming
# into the next example.
"$prefix/bin/kelvo-sim" --devices 4 --rate 2000 > "$work/paths" &
sim_pid=$!
for _ in $(seq 100); do [ "$(wc -l < "$work/paths")" -ge 4 ] && break; sleep 0.1; done
mapfile -t tty < "$work/paths"
[ ${#tty[@]} -eq 4 ] || fail "kelvo-sim printed no paths"

out=$(LD_LIBRARY_PATH=$prefix/$libdir "$work/c/stream" "${tty[0]}" 1)
echo "$out"
grep -Eq '^[0-9]{3,} samples in 1.0 s$' <<<"$out" || fail "C example streamed nothing"
grep -q '^first sample: counter 0, values 0 -1536000000 1536000000$' <<<"$out" || fail "C example's first sample"
rate=$(sed -n 's/^sample clock: \([0-9.]*\) samples\/s, jitter [0-9.]* us$/\1/p' <<<"$out")
awk -v r="${rate:-0}" 'BEGIN { exit !(r > 1999 && r < 2001) }' || fail "C example's sample clock: '$rate'"

# The capture library from C: two devices of their own into one file, read
# back with h5py.
"$prefix/bin/kelvo-sim" --devices 2 --rate 2000 > "$work/paths3" &
sim3_pid=$!
for _ in $(seq 100); do [ "$(wc -l < "$work/paths3")" -ge 2 ] && break; sleep 0.1; done
mapfile -t tty3 < "$work/paths3"
[ ${#tty3[@]} -eq 2 ] || fail "the third kelvo-sim printed no paths"
out=$(LD_LIBRARY_PATH=$prefix/$libdir "$work/c/record" "$work/record.h5" "${tty3[0]}" "${tty3[1]}")
echo "$out"
[ "$(grep -Ec '^SIM[0-9]{4}: 2000 samples, 0 dropped, 1 markers$' <<<"$out")" = 2 ] || fail "C capture example"
"$python" - "$work/record.h5" <<'PY' || fail "the C capture example's file"
import sys, h5py, numpy as np
with h5py.File(sys.argv[1], "r") as f:
    assert len(f["devices"]) == 2
    for serial in f["devices"]:
        assert np.array_equal(f["devices"][serial]["index"][:], np.arange(2000)), serial
    assert [t.decode() if isinstance(t, bytes) else t for t in f["markers"]["text"][:]] == ["started"]
PY

out=$("$work/cpp/sync" "${tty[1]}" "${tty[2]}")
echo "$out"
[ "$(grep -Ec '^device [01]: sent [0-9.]+ us, first payload [0-9.]+ us after the release; [0-9]{3,} samples$' <<<"$out")" = 2 ] ||
  fail "C++ example"
[ "$(grep -Ec '^device [01]: sample clock (1999|2000)\.[0-9]{3} samples/s, jitter [0-9.]+ us, 0 gaps in the index$' <<<"$out")" = 2 ] ||
  fail "C++ example's sample clocks"
grep -Eq '^spread of the start commands: [0-9.]+ us$' <<<"$out" || fail "C++ example's spread"

# A sanitized library needs its runtime loaded before the interpreter, whose
# own allocations LeakSanitizer would take for leaks.
preload=
case "$sanitize" in
  *address*) preload=$(${CC:-cc} -print-file-name=libasan.so); export ASAN_OPTIONS="${ASAN_OPTIONS:-} detect_leaks=0" ;;
  *thread*) preload=$(${CC:-cc} -print-file-name=libtsan.so) ;;
esac

# The Python package lies in the prefix's Python path and finds the library
# of its own prefix, wherever that prefix was moved to, without help.
mv "$prefix" "$work/moved"
prefix=$work/moved
sitedir=$(cd "$prefix" && ls -d lib/python3*/dist-packages)
[ -f "$prefix/$sitedir/kelvo/__init__.py" ] || fail "Python package not installed"
unset KELVO_LIBRARY
py() { LD_PRELOAD=$preload PYTHONPATH=$prefix/$sitedir PYTHONDONTWRITEBYTECODE=1 "$python" "$@"; }
found=$(py -c 'import kelvo; print(kelvo.library_path())')
[ "$found" -ef "$prefix/$libdir/libkelvo.so.1" ] || fail "the installed package loaded $found"
installed_version=$(py -c 'import kelvo; print(kelvo.__version__)')
[ "$installed_version" = "$version" ] || fail "the installed package says version $installed_version"

out=$(py "$source/examples/python/stream.py" "${tty[3]}" 1000)
echo "$out"
grep -qx '1000 samples' <<<"$out" || fail "Python example streamed nothing"
# 1000 samples at 2000 per second hold a whole period of the 2 Hz square
# wave of channel 3: both its levels, scaled to full scale 1.0.
[ "$(sed -n 4p <<<"$out" | grep -Ec ': min -0.7153 max \+0.7153 ')" = 1 ] || fail "Python example's square channel"

"$prefix/bin/kelvo-sim" --devices 4 --rate 2000 > "$work/paths2" &
sim2_pid=$!
for _ in $(seq 100); do [ "$(wc -l < "$work/paths2")" -ge 4 ] && break; sleep 0.1; done
mapfile -t tty2 < "$work/paths2"
[ ${#tty2[@]} -eq 4 ] || fail "the second kelvo-sim printed no paths"
out=$(py "$source/examples/python/sync.py" "${tty2[0]}" "${tty2[1]}" 0.5)
echo "$out"
[ "$(grep -Ec '^/dev/[^:]+: released at tick [0-9]+; sent [0-9.]+ us, first bytes [0-9.]+ us, first payload [0-9.]+ us after it$' <<<"$out")" = 2 ] ||
  fail "Python sync example's stamps"
grep -Eq '^spread of the start commands: [0-9.]+ us$' <<<"$out" || fail "Python sync example's spread"
[ "$(grep -Ec '^/dev/[^:]+: [0-9]{3,} samples$' <<<"$out")" = 2 ] || fail "Python sync example streamed nothing"

out=$(py "$source/examples/python/capture.py" "$work/capture.h5" "${tty2[2]}" "${tty2[3]}" 0.5)
echo "$out"
[ "$(grep -Ec '^SIM[0-9]{4}: [0-9]{3,} samples, 0 dropped, peak 0\.[0-9]{3}$' <<<"$out")" = 2 ] ||
  fail "Python capture example"
echo "examples passed"
