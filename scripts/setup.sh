#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages kelvo needs to build, test and run its demo,
# then the browser view's script libraries (web/package-lock.json) with npm.
# As root it installs what is missing; otherwise it prints the line to run.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
web="$here/../web"

# Prints the command that installs the given Debian packages, or runs it as root.
installPackages() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "kelvo needs these packages; install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y $*" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "$@"
}

mapfile -t wanted < <(grep -v '^#' "$here/packages.txt")
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] || installPackages "${missing[@]}"

# The build embeds uPlot from web/node_modules: install it again whenever the
# lockfile is newer than what is there.
if [ ! -d "$web/node_modules/uplot" ] || [ "$web/package-lock.json" -nt "$web/node_modules/uplot" ]; then
  command -v npm >/dev/null || installPackages nodejs npm
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error)
  touch "$web/node_modules/uplot"
fi
