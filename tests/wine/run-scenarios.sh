#!/usr/bin/env bash
# Runs the end-to-end scenarios on a Windows build under Wine, in a tmux pane
# so that Wine uses its terminal console: a difference between it and the
# terminal stand-in shows up as a failing scenario.  One fresh Wine prefix
# per run.  Exit status: 0 all passed, 1 some failed, 77 Wine or tmux missing.
#   tests/wine/run-scenarios.sh [OPTIONS] PATH/TO/rousel.exe [SCENARIO.scn...]
# Options:
#   --no-faketime        faketime does not reach the program (32-bit Wine):
#                        a scenario that starts at a known time waits for its
#                        second and gets the hour and minute through TZ
#   --windows win98      Wine tells rousel.exe it runs on Windows 98 (platform
#                        1), so the speaker ports and the scrolling in halves
#                        run for real; implies --trace
#   --trace              Wine traces the ports, the scrolls and kernel32's
#                        power calls, which check-trace.py checks for the
#                        platform
#   --console-api DRIVER runs each scenario through rousel-console-driver.exe
#                        (the console's own functions) instead of the terminal,
#                        and the scenarios of tests/wine/console-scenarios too
#   --loader LOADER      starts every Windows program, Wine's own included,
#                        with this Wine loader (WINELOADER): the 64-bit one
#                        where the 32-bit one cannot run (by default "wine",
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
e2e=$here/../e2e

usage() { echo "usage: $0 [--no-faketime] [--windows win98] [--trace] [--console-api DRIVER] [--loader LOADER] PATH/TO/rousel.exe [SCENARIO.scn...]" >&2; exit 2; }
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
faketime=true trace=false platform=2 driver="" wine=wine
while [ $# -gt 0 ]; do
  case $1 in
    --no-faketime) faketime=false ;;
    --windows) [ "${2:-}" = win98 ] || usage; platform=1 trace=true; shift ;;
    --trace) trace=true ;;
    --console-api) [ -f "${2:-}" ] || usage; driver=$(absolute "$2"); shift ;;
    --loader) [ -x "${2:-}" ] || usage; wine=$2; export WINELOADER=$2; shift ;;
    -*) usage ;;
    *) break ;;
  esac
  shift
