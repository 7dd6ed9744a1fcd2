#!/usr/bin/env bash
# Runs the end-to-end scenarios of tests/e2e/scenarios on a Windows build of
# Rousel under Wine, in a tmux pane so that Wine uses its terminal console
# (the real Win32 console functions as Wine implements them).  The same
# scenario files check the terminal stand-in, so a difference between the
# two consoles shows up as a failing scenario here.
#
#   tests/wine/run-scenarios.sh PATH/TO/rousel.exe [SCENARIO.scn...]
#
# One fresh Wine prefix for the run (wineboot -i, no X display), removed at
# the end.  Exit status: 0 all passed, 1 some failed, 77 Wine or tmux missing.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
e2e=$root/tests/e2e

skip() {
  echo "wine scenarios: skipped: $*"
  exit 77
}

[ $# -ge 1 ] || { echo "usage: $0 PATH/TO/rousel.exe [SCENARIO.scn...]" >&2; exit 2; }
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
[ -f "$exe" ] || { echo "no program at $exe" >&2; exit 2; }
for tool in wine wineboot wineserver tmux; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (Debian: wine, wine64, tmux)"
done
if [ ! -r "$e2e/lib.sh" ] || [ ! -r "$e2e/run_scenario.sh" ]; then
  skip "no end-to-end harness in $e2e"
fi

if [ $# -gt 0 ]; then
  scenarios=("$@")
else
  scenarios=("$e2e"/scenarios/*.scn)
fi

# Scenarios that do not apply to a Windows program under Wine: the name, then
# why.  Either they are about the terminal stand-in itself, or Wine's terminal
# console does not behave as a Windows console there.
declare -A not_here=(
  [not_a_terminal]="the stand-in's refusal of a standard input or output that is no terminal"
  [hostile_redirected]="the stand-in's refusal of a standard input or output that is no terminal"
  [sighup]="POSIX signals to the stand-in's process"
  [sigterm]="POSIX signals to the stand-in's process"
  [hostile_sighup_every_phase]="POSIX signals to the stand-in's process"
  [hostile_sigterm_every_phase]="POSIX signals to the stand-in's process"
  [hostile_suspend_ringing]="job control of the stand-in's process and its ALSA tone"
  [hostile_stop_signal]="job control of the stand-in's process and its ALSA tone"
  [hostile_suspend_wrapped]="job control of the stand-in's process and its ALSA tone"
  [hostile_ascii_locale]="the stand-in's transliteration for a locale that is not UTF-8; under Wine the console's code page decides"
  [hostile_term_types]="the sequences the stand-in writes for each terminal type; Wine writes its own"
  [hostile_tiny_panes]="the stand-in's drawing into a terminal smaller than its screen; Wine wraps the rows"
  [resize]="Wine's terminal console keeps drawing its 80-column buffer into a narrower terminal, which wraps the rows; a Windows console window shows the part that fits"
  [hostile_resize_waiting_ringing]="Wine's terminal console keeps drawing its 80-column buffer into a narrower terminal, which wraps the rows; a Windows console window shows the part that fits"
)

work=$(mktemp -d "${TMPDIR:-/tmp}/rousel-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# No Mono or Gecko: the prefix is for a console program, and without them
# wineboot neither downloads nor asks.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  # End whatever a failed scenario left running, then wait for the server to
  # go before the prefix is removed under it.
  wineserver -k >/dev/null 2>&1 || true
  timeout 60 wineserver -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "wine scenarios: making a Wine prefix"
if ! timeout 300 wineboot -i >"$work/wineboot.log" 2>&1; then
  echo "wine scenarios: wineboot -i failed:" >&2
  cat "$work/wineboot.log" >&2
  exit 1
fi
# One server for the whole run, started on the real clock once wineboot's
# own has gone.  A server that a program starts itself shuts down when that
# program ends and kills whatever has not finished exiting by then, which
# now and then is the program itself (exit status 137).  The persistent one
# also keeps each start quick, and gives a program under faketime real
# timeouts.
timeout 60 wineserver -w
wineserver -p
# Wine starts its services (winedevice.exe and the like) with the first
# program and keeps them as long as the server.  Started from a scenario
# they would inherit the pane's descriptors, among them the pipe by which
# faketime waits for its program, so that faketime would wait for ever.
# A first program here starts them outside every scenario.
if ! timeout 120 wine cmd.exe /c exit 0 >"$work/warm-up.log" 2>&1; then
  echo "wine scenarios: Wine cannot run a program:" >&2
  cat "$work/warm-up.log" >&2
  exit 1
fi

# The program as the harness starts it.  NO_FAKE_STAT: under faketime Wine
# would otherwise see the prefix's files with shifted times and rebuild the
# prefix at start-up.
cat >"$work/rousel" <<EOF
#!/bin/sh
exec env WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEDLLOVERRIDES='$WINEDLLOVERRIDES' \
  LC_ALL=C.UTF-8 NO_FAKE_STAT=1 wine '$exe' "\$@"
EOF
chmod +x "$work/rousel"

# The harness as it stands in tests/e2e, its step runner reading lib.sh and
# its other files from beside itself: here a copy of the tree made of links,
# whose lib.sh is the harness's followed by the Wine changes.
harness=$work/tests/e2e
mkdir -p "$harness"
for entry in "$e2e"/*; do
  [ "$(basename "$entry")" = lib.sh ] || ln -s "$entry" "$harness/"
done
for entry in "$root"/tests/*; do
  [ "$(basename "$entry")" = e2e ] || ln -s "$entry" "$work/tests/"
done
printf 'source %q\nsource %q\n' "$e2e/lib.sh" "$here/backend.sh" >"$harness/lib.sh"

# Wine answers slower than the native build, and a loaded machine slower
# still: each expectation may take this long.
export E2E_TIMEOUT=${E2E_TIMEOUT:-60}

# Steps that cannot be checked under Wine, left out of every scenario: the
# step, then why.  The rest of the scenario runs.
declare -A steps_not_here=(
  [capture-tone]="the tone is Beep, which Wine does not sound anywhere a test can capture"
  [expect-tone]="the tone is Beep, which Wine does not sound anywhere a test can capture"
)

passed=0
failed=0
skipped=0
mkdir "$work/scenarios"
for scenario in "${scenarios[@]}"; do
  name=$(basename "$scenario" .scn)
  if [ -n "${not_here[$name]:-}" ]; then
    echo "skipped: $name (${not_here[$name]})"
    skipped=$((skipped + 1))
    continue
  fi
  copy=$work/scenarios/$name.scn
  : >"$copy"
  while IFS= read -r line || [ -n "$line" ]; do
    verb=${line%% *}
    if [ -n "${steps_not_here[$verb]:-}" ]; then
      echo "  $name: step \"$line\" left out: ${steps_not_here[$verb]}"
    else
      printf '%s\n' "$line" >>"$copy"
    fi
  done <"$scenario"
  bash "$harness/run_scenario.sh" "$work/rousel" "$copy" >"$work/$name.log" 2>&1
  status=$?
  case $status in
    0) echo "passed: $name"; passed=$((passed + 1)) ;;
    77) echo "skipped: $name ($(grep -m1 '^SKIP' "$work/$name.log" || echo 'by the harness'))"
        skipped=$((skipped + 1)) ;;
    *) echo "FAILED: $name"; sed 's/^/    /' "$work/$name.log"; failed=$((failed + 1)) ;;
  esac
done

echo "wine: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
