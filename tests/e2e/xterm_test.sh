#!/usr/bin/env bash
# The program in a stock xterm on a virtual X server (Xvfb), keys sent with
# xdotool as a user presses them:
#   - Alt+X leaves with the banner, whatever xterm's meta default is;
#   - a 40x12 window shows the top-left part of the waiting screen, clipped
#     rather than wrapped.
# xterm's key and meta resources stay as shipped (no user resources: HOME
# is empty and the virtual server has none).  The only resources given are
# the test's eyes: F12 dumps the window's text to a file (print-immediate).
#   xterm_test.sh PROGRAM
# Exit status 0 passed, 1 failed, 77 skipped (no X server or tools).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PROGRAM" >&2; exit 2; }
program=$1
timeout=${E2E_TIMEOUT:-15}

skip() { echo "SKIP: $*" >&2; exit 77; }
fail() {
  echo "FAIL: $*" >&2
  [ -n "${last_screen:-}" ] && { echo "--- screen ---" >&2; cat "$last_screen" >&2; }
  exit 1
}

for tool in Xvfb xterm xdotool; do
  command -v "$tool" >/dev/null 2>&1 ||
    skip "$tool is not installed (Debian packages xvfb, xterm, xdotool)"
done
[ -x "$program" ] || fail "no program at $program"

dir=$(mktemp -d "${TMPDIR:-/tmp}/rousel-xterm.XXXXXX")
pids=()
cleanup() {
  local status=$? pid
  for pid in "${pids[@]}"; do kill "$pid" >/dev/null 2>&1 || true; done
  wait >/dev/null 2>&1 || true
  rm -rf "$dir"
  exit "$status"
}
trap cleanup EXIT

# wait_for WHAT COMMAND...: polls COMMAND against the deadline.
wait_for() {
  local what=$1
  shift
  local deadline=$((SECONDS + timeout))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "waited ${timeout}s for $what"
    sleep 0.1
  done
}

# A server of our own, on a display number it picks itself.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
pids+=($!)
deadline=$((SECONDS + timeout))
until [ -s "$dir/display" ]; do
  kill -0 "${pids[0]}" 2>/dev/null || skip "no X server could start: $(tail -n 1 "$dir/xvfb.log")"
  [ "$SECONDS" -lt "$deadline" ] || skip "no X server came up in ${timeout}s"
  sleep 0.1
done
export DISPLAY=:$(head -n 1 "$dir/display")
export HOME=$dir XENVIRONMENT=/nonexistent LANG=C.UTF-8
unset XAPPLRESDIR XUSERFILESEARCHPATH

# start_xterm NAME COLUMNSxROWS: the program in a fresh xterm; its window
# id in $dir/NAME.wid, its exit status in $dir/NAME.rc, and the window stays
# open afterwards so that what the program left can be read.
start_xterm() {
  local name=$1
  xterm -geometry "$2" -xrm "XTerm*printFileImmediate: $dir/$name.screen" \
    -xrm 'XTerm*VT100.translations: #override <Key>F12: print-immediate()' \
    -e sh -c 'echo "$WINDOWID" >"$1.wid"; "$2"; echo $? >"$1.rc"; exec sleep 600' \
    sh "$dir/$name" "$program" 2>>"$dir/xterm.log" &
  pids+=($!)
  wait_for "xterm $name to start" test -s "$dir/$name.wid"
  window=$(cat "$dir/$name.wid")
  # No window manager: the window under the pointer has the keyboard.
  xdotool mousemove --window "$window" 5 5
  xdotool windowfocus "$window" 2>/dev/null || true
}

# screen NAME: xterm's own text of the window, one line a row.
screen() {
  rm -f "$dir/$1".screen*
  xdotool key F12
  local deadline=$((SECONDS + timeout))
  until compgen -G "$dir/$1.screen*" >/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "xterm wrote no screen dump"
    sleep 0.05
  done
  sleep 0.1  # the dump is written at once; let it be closed
  last_screen=$dir/$1.last
  cat "$dir/$1".screen* >"$last_screen"
  cat "$last_screen"
}
screen_has() { screen "$1" | grep -qF -- "$2"; }
row() { screen "$1" | sed -n "${2}p" | sed 's/[[:space:]]*$//'; }
row_is() { [ "$(row "$1" "$2")" = "$3" ]; }
row_starts() { case "$(row "$1" "$2")" in "$3"*) return 0 ;; *) return 1 ;; esac; }

# --- Alt+X in a stock xterm ------------------------------------------------
start_xterm altx 80x25
wait_for "the time entry" screen_has altx "Enter alarm time or press ALT-X to exit"
xdotool key alt+x
wait_for "the program to leave" test -s "$dir/altx.rc"
[ "$(cat "$dir/altx.rc")" = 0 ] || fail "exit status $(cat "$dir/altx.rc") after Alt+X"
wait_for "the banner" screen_has altx "quote: cool, eh? ;)"
echo "passed: Alt+X leaves a stock xterm with the banner"

# --- a 40x12 xterm ---------------------------------------------------------
start_xterm small 40x12
wait_for "the time entry" screen_has small "Enter alarm time or press ALT-X to"
xdotool type --delay 50 0700
xdotool key Return
wait_for "the password entry" screen_has small "Enter the password"
xdotool key Return
# The buffer's top-left 40 columns, each row on its own row.
wait_for "the clipped alarm time row" row_is small 1 "Alarm time.........................[07:0"
row_starts small 2 "Current time.......................[" || fail "row 2: $(row small 2)"
row_is small 5 "Sleep time.........................[0.5s" || fail "row 5: $(row small 5)"
[ "$(screen small | wc -l)" -le 13 ] || fail "more rows than the window has"
xdotool key alt+x
wait_for "the program to leave" test -s "$dir/small.rc"
[ "$(cat "$dir/small.rc")" = 0 ] || fail "exit status $(cat "$dir/small.rc") in a 40x12 xterm"
echo "passed: a 40x12 xterm shows the top-left of the waiting screen"