done
{ [ $# -ge 1 ] && [ -f "$1" ]; } || usage
exe=$(absolute "$1")
shift
for tool in "$wine" wineserver tmux python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: the scenarios under Wine: no $tool (Debian: wine, wine64, tmux, python3)"; exit 77; }
done

scenarios=("$@")
if [ $# -eq 0 ]; then
  scenarios=("$e2e"/scenarios/*.scn)
  [ -n "$driver" ] && scenarios+=("$here"/console-scenarios/*.scn)
fi

# Scenarios about the terminal stand-in itself, or where Wine's terminal
# console does not behave as a Windows console: the name, then why.
logind="the stand-in's logind inhibitor (the Windows calls are read from the trace)"
declare -A not_here=(
  [suspend]="job control of the stand-in's process, POSIX signals, its writer facing a terminal that stops taking output, and a narrower terminal (Wine draws its 80-column buffer there wrapped)"
  [terminal_types]="the stand-in's sequences for each terminal type, its transliteration for a locale that is not UTF-8 and its sound device that never opens"
  [stay_awake]=$logind [stay_awake_without_bus]=$logind
)
[ -n "$driver" ] && not_here+=([killed_pane]="the terminal going away: a console has no pane to close")

work=$(mktemp -d "${TMPDIR:-/tmp}/rousel-wine.XXXXXX")
# No Mono or Gecko: wineboot neither downloads nor asks.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

stop_wine() {
  wineserver -k >/dev/null 2>&1
  timeout 60 wineserver -w >/dev/null 2>&1
}
trap 'stop_wine; rm -rf "$work"' EXIT

# must SECONDS COMMAND...: runs it, or shows its output and gives up.
must() {
  timeout "$@" >"$work/must.log" 2>&1 && return
  echo "wine scenarios: $2 $3 failed:" >&2
  cat "$work/must.log" >&2
  exit 1
}
echo "wine scenarios: making a Wine prefix"
# On a busy machine wineboot now and then fails to start one of its own
# helper programs ("ShellExecuteEx failed"); a fresh prefix then works.
for _ in 1 2; do
  timeout 300 "$wine" wineboot.exe -i >/dev/null 2>&1 && break
  echo "wine scenarios: wineboot -i failed, trying a fresh prefix"
  stop_wine
  rm -rf "$WINEPREFIX"
done
[ -d "$WINEPREFIX" ] || must 300 "$wine" wineboot.exe -i
# One persistent server on the real clock: one a program starts itself shuts
# down when that program ends and now and then kills it mid-exit (status
# 137); it also gives a program under faketime real timeouts.
timeout 60 wineserver -w
wineserver -p
# Wine's services start with the first program and live as long as the
# server; started from a scenario they would inherit the pipe faketime waits
# on, and faketime would wait for ever.  So they start here.
must 120 "$wine" cmd.exe /c exit 0
# Only rousel.exe is told it runs on Windows 98; Wine's own programs and the
# console driver stay on NT.
[ "$platform" = 1 ] &&
  must 120 "$wine" reg add 'HKCU\Software\Wine\AppDefaults\rousel.exe' /v Version /d win98 /f

# The program's Wine channels: none, or the port I/O, the interrupt
# emulation, the console's scrolls and the calls of kernel32's power
# functions (relayed: only those four), timed.
debug=-all
if $trace; then
  debug=+timestamp,+int,+io,+console,+relay
  must 120 "$wine" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
    /d 'SetThreadExecutionState;CreateWaitableTimerA;SetWaitableTimer;CancelWaitableTimer' /f
fi
# The program, or the console driver on it, with the time zone and the trace
# file of the scenario at hand.  NO_FAKE_STAT: with shifted file times Wine
# would rebuild the prefix.
: >"$work/tz"
cat >"$work/rousel" <<WRAPPER
#!/bin/sh
[ -s '$work/tz' ] && TZ=\$(cat '$work/tz') && export TZ
exec env WINEPREFIX='$WINEPREFIX' ${WINELOADER:+WINELOADER='$WINELOADER'} WINEDEBUG='$debug' WINEDLLOVERRIDES='$WINEDLLOVERRIDES' \
  LC_ALL=C.UTF-8 NO_FAKE_STAT=1 '$wine' ${driver:+'$driver'} '$exe' "\$@" 2>>"\$(cat '$work/trace-to')"
WRAPPER
chmod +x "$work/rousel"

export E2E_TIMEOUT=${E2E_TIMEOUT:-60}

# arrange_clock COPY: where faketime cannot reach, "start-at HH:MM:SS"
# becomes a plain start at that second of a real minute, the time zone
# making the hour and minute (Wine takes TZ in whole minutes).  One second
# early, for Wine's start-up.
arrange_clock() {
  : >"$work/tz"
  local at
  at=$(sed -n 's/^start-at //p' "$1" | head -n 1)
  { [ -z "$at" ] || $faketime; } && return 0
  sed -i 's/^start-at .*/start/' "$1"
  local hh=$((10#${at:0:2})) mm=$((10#${at:3:2})) ss=$((10#${at:6:2}))
  local second=$(((ss + 59) % 60))
  until [ "$((10#$(date +%S)))" -eq "$second" ]; do sleep 0.05; done
  local now offset
  now=$(date -u +%H:%M)
  offset=$(((hh * 60 + mm - 10#${now:0:2} * 60 - 10#${now:3:2} + 2880) % 1440))
  printf 'RSL-%d:%02d\n' $((offset / 60)) $((offset % 60)) >"$work/tz"
}

# run_once NAME SCENARIO TRACE: one run, through the terminal or through the
# console driver; its output in $work/NAME.log, its trace in $work/TRACE.
run_once() {
  local copy=$work/$1.scn
  # The tone is Beep or the speaker ports, which Wine sounds nowhere a test
  # can capture (the ports are checked in the trace instead).
  grep -vE '^(capture|expect)-tone( |$)' "$2" >"$copy"
  : >"$work/$3"
  echo "$work/$3" >"$work/trace-to"
  arrange_clock "$copy"
  if [ -z "$driver" ]; then
    python3 "$e2e/scenario.py" --wine "$work/rousel" "$copy" >"$work/$1.log" 2>&1
    return
  fi
  # The driver needs a console, which Wine gives it on a terminal.
  rm -f "$work/$1.rc"
  tmux -L "rousel-driver-$$" -f /dev/null new-session -d -x 80 -y 25 \
    "'$work/rousel' '$copy' >'$work/$1.log'; echo \$? >'$work/$1.rc'"
  timeout 300 sh -c "until [ -s '$work/$1.rc' ]; do sleep 0.2; done"
  tmux -L "rousel-driver-$$" kill-server >/dev/null 2>&1
  [ -s "$work/$1.rc" ] || { echo "the driver did not finish" >>"$work/$1.log"; return 1; }
  return "$(cat "$work/$1.rc")"
}

passed=0 failed=0 skipped=0 traces=()
for scenario in "${scenarios[@]}"; do
  name=$(basename "$scenario" .scn)
  if [ -n "${not_here[$name]:-}" ]; then
    echo "skipped: $name (${not_here[$name]})"
    skipped=$((skipped + 1))
    continue
  fi
  # A program whose console goes away mid-tone leaves the gate open.
  tracefile=$name.trace
  grep -q '^kill-pane' "$scenario" && tracefile=$name.killed.trace
  # Wine itself now and then kills a program while it exits ("Killed",
  # status 137) on a busy machine.  A scenario gets one more run, so that a
  # failure means the Windows build behaves differently, not that Wine
  # stumbled; both runs' logs are shown when the second fails too.
  : >"$work/$name.first.log"
  run_once "$name" "$scenario" "$tracefile"
  status=$?
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
    mv "$work/$name.log" "$work/$name.first.log"
    run_once "$name" "$scenario" "$tracefile"
    status=$?
    [ "$status" -eq 0 ] && echo "passed on the second run: $name (first run: $(head -n 1 "$work/$name.first.log"))"
  fi
  case $status in
    0) echo "passed: $name"; passed=$((passed + 1)); traces+=("$tracefile") ;;
    77) echo "skipped: $name ($(grep -m1 '^SKIP' "$work/$name.log" || echo 'by the harness'))"
        skipped=$((skipped + 1)) ;;
    *) echo "FAILED: $name"; cat "$work/$name.first.log" "$work/$name.log" | sed 's/^/    /'
       failed=$((failed + 1)) ;;
  esac
done

echo "wine: $passed passed, $failed failed, $skipped skipped"
if $trace && [ ${#traces[@]} -gt 0 ]; then
  echo "wine: the ports, the scrolls and the power calls in Wine's trace, as platform $platform"
  # The rhythm from the terminal runs, whose ringing goes on long enough.
  [ "$platform" = 1 ] && [ -z "$driver" ] && traces+=(--rhythm)
  (cd "$work" && python3 "$here/check-trace.py" --platform "$platform" "${traces[@]}") ||
    failed=$((failed + 1))
fi
[ "$failed" -eq 0 ]
