# shellcheck shell=bash
# What the end-to-end harness (tests/e2e/lib.sh) needs changed to drive the
# Windows build under Wine rather than the terminal stand-in.  Sourced right
# after lib.sh; everything not redefined here is lib.sh's own.  Each change
# answers a way in which Wine's terminal console differs from a Windows
# console, not a difference in the program.

e2e_pane_tty() { e2e_tmux display-message -p -t e2e '#{pane_tty}'; }
e2e_program_running() { [ -n "$E2E_DIR" ] && [ -s "$E2E_DIR/pid" ] && [ ! -s "$E2E_DIR/rc" ]; }

# Wine's console host puts the terminal into raw mode only when the program
# first asks for input, a moment after it has set its title and drawn its
# first screen.  A key typed before that goes through the terminal's line
# discipline (echoed, Enter turned into a line feed) where a Windows console
# would have queued it; so keys wait for raw mode.
e2e_terminal_raw() { stty -F "$(e2e_pane_tty)" -a 2>/dev/null | grep -q -- '-icanon'; }
e2e_wait_for_raw() {
  e2e_program_running || return 0
  e2e_wait_until "Wine's console to take keys" e2e_terminal_raw
}

# Wine's console host leaves ISIG on, so Ctrl+\ raises SIGQUIT, which Wine
# answers by ending the program's thread; on a Windows console it is an
# ordinary key.  It is not sent here; the other keys of the step are.
e2e_keys() {
  local key keys=()
  for key in "$@"; do
    case "$key" in
      C-\\*) e2e_log "note: $key not sent: under Wine it is SIGQUIT, not a key" ;;
      *) keys+=("$key") ;;
    esac
  done
  [ ${#keys[@]} -gt 0 ] || return 0
  e2e_wait_for_raw
  e2e_tmux send-keys -t e2e "${keys[@]}"
}

e2e_type() {
  e2e_wait_for_raw
  e2e_tmux send-keys -t e2e -l -- "$1"
}

# Wine shows the console's default attribute 7 (light grey on black) in the
# terminal's default colours (SGR 39), where the terminal stand-in names the
# colour (SGR 37).  Both are the program's grey.
e2e_colour_is() {
  local seen
  seen=$(e2e_colour_of "$2") || return 1
  [ "$seen" = "$1" ] || { [ "$1" = 37 ] && [ "$seen" = 39 ]; }
}

# The console host, a process of its own, restores the terminal mode once
# the last program using it has gone, which can be a moment after the
# program's own process has ended and the shell has read the mode.  So the
# mode is read again from the shell until it is the one from before the
# start, or the time is up.
e2e_mode_as_before() {
  rm -f "$E2E_DIR/stty.again"
  e2e_tmux send-keys -t e2e -l "stty -g >$E2E_DIR/stty.again.new; mv $E2E_DIR/stty.again.new $E2E_DIR/stty.again"
  e2e_tmux send-keys -t e2e Enter
  local tries=0
  until [ -s "$E2E_DIR/stty.again" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || return 1
    sleep 0.05
  done
  cmp -s "$E2E_DIR/stty.before" "$E2E_DIR/stty.again"
}

e2e_cursor_shown_on_normal_screen() {
  [ "$(e2e_tmux display-message -p -t e2e '#{cursor_flag} #{alternate_on}')" = "1 0" ]
}

e2e_terminal_restored() {
  e2e_wait_until "the program to end" test -s "$E2E_DIR/rc"
  if ! cmp -s "$E2E_DIR/stty.before" "$E2E_DIR/stty.after"; then
    e2e_wait_until "the terminal mode from before the program ($(cat "$E2E_DIR/stty.before"))" \
      e2e_mode_as_before
  fi
  e2e_wait_until "the cursor shown on the normal screen" e2e_cursor_shown_on_normal_screen
}
