#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and checks what a desktop user
# gets besides the library: the udev rule (checked by udev's own parser
# where this machine lets us run it), the man pages (one for each command
# too), the bash completion,
# programs that find their library from wherever the prefix is moved, and
# kelvo-sim's devices named by serial number.
# Arguments: build directory.
set -euo pipefail
build=$1
work=$(mktemp -d)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/first" >/dev/null
# Moved after installing: nothing may depend on the prefix's path.
mv "$work/first" "$work/prefix"
prefix=$work/prefix

# --- the udev rule -----------------------------------------------------------
rule=$prefix/lib/udev/rules.d/70-kelvo.rules
[ -f "$rule" ] || fail "no $rule"
for id in 'ATTRS{idVendor}=="303a", ATTRS{idProduct}=="4001"' 'ATTRS{idVendor}=="0483", ATTRS{idProduct}=="5740"'; do
  for action in 'TAG+="uaccess"' 'ENV{ID_MM_DEVICE_IGNORE}="1"' 'ATTRS{serial}=="?*", SYMLINK+="kelvo/$attr{serial}"'; do
    grep -F "$id" "$rule" | grep -qF "$action" || fail "the rule lacks $action for $id"
  done
done

# Lines of udevadm's output that find fault with a rules file.
rule_complaints() { # rules-folder
  if [ "$(id -u)" = 0 ]; then unshare=(unshare -m); else unshare=(unshare -rm); fi
  "${unshare[@]}" sh -c 'mount --bind "$1" /etc/udev/rules.d && udevadm test --action=add /sys/class/tty/tty 2>&1' \
    sh "$1" | grep -E '/etc/udev/rules.d/70-kelvo\.rules:[0-9]+' || true
}
if udevadm verify --help >/dev/null 2>&1; then
  udevadm verify --no-style "$rule" || fail "udevadm verify finds fault with the rule"
  echo "rule checked by udevadm verify"
elif mkdir "$work/broken" && printf 'SUBSYSTEM=="tty", SYMLNK+="x"\n' > "$work/broken/70-kelvo.rules" &&
     [ -n "$(rule_complaints "$work/broken")" ]; then
  # udevadm test reads /etc/udev/rules.d; a private mount namespace puts the
  # rule there, and the broken copy above proved that faults are reported.
  mkdir "$work/rules" && cp "$rule" "$work/rules/"
  complaints=$(rule_complaints "$work/rules")
  [ -z "$complaints" ] || fail "udev finds fault with the rule: $complaints"
  echo "rule checked by udevadm test in a private mount namespace"
else
  # Without udev's parser: every line a comment or a list of KEY op "value"
  # with keys udev knows, matches with ==/!= and assignments with =/+=.
  match='(ACTION|SUBSYSTEM|SUBSYSTEMS|ATTRS\{[a-zA-Z_]+\})(==|!=)"[^"]*"'
  assign='(TAG|SYMLINK|ENV\{[A-Z_]+\})(\+?=)"[^"]*"|GOTO="[a-z_]+"|LABEL="[a-z_]+"'
  while IFS= read -r line; do
    [[ -z $line || $line == \#* ]] && continue
    IFS=',' read -ra keys <<<"$line"
    for key in "${keys[@]}"; do
      key=${key# }
      [[ $key =~ ^($match|$assign)$ ]] || fail "the rule line '$line' has '$key'"
    done
  done < "$rule"
  echo "rule checked by its grammar (no udevadm verify, no mount namespace)"
fi

# --- man pages ---------------------------------------------------------------
# A page for each command that kelvo --help lists, and none besides.
commands=$("$prefix/bin/kelvo" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p' | grep -vx help)
[ "$(wc -l <<<"$commands")" -ge 10 ] || fail "kelvo --help lists only: $commands"
pages=(kelvo kelvo-sim kelvo-busd)
for command in $commands; do pages+=("kelvo-$command"); done
diff <(printf '%s.1\n' "${pages[@]}" | sort) <(ls "$prefix/share/man/man1" | sort) >&2 ||
  fail "the installed man pages are not one for each program and command"
for program in "${pages[@]}"; do
  page=$prefix/share/man/man1/$program.1
  [ -f "$page" ] || fail "no man page $page"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -l "$page" 2>"$work/warnings")
  [ ! -s "$work/warnings" ] || fail "$page: $(cat "$work/warnings")"
  grep -q "^       $program - " <<<"$text" || fail "$page has no NAME line for $program"
  grep -q "^SYNOPSIS" <<<"$text" || fail "$page has no synopsis"
  grep -q -- "--help" <<<"$text" || fail "$page lacks the options"
  ! grep -q "$build" "$page" || fail "$page names the build folder"
done
grep -q -- '--diagnose looks at every USB tty' <(man -l "$prefix/share/man/man1/kelvo.1" 2>/dev/null) ||
  fail "kelvo.1 lacks the commands' own help"
grep -q -- '--diagnose looks at every USB tty' <(man -l "$prefix/share/man/man1/kelvo-list.1" 2>/dev/null) ||
  fail "kelvo-list.1 lacks the command's help"

# --- programs, from the moved prefix -----------------------------------------
readelf -d "$prefix/bin/kelvo" | grep -q 'R.*PATH.*\[\$ORIGIN/\.\./lib' || fail "kelvo has no \$ORIGIN rpath"
"$prefix/bin/kelvo" --version | grep -q '^kelvo ' || fail "the moved kelvo does not find its library"
"$prefix/bin/kelvo-busd" --help | grep -q -- '-m, --mode MODE' || fail "kelvo-busd --help"

export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 0700 "$XDG_RUNTIME_DIR"
"$prefix/bin/kelvo-sim" > "$work/paths" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/paths" ] && break; sleep 0.1; done
tty=$(head -1 "$work/paths")
[ -n "$tty" ] || fail "kelvo-sim printed no path"
# Real devices attached to this machine may be listed too.
grep -qx "simulated	$tty	SIM0001" <("$prefix/bin/kelvo" list) || fail "kelvo list: $("$prefix/bin/kelvo" list)"
"$prefix/bin/kelvo" query SIM0001 '*IDN?' | grep -q ',SIM0001,' || fail "kelvo query SIM0001"

# --- bash completion ---------------------------------------------------------
completion=$prefix/share/bash-completion/completions/kelvo
[ -f "$completion" ] || fail "no $completion"
complete_words() { # words of the command line, the last being completed
  PATH=$prefix/bin:$PATH bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kelvo
                                  printf "%s\n" "${COMPREPLY[@]}"' sh "$completion" "$@"
}
[ "$(complete_words kelvo qu)" = query ] || fail "completion of a command: $(complete_words kelvo qu)"
[ "$(complete_words kelvo list --dia)" = --diagnose ] || fail "completion of an option"
[ "$(complete_words kelvo query SIM)" = SIM0001 ] || fail "completion of a serial: $(complete_words kelvo query SIM)"
[ -z "$(complete_words kelvo query SIM0001 '*ID')" ] || fail "a SCPI command was completed as a device"
[ "$(complete_words kelvo record SIM0001 --o)" = --out ] || fail "completion of record's --out"
[ -z "$(complete_words kelvo sync SIM0001 --config 'CONFigure:DEVice 3' SIM)" ] ||
  fail "a configuration command was completed as a device"

kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=
! grep -q '^simulated' <("$prefix/bin/kelvo" list 2>/dev/null) || fail "the simulator's device outlived it"
echo "install passed"
