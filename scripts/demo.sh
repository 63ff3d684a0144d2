#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing (as root; otherwise prints the apt-get line),
# builds kelvo and runs 'kelvo demo'. Arguments go to the demo, e.g.
# ./scripts/demo.sh --seconds 10
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target kelvo_cli
exec "$build/cli/kelvo" demo "$@"
