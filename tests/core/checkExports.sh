#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A shared library exports exactly the names of its public interface, under
# its SONAME (libkelvo.so.1 unless a third argument names another).
# Names beginning with "__" are left out (sanitizer builds add their own), and
# so are the linker's section marks.
set -euo pipefail
library=$1 expected=$2 wanted=${3:-libkelvo.so.1}
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -Ev '^(__|_edata$|_end$|_init$|_fini$)' | LC_ALL=C sort)
if ! diff -u <(LC_ALL=C sort "$expected") <(echo "$actual"); then
  echo "exported symbols differ from $expected (- missing, + unexpected)" >&2
  exit 1
fi
soname=$(objdump -p "$library" | awk '/SONAME/ {print $2}')
[ "$soname" = "$wanted" ] || { echo "SONAME is '$soname', not $wanted" >&2; exit 1; }
echo "exports and SONAME as expected"
