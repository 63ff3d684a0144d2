#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Style checks: clang-format over the library, tools, tests, benchmarks and
# examples (nothing is rewritten; a file that would change is an error),
# flake8 and mypy over the Python package (flake8 over its tests too) with the
# settings in python/.flake8 and python/pyproject.toml, and clang-tidy over
# the library and the tools with .clang-tidy, every finding an error. Exits
# non-zero on any finding.
#   scripts/lint.sh                 all three
#   scripts/lint.sh --format-only   only clang-format
#   scripts/lint.sh --python-only   only flake8 and mypy
#   scripts/lint.sh --tidy-only     only clang-tidy
# The compile commands clang-tidy needs come from its own build directory,
# build-lint (KELVO_LINT_BUILD overrides it); nothing there is compiled
# except the generated headers.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

format=1
python=1
tidy=1
case "${1:-}" in
  "") ;;
  --format-only) python=0 tidy=0 ;;
  --python-only) format=0 tidy=0 ;;
  --tidy-only) format=0 python=0 ;;
  *) echo "usage: $0 [--format-only | --python-only | --tidy-only]" >&2; exit 2 ;;
esac

find_tool() {
  local name
  for name in "$@"; do
    if command -v "$name" >/dev/null; then echo "$name"; return; fi
  done
  echo "lint: none of $* is installed (see scripts/packages.txt)" >&2
  exit 2
}

# The C and C++ files under the given directories: the tracked ones in a git
# checkout, otherwise every one found.
sources() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -- "$@"
  else
    find "$@" -type f | sort
  fi | grep -E '\.(c|cc|cpp|h|hpp)$' || true
}

status=0

if [ "$format" = 1 ]; then
  clang_format=$(find_tool clang-format clang-format-14)
  mapfile -t files < <(sources include base core serial scpi sharedmem graphics sim capture cli tools tests bench examples)
  echo "lint: clang-format on ${#files[@]} files"
  if ! "$clang_format" --dry-run -Werror "${files[@]}"; then
    echo "lint: formatting differs; see above (clang-format -i FILE fixes a file)" >&2
    status=1
  fi
fi

if [ "$python" = 1 ]; then
  # Debian's interpreter, the one python3-flake8 and python3-mypy install
  # into: a python3 earlier on PATH may have neither.
  interpreter=/usr/bin/python3
  for module in flake8 mypy; do
    if ! "$interpreter" -m "$module" --version >/dev/null 2>&1; then
      echo "lint: $interpreter -m $module does not run (python3-$module, see scripts/packages.txt)" >&2
      exit 2
    fi
  done
  # Run from python/, where both find their settings.
  echo "lint: flake8 on python/kelvo and python/tests"
  if ! (cd python && "$interpreter" -m flake8 kelvo tests); then
    echo "lint: flake8 found problems; see above" >&2
    status=1
  fi
  echo "lint: mypy on python/kelvo"
  if ! (cd python && "$interpreter" -m mypy kelvo); then
    echo "lint: mypy found problems; see above" >&2
    status=1
  fi
fi

if [ "$tidy" = 1 ]; then
  clang_tidy=$(find_tool clang-tidy clang-tidy-14)
  build=${KELVO_LINT_BUILD:-$root/build-lint}
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DKELVO_BUILD_TESTS=OFF -DKELVO_BUILD_BENCHMARKS=OFF >/dev/null
  # Only the translation units of the library and the tools that the build
  # compiles (a source kept out of the build is not checked).
  mapfile -t files < <(python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, os, sys
root = os.path.realpath(sys.argv[2])
dirs = ("base", "core", "serial", "scpi", "sharedmem", "graphics", "sim", "capture", "cli", "tools")
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.split(os.sep)[0] in dirs and path not in seen:
        seen.add(path)
        print(path)
PY
  )
  echo "lint: clang-tidy on ${#files[@]} files"
  jobs=$(nproc 2>/dev/null || echo 2)
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  # Each file on its own; xargs runs them in parallel and fails if any did.
  if ! printf '%s\0' "${files[@]}" |
      xargs -0 -P "$jobs" -n 1 "$clang_tidy" -p "$build" --quiet >"$log" 2>&1; then
    grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' "$log" >&2 || true
    echo "lint: clang-tidy found problems; see above" >&2
    status=1
  fi
fi

exit "$status"
