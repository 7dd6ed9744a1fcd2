#!/usr/bin/env bash
# Runs one scenario file against the program in a tmux pane.
#   run_scenario.sh PROGRAM SCENARIO
# Exit status 0 passed, 1 failed, 77 skipped (no tmux, or a tool a step
# needs).
#
# A scenario is data, one step a line ("#" starts a comment); the same
# files can drive another backend that provides lib.sh's e2e_* functions.
#   start                      run the program in the pane
#   start-piped                run it with standard input from /dev/null
#   start-at HH:MM:SS          run it with the clock starting at that time (faketime)
#   keys KEY...                tmux key names: 0 Enter Escape BSpace M-x ...
#   type TEXT                  the rest of the line, literally
#   expect TEXT                the screen shows TEXT somewhere
#   expect-row N TEXT          row N (1-based) reads TEXT (trailing blanks cut)
#   expect-title TEXT          the window title is TEXT
#   expect-colour SGR TEXT     TEXT is shown in foreground SGR colour (37, 97, ...)
#   exit CODE                  the program ended with status CODE
#   terminal-restored          terminal mode, cursor and screen as before the program
#   signal NAME                send the program SIGNAME
#   kill-pane                  the terminal goes away; the program must end
#   resize COLUMNS ROWS        the terminal changes its size
#   pause MS                   let MS milliseconds pass (only to space keys apart)
#   capture-tone               later starts send ALSA's "default" into a file
#   expect-tone HZ MS          the captured tones have that pitch and length
#   use FILE                   load more steps from FILE (beside this script):
#                              a step "some-verb" runs e2e_step_some_verb
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

[ $# -eq 2 ] || { echo "usage: $0 PROGRAM SCENARIO" >&2; exit 2; }
scenario=$2
[ -r "$scenario" ] || { echo "no scenario $scenario" >&2; exit 2; }

e2e_init "$1"
E2E_ENV=""
while IFS= read -r line || [ -n "$line" ]; do
  line=${line%$'\r'}
  case "$line" in '' | '#'*) continue ;; esac
  E2E_STEP=$line
  verb=${line%% *}
  rest=""
  [ "$verb" != "$line" ] && rest=${line#* }
  case "$verb" in
    start) e2e_start "" ${E2E_ENV:+env $E2E_ENV} ;;
    start-piped) e2e_start "</dev/null" ${E2E_ENV:+env $E2E_ENV} ;;
    start-at)
      command -v faketime >/dev/null 2>&1 || e2e_skip "faketime is not installed (Debian package faketime)"
      # The sanitizer runtime must otherwise be the first library loaded.
      e2e_start "" env $E2E_ENV ASAN_OPTIONS=verify_asan_link_order=0 FAKETIME_DONT_FAKE_MONOTONIC=1 faketime -f "'@2026-01-05 $rest'" ;;
    pause) sleep "$(awk -v ms="$rest" 'BEGIN { printf "%.3f", ms / 1000 }')" ;;
    capture-tone)
      E2E_TONE=$E2E_DIR/tone.raw
      E2E_ENV="ALSA_CONFIG_PATH=$here/../data/alsa/asound.conf ROUSEL_TONE_CAPTURE=$E2E_TONE" ;;
    expect-tone)
      [ -s "${E2E_TONE:-/nonexistent}" ] || e2e_skip "no tone was captured (a build without ALSA?)"
      read -r hz ms <<<"$rest"
      python3 "$here/tone_check.py" "$E2E_TONE" "$hz" "$ms" || e2e_fail "the captured tone" ;;
    keys) read -r -a names <<<"$rest"; e2e_keys "${names[@]}" ;;
    type) e2e_type "$rest" ;;
    expect) e2e_wait_until "\"$rest\" on the screen" e2e_screen_has "$rest" ;;
    expect-row)
      row=${rest%% *}
      text=""
      [ "$row" != "$rest" ] && text=${rest#* }
      e2e_wait_until "row $row to read \"$text\"" e2e_row_is "$row" "$text" ;;
    expect-title) e2e_wait_until "the title \"$rest\"" e2e_title_is "$rest" ;;
    expect-colour)
      colour=${rest%% *}
      e2e_wait_until "\"${rest#* }\" in colour $colour" e2e_colour_is "$colour" "${rest#* }" ;;
    exit) e2e_exit_status_is "$rest" ;;
    terminal-restored) e2e_terminal_restored ;;
    signal) e2e_signal "$rest" ;;
    kill-pane) e2e_kill_pane ;;
    resize) read -r columns rows <<<"$rest"; e2e_resize "$columns" "$rows" ;;
    # shellcheck disable=SC1090
    use) source "$here/$rest" ;;
    *)
      step=e2e_step_${verb//-/_}
      declare -F "$step" >/dev/null || e2e_fail "unknown step"
      "$step" "$rest" ;;
  esac
done <"$scenario"
E2E_STEP=""
echo "passed: $(basename "$scenario")"
exit 0
