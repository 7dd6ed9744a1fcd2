# shellcheck shell=bash
# Sourced after tests/e2e/lib.sh to drive the Windows build under Wine.  Each
# change answers a way Wine's terminal console differs from a Windows one.

e2e_pane_tty() { e2e_tmux display-message -p -t e2e '#{pane_tty}'; }
e2e_program_running() { [ -n "$E2E_DIR" ] && [ -s "$E2E_DIR/pid" ] && [ ! -s "$E2E_DIR/rc" ]; }

# Wine's console host makes the terminal raw only when the program first asks
# for input; a key typed before that would be echoed by the line discipline
# where a Windows console queues it.  So keys wait for raw mode.
e2e_terminal_raw() { stty -F "$(e2e_pane_tty)" -a 2>/dev/null | grep -q -- '-icanon'; }
e2e_wait_for_raw() {
  e2e_program_running || return 0
  e2e_wait_until "Wine's console to take keys" e2e_terminal_raw
}

# Wine leaves ISIG on, so Ctrl+\ would be SIGQUIT, ending the program's
# thread; on a Windows console it is an ordinary key.  It is not sent.
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

# Wine shows attribute 7 as the default colour (SGR 39), the stand-in as
# SGR 37: both are the program's grey.
e2e_colour_is() {
  local seen
  seen=$(e2e_colour_of "$2") || return 1
  [ "$seen" = "$1" ] || { [ "$1" = 37 ] && [ "$seen" = 39 ]; }
}

# The console host restores the terminal mode a moment after the program has
# ended, maybe after the shell read it: read it again until it is restored.
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
