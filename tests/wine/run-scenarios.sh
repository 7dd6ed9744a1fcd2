#!/usr/bin/env bash
# Runs the end-to-end scenarios on a Windows build under Wine, in a tmux pane
# so that Wine uses its terminal console: a difference between it and the
# terminal stand-in shows up as a failing scenario.  One fresh Wine prefix
# per run.  Exit status: 0 all passed, 1 some failed, 77 Wine or tmux missing.
#   tests/wine/run-scenarios.sh PATH/TO/rousel.exe [SCENARIO.scn...]
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
e2e=$root/tests/e2e

[ $# -ge 1 ] || { echo "usage: $0 PATH/TO/rousel.exe [SCENARIO.scn...]" >&2; exit 2; }
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
[ -f "$exe" ] || { echo "no program at $exe" >&2; exit 2; }
for tool in wine wineboot wineserver tmux; do
  command -v "$tool" >/dev/null 2>&1 || { echo "wine scenarios: skipped: no $tool (Debian: wine, wine64, tmux)"; exit 77; }
done

scenarios=("$@")
[ $# -gt 0 ] || scenarios=("$e2e"/scenarios/*.scn)

# Scenarios about the terminal stand-in itself, or where Wine's terminal
# console does not behave as a Windows console: the name, then why.
no_tty="the stand-in's refusal of a standard input or output that is no terminal"
signals="POSIX signals to the stand-in's process"
job_control="job control of the stand-in's process and its ALSA tone"
wraps="Wine draws its 80-column buffer into a narrower terminal, which wraps the rows"
declare -A not_here=(
  [not_a_terminal]=$no_tty [hostile_redirected]=$no_tty
  [sighup]=$signals [sigterm]=$signals
  [hostile_sighup_every_phase]=$signals [hostile_sigterm_every_phase]=$signals
  [hostile_suspend_ringing]=$job_control [hostile_stop_signal]=$job_control
  [hostile_suspend_wrapped]=$job_control
  [hostile_ascii_locale]="the stand-in's transliteration for a locale that is not UTF-8"
  [hostile_term_types]="the sequences the stand-in writes for each terminal type"
  [hostile_tiny_panes]=$wraps [resize]=$wraps [hostile_resize_waiting_ringing]=$wraps
)

work=$(mktemp -d "${TMPDIR:-/tmp}/rousel-wine.XXXXXX")
# No Mono or Gecko: wineboot neither downloads nor asks.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  timeout 60 wineserver -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# must SECONDS COMMAND...: runs it, or shows its output and gives up.
must() {
  timeout "$@" >"$work/must.log" 2>&1 && return
  echo "wine scenarios: $2 failed:" >&2
  cat "$work/must.log" >&2
  exit 1
}
echo "wine scenarios: making a Wine prefix"
# On a busy machine wineboot now and then fails to start one of its own
# helper programs ("ShellExecuteEx failed"); a fresh prefix then works.
for attempt in 1 2 3; do
  timeout 300 wineboot -i >"$work/must.log" 2>&1 && break
  wineserver -k >/dev/null 2>&1 || true
  timeout 60 wineserver -w >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  if [ "$attempt" -eq 3 ]; then
    echo "wine scenarios: wineboot -i failed three times:" >&2
    cat "$work/must.log" >&2
    exit 1
  fi
  echo "wine scenarios: wineboot -i failed, trying a fresh prefix"
done
# One persistent server on the real clock: one a program starts itself shuts
# down when that program ends and now and then kills it mid-exit (status
# 137); it also gives a program under faketime real timeouts.
timeout 60 wineserver -w
wineserver -p
# Wine's services start with the first program and live as long as the
# server; started from a scenario they would inherit the pipe faketime waits
# on, and faketime would wait for ever.  So they start here.
must 120 wine cmd.exe /c exit 0

# NO_FAKE_STAT: with shifted file times Wine would rebuild the prefix.
cat >"$work/rousel" <<EOF
#!/bin/sh
exec env WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEDLLOVERRIDES='$WINEDLLOVERRIDES' \
  LC_ALL=C.UTF-8 NO_FAKE_STAT=1 wine '$exe' "\$@"
EOF
chmod +x "$work/rousel"

# The harness as a tree of links whose lib.sh adds the Wine changes.
harness=$work/tests/e2e
mkdir -p "$harness"
for entry in "$e2e"/*; do
  [ "$(basename "$entry")" = lib.sh ] || ln -s "$entry" "$harness/"
done
for entry in "$root"/tests/*; do
  [ "$(basename "$entry")" = e2e ] || ln -s "$entry" "$work/tests/"
done
printf 'source %q\nsource %q\n' "$e2e/lib.sh" "$here/backend.sh" >"$harness/lib.sh"

export E2E_TIMEOUT=${E2E_TIMEOUT:-60}

passed=0 failed=0 skipped=0
mkdir "$work/scenarios"
for scenario in "${scenarios[@]}"; do
  name=$(basename "$scenario" .scn)
  if [ -n "${not_here[$name]:-}" ]; then
    echo "skipped: $name (${not_here[$name]})"
    skipped=$((skipped + 1))
    continue
  fi
  # The tone is Beep, which Wine sounds nowhere a test can capture.
  copy=$work/scenarios/$name.scn
  grep -vE '^(capture|expect)-tone( |$)' "$scenario" >"$copy"
  bash "$harness/run_scenario.sh" "$work/rousel" "$copy" >"$work/$name.log" 2>&1
  status=$?
  # Wine itself now and then kills a program while it exits ("Killed",
  # status 137) on a busy machine.  A scenario gets one more run, so that a
  # failure means the Windows build behaves differently, not that Wine
  # stumbled; both runs' logs are shown when the second fails too.
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
    mv "$work/$name.log" "$work/$name.first.log"
    bash "$harness/run_scenario.sh" "$work/rousel" "$copy" >"$work/$name.log" 2>&1
    status=$?
    if [ "$status" -eq 0 ]; then
      echo "passed on the second run: $name (first run:"
      sed 's/^/    /' "$work/$name.first.log" | head -n 3
      echo "    ...)"
    else
      cat "$work/$name.first.log" "$work/$name.log" >"$work/$name.both.log"
      mv "$work/$name.both.log" "$work/$name.log"
    fi
  fi
  case $status in
    0) echo "passed: $name"; passed=$((passed + 1)) ;;
    77) echo "skipped: $name ($(grep -m1 '^SKIP' "$work/$name.log" || echo 'by the harness'))"
        skipped=$((skipped + 1)) ;;
    *) echo "FAILED: $name"; sed 's/^/    /' "$work/$name.log"; failed=$((failed + 1)) ;;
  esac
done

echo "wine: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
