#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shared library exports exactly the names of its public interface.
# Names beginning with "__" are left out (sanitizer builds add their own), and
# so are the linker's section marks.
set -euo pipefail
library=$1 expected=$2
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -Ev '^(__|_edata$|_end$|_init$|_fini$)' | LC_ALL=C sort)
if ! diff -u <(LC_ALL=C sort "$expected") <(echo "$actual"); then
  echo "exported symbols differ from $expected (- missing, + unexpected)" >&2
  exit 1
fi
soname=$(objdump -p "$library" | awk '/SONAME/ {print $2}')
[ "$soname" = libkelvo.so.1 ] || { echo "SONAME is '$soname', not libkelvo.so.1" >&2; exit 1; }
echo "exports and SONAME as expected"
