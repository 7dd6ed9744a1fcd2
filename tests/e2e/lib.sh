# End-to-end harness: runs the program in a real terminal (a tmux pane of a
# private tmux server, 80x25), types into it and reads the screen back.
# Source it from bash.  Every wait polls against a deadline; nothing sleeps
# a fixed time hoping the program has caught up.
#
# The scenario steps (run_scenario.sh) only call the e2e_* functions below,
# so another terminal backend can run the same scenarios by providing them.

E2E_TIMEOUT=${E2E_TIMEOUT:-15}   # seconds any one expectation may take
E2E_COLUMNS=80
E2E_ROWS=25
E2E_SOCKET="rousel-e2e-$$"
E2E_DIR=""
E2E_PROGRAM=""
E2E_STEP=""

# tmux on the private server, never the user's.
e2e_tmux() { tmux -L "$E2E_SOCKET" -f /dev/null "$@"; }

e2e_log() { printf '%s\n' "$*" >&2; }

e2e_fail() {
  e2e_log "FAIL${E2E_STEP:+ at step: $E2E_STEP}: $*"
  e2e_log "--- screen ---"
  e2e_tmux capture-pane -p -t e2e >&2 2>/dev/null || true
  e2e_log "--------------"
  exit 1
}

e2e_skip() {
  e2e_log "SKIP: $*"
  exit 77
}

e2e_cleanup() {
  local status=$?
  e2e_tmux kill-server >/dev/null 2>&1 || true
  if [ -n "$E2E_DIR" ] && [ -f "$E2E_DIR/pid" ]; then
    kill -KILL "$(cat "$E2E_DIR/pid")" >/dev/null 2>&1 || true
  fi
  [ -n "$E2E_DIR" ] && rm -rf "$E2E_DIR" 2>/dev/null
  exit "$status"
}

# e2e_init PROGRAM: a fresh pane with a plain shell, ready for the program.
e2e_init() {
  E2E_PROGRAM=$1
  command -v tmux >/dev/null 2>&1 || e2e_skip "tmux is not installed (Debian package tmux)"
  [ -x "$E2E_PROGRAM" ] || e2e_fail "no program at $E2E_PROGRAM"
  E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/rousel-e2e.XXXXXX")
  trap e2e_cleanup EXIT
  # A plain shell with a known prompt, in a UTF-8 locale so that code page
  # 866 glyphs show as themselves.
  e2e_tmux new-session -d -s e2e -x "$E2E_COLUMNS" -y "$E2E_ROWS" \
    env -i PATH="$PATH" HOME=/nonexistent HISTFILE=/dev/null LANG=C.UTF-8 TERM=screen PS1='$ ' \
    ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" TSAN_OPTIONS="${TSAN_OPTIONS:-}" \
    bash --norc --noprofile || e2e_fail "tmux could not start"
  e2e_tmux set-option -t e2e status off >/dev/null
  e2e_wait_until "the shell's prompt" e2e_screen_has '$'
}

# e2e_wait_until WHAT COMMAND...: polls COMMAND until it succeeds.
e2e_wait_until() {
  local what=$1
  shift
  local deadline=$((SECONDS + E2E_TIMEOUT))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "waited ${E2E_TIMEOUT}s for $what"
    sleep 0.05
  done
}

e2e_screen() { e2e_tmux capture-pane -p -t e2e; }
e2e_screen_has() { e2e_screen | grep -qF -- "$1"; }
# Row N (1-based), trailing blanks cut.
e2e_row() { e2e_screen | sed -n "${1}p" | sed 's/[[:space:]]*$//'; }
e2e_row_is() { [ "$(e2e_row "$1")" = "$2" ]; }
e2e_title() { e2e_tmux display-message -p -t e2e '#{pane_title}'; }
e2e_title_is() { [ "$(e2e_title)" = "$1" ]; }

# The colour a text is shown in: the last SGR foreground (30-37, 90-97; 39
# or 0 for the default) before its first appearance in the screen with
# escapes (capture-pane -e).
e2e_colour_of() {
  e2e_tmux capture-pane -p -e -t e2e | perl -e '
    my $text = shift; local $/; my $s = <STDIN>;
    my $at = index($s, $text); exit 1 if $at < 0;
    my $fg = "39";
    my $before = substr($s, 0, $at);
    while ($before =~ /\e\[([0-9;]*)m/g) {
      for my $p (split(/;/, $1 eq "" ? "0" : $1)) {
        $fg = $p if ($p >= 30 && $p <= 37) || ($p >= 90 && $p <= 97) || $p == 39;
        $fg = "39" if $p == 0;
      }
    }
    print "$fg\n";' "$1"
}
e2e_colour_is() { [ "$(e2e_colour_of "$2")" = "$1" ]; }

# e2e_start [REDIRECTION] [WRAPPER...]: runs the program from the pane's
# shell, noting the terminal mode before and after, its pid and its status.
e2e_start() {
  local redirect=$1
  shift
  local wrapper="$*"
  rm -f "$E2E_DIR/pid" "$E2E_DIR/rc" "$E2E_DIR/stty.before" "$E2E_DIR/stty.after"
  e2e_tmux send-keys -t e2e -l "clear; stty -g >$E2E_DIR/stty.before; $wrapper sh -c 'echo \$\$ >\"\$1\"; exec \"\$2\"' sh $E2E_DIR/pid $E2E_PROGRAM $redirect; rc=\$?; stty -g >$E2E_DIR/stty.after; echo \$rc >$E2E_DIR/rc.new; mv $E2E_DIR/rc.new $E2E_DIR/rc"
  e2e_tmux send-keys -t e2e Enter
  e2e_wait_until "the program to start" test -s "$E2E_DIR/pid"
}

e2e_keys() { e2e_tmux send-keys -t e2e "$@"; }
e2e_type() { e2e_tmux send-keys -t e2e -l -- "$1"; }

e2e_pid() { cat "$E2E_DIR/pid"; }

e2e_exit_status_is() {
  e2e_wait_until "the program to end" test -s "$E2E_DIR/rc"
  local rc
  rc=$(cat "$E2E_DIR/rc")
  [ "$rc" = "$1" ] || e2e_fail "exit status $rc, expected $1"
}

# The terminal as the user had it: same stty settings, cursor visible,
# normal screen.
e2e_terminal_restored() {
  e2e_wait_until "the program to end" test -s "$E2E_DIR/rc"
  cmp -s "$E2E_DIR/stty.before" "$E2E_DIR/stty.after" ||
    e2e_fail "terminal mode changed: $(cat "$E2E_DIR/stty.before") -> $(cat "$E2E_DIR/stty.after")"
  local flags
  flags=$(e2e_tmux display-message -p -t e2e '#{cursor_flag} #{alternate_on}')
  [ "$flags" = "1 0" ] || e2e_fail "cursor visible / alternate screen: $flags, expected 1 0"
}

e2e_resize() { e2e_tmux resize-window -t e2e -x "$1" -y "$2" || e2e_fail "could not resize"; }

e2e_signal() { kill -s "$1" "$(e2e_pid)" || e2e_fail "could not send SIG$1"; }

# Kills the pane (the terminal goes away); the program must end promptly.
e2e_kill_pane() {
  local pid
  pid=$(e2e_pid)
  e2e_tmux kill-pane -t e2e
  e2e_wait_until "process $pid to end after its terminal went away" e2e_gone "$pid"
}
# Gone, or a zombie nobody has reaped yet (it runs no more either way).
e2e_gone() {
  ! kill -0 "$1" 2>/dev/null && return 0
  [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = "Z" ]
}
