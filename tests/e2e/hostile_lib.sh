# Steps for the scenarios that treat the program roughly (hostile_*.scn):
# odd environments and redirections, a terminal that shrinks, stops the
# program or goes away, and checks of everything the program wrote to the
# terminal.  A scenario loads them with the line "use hostile_lib.sh"; step
# "some-verb REST" runs e2e_step_some_verb "REST".  Like lib.sh, every wait
# polls against a deadline.
#
#   start-env WORD...         start the program with extra environment
#                             (NAME=VALUE, -u NAME), a clock start time
#                             (at=HH:MM:SS, through faketime) and
#                             redirections (<FILE, >FILE, 2>FILE; @ stands
#                             for the scenario's own temporary directory)
#   record-output             from now on keep every byte the pane receives
#   expect-clean-output [ascii]
#                             what the program wrote holds no control byte a
#                             terminal would act on (ascii: and no byte above
#                             127), and every time it left the terminal it
#                             sent the whole restore sequence
#   expect-plain-colours      the screen shows nothing in a colour of the
#                             program's (the shell's prompt after it is plain)
#   expect-normal-screen      normal screen and a visible cursor (the program
#                             handed the terminal back but may still live)
#   expect-process STATE      running, stopped or gone
#   expect-cpu-below PCT SEC  the program used under PCT % of a CPU in SEC s
#   kill-pane-within MS       the pane dies; the program must be gone in MS
#   expect-tone-growing MS    the captured tone sounds within MS
#   expect-tone-still MS      the captured tone is silent (or stopped) for MS
#   start-wrapped [NAME=VALUE...]
#                             start it from a script of the user's
#   resume-in-foreground      fg at the shell after a stop, recording the
#                             program's real end
#   type-alarm-at MINUTES     types the local time MINUTES from now as HHMM
#                             (0: the current minute, which rings at once)
#   expect-file-empty FILE    FILE (@ as above) exists and is empty

# --- starting --------------------------------------------------------------
e2e_step_start_env() {
  local word redirect="" envs=() at=""
  for word in $1; do
    word=${word//@/$E2E_DIR}
    case "$word" in
      at=*) at=${word#at=} ;;
      '<'* | '>'* | 2'>'*) redirect="$redirect $word" ;;
      *) envs+=("$word") ;;
    esac
  done
  local wrapper=(env $E2E_ENV "${envs[@]}")
  if [ -n "$at" ]; then
    command -v faketime >/dev/null 2>&1 || e2e_skip "faketime is not installed (Debian package faketime)"
    wrapper+=(ASAN_OPTIONS=verify_asan_link_order=0 FAKETIME_DONT_FAKE_MONOTONIC=1
              faketime -f "'@2026-01-05 $at'")
  fi
  e2e_start "$redirect" "${wrapper[@]}"
}

# The program as the child of a script of the user's: Ctrl+Z stops the
# script at once, and the shell takes the terminal back while the program
# is still handing it back.  The script records the status and the mode
# once the program has really ended.
e2e_step_start_wrapped() {
  local wrapper=$E2E_DIR/wrapper.sh
  {
    printf '%s\n' "sh -c 'echo \$\$ >\"\$1\"; exec \"\$2\"' sh '$E2E_DIR/pid' '$E2E_PROGRAM'"
    printf '%s\n' 'rc=$?' "stty -g >'$E2E_DIR/stty.after'" "echo \$rc >'$E2E_DIR/rc.new'"
    printf '%s\n' "mv '$E2E_DIR/rc.new' '$E2E_DIR/rc'" 'exit $rc'
  } >"$wrapper"
  rm -f "$E2E_DIR/pid" "$E2E_DIR/rc" "$E2E_DIR/stty.before" "$E2E_DIR/stty.after"
  e2e_tmux send-keys -t e2e -l "clear; stty -g >$E2E_DIR/stty.before; env $E2E_ENV $1 sh $wrapper"
  e2e_tmux send-keys -t e2e Enter
  e2e_wait_until "the program to start" test -s "$E2E_DIR/pid"
}

# fg at the shell's prompt after a stop.  When the job stopped the shell
# went on with the line that started the program, recording the stop as
# its status; this records the real end instead.
e2e_step_resume_in_foreground() {
  rm -f "$E2E_DIR/rc" "$E2E_DIR/stty.after"
  e2e_type "fg; rc=\$?; stty -g >$E2E_DIR/stty.after; echo \$rc >$E2E_DIR/rc.new; mv $E2E_DIR/rc.new $E2E_DIR/rc"
  e2e_keys Enter
}

# The local time MINUTES from now, typed as the four digits of the time
# field.  Late in a minute it first waits for the next one, so that an
# alarm for the current minute is still current when the program reads the
# clock.  The pane's shell has no TZ, so neither has date here.
e2e_step_type_alarm_at() {
  local minutes=${1:-0}
  while [ "$(env -u TZ date +%S)" -ge 55 ]; do sleep 0.2; done
  e2e_type "$(env -u TZ date -d "+$minutes minutes" +%H%M)"
}

# --- the process -----------------------------------------------------------
# One letter of /proc/PID/stat: R running, S sleeping, T stopped, Z zombie.
e2e_process_state() {
  local pid
  pid=$(e2e_pid)
  if e2e_gone "$pid"; then
    echo gone
    return
  fi
  case "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" in
    T | t) echo stopped ;;
    '') echo gone ;;
    *) echo running ;;
  esac
}
e2e_process_is() { [ "$(e2e_process_state)" = "$1" ]; }

e2e_step_expect_process() {
  case "$1" in
    running | stopped | gone) ;;
    *) e2e_fail "no such process state: $1" ;;
  esac
  e2e_wait_until "the program to be $1" e2e_process_is "$1"
}

# CPU time (user + system) of the program in clock ticks.
e2e_cpu_ticks() {
  awk '{print $14 + $15}' "/proc/$(e2e_pid)/stat" 2>/dev/null || echo 0
}

e2e_step_expect_cpu_below() {
  local percent seconds before after hz used
  read -r percent seconds <<<"$1"
  hz=$(getconf CLK_TCK)
  before=$(e2e_cpu_ticks)
  sleep "$seconds"
  after=$(e2e_cpu_ticks)
  used=$(awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%d", 100 * t / hz / s }')
  [ "$used" -lt "$percent" ] || e2e_fail "the program used ${used}% of a CPU over ${seconds}s"
}

# The terminal goes away; the program must notice and end at once (it must
# not hang or spin on a dead terminal).
e2e_step_kill_pane_within() {
  local pid deadline
  pid=$(e2e_pid)
  e2e_tmux kill-pane -t e2e
  deadline=$(($(date +%s%N) / 1000000 + $1))
  until e2e_gone "$pid"; do
    [ "$(($(date +%s%N) / 1000000))" -lt "$deadline" ] ||
      e2e_fail "process $pid still there $1 ms after its terminal went away (state $(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null))"
    sleep 0.02
  done
}

# --- the screen ------------------------------------------------------------
e2e_normal_screen() {
  [ "$(e2e_tmux display-message -p -t e2e '#{alternate_on} #{cursor_flag}')" = "0 1" ]
}
e2e_step_expect_normal_screen() {
  e2e_wait_until "the normal screen with a visible cursor" e2e_normal_screen
}

# No colour left behind: the screen with its attributes holds no SGR but
# the resets (tmux writes the attributes of every cell that has any).
e2e_plain_colours() {
  local screen
  screen=$(e2e_tmux capture-pane -p -e -t e2e)
  printf '%s\n' "$screen" | perl -ne '
    while (/\e\[([0-9;:]*)m/g) {
      for my $p (split /[;:]/, $1) { $coloured = 1 if $p ne "" && $p != 0 && $p != 39 && $p != 49; }
    }
    END { exit($coloured ? 1 : 0) }'
}
e2e_step_expect_plain_colours() {
  e2e_wait_until "a screen without the program's colours" e2e_plain_colours
}

e2e_step_expect_file_empty() {
  local file=${1//@/$E2E_DIR}
  [ -e "$file" ] || e2e_fail "no file $file"
  [ ! -s "$file" ] || e2e_fail "$file holds: $(head -c 200 "$file" | od -c | head -n 3)"
}

# --- the bytes sent to the terminal ------------------------------------------
e2e_step_record_output() {
  E2E_STREAM=$E2E_DIR/stream
  : >"$E2E_STREAM"
  e2e_tmux pipe-pane -t e2e "cat >>'$E2E_STREAM'" || e2e_fail "tmux could not record the pane"
}

# Checks every stretch of output between the program taking the terminal
# (DECSET 1049) and handing it back (DECRST 1049): escape sequences are
# complete CSI or OSC, the only other control bytes are CR and BEL, text is
# valid UTF-8 without C1 controls (or plain ASCII), and each hand-back is the
# whole restore sequence: colours reset, cursor shown, autowrap on, normal
# screen, saved title back.  Waits for the program to end first.
e2e_step_expect_clean_output() {
  [ -n "${E2E_STREAM:-}" ] || e2e_fail "expect-clean-output needs record-output before the start"
  e2e_wait_until "the program to end" test -s "$E2E_DIR/rc"
  # The pane's pipe may trail the program's last write by a moment.
  e2e_wait_until "the restore sequence in the recorded output" \
    grep -qF $'\e[?1049l' "$E2E_STREAM"
  python3 - "$E2E_STREAM" "${1:-utf8}" <<'PY' || e2e_fail "the program's output to the terminal (above)"
import re, sys
data = open(sys.argv[1], "rb").read()
ascii_only = sys.argv[2] == "ascii"
enter, leave = b"\x1b[?1049h", b"\x1b[?1049l"
restore_before, restore_after = b"\x1b[0m\x1b[?25h\x1b[?7h\x1b[?1036;1039r", b"\x1b[23;0t"
problems, spans, at = [], 0, 0
while True:
    start = data.find(enter, at)
    if start < 0:
        break
    end = data.find(leave, start)
    body = data[start:end if end >= 0 else len(data)]
    at = end + len(leave) if end >= 0 else len(data)
    spans += 1
    if end < 0:
        problems.append("the program never handed the terminal back")
    else:
        if not data[:end].endswith(restore_before) or not data[end + len(leave):].startswith(restore_after):
            problems.append("incomplete restore sequence: %r" % data[max(0, end - 24):end + 16])
    i = 0
    while i < len(body) and len(problems) < 5:
        b = body[i]
        if b == 0x1b:
            if body[i + 1:i + 2] == b"[":
                m = re.compile(rb"\x1b\[[0-?]*[ -/]*[@-~]").match(body, i)
                if not m:
                    problems.append("broken CSI at %d: %r" % (i, body[i:i + 16]))
                    break
                i = m.end()
            elif body[i + 1:i + 2] == b"]":
                close = body.find(b"\x07", i)
                if close < 0:
                    problems.append("unterminated OSC at %d" % i)
                    break
                text = body[i + 2:close]
                if any(c < 0x20 or c == 0x7f for c in text) or (ascii_only and any(c > 0x7f for c in text)):
                    problems.append("control or non-ASCII byte in OSC: %r" % text)
                i = close + 1
            else:
                problems.append("escape that is neither CSI nor OSC at %d: %r" % (i, body[i:i + 8]))
                i += 2
        elif b in (0x0d, 0x07):
            i += 1
        elif b < 0x20 or b == 0x7f:
            problems.append("raw control byte %d at %d: %r" % (b, i, body[max(0, i - 12):i + 12]))
            i += 1
        elif b < 0x80:
            i += 1
        elif ascii_only:
            problems.append("byte %d above ASCII at %d: %r" % (b, i, body[max(0, i - 12):i + 12]))
            i += 1
        else:
            m = re.compile(rb"[\xc2-\xdf][\x80-\xbf]|[\xe0-\xef][\x80-\xbf]{2}|[\xf0-\xf4][\x80-\xbf]{3}").match(body, i)
            if not m:
                problems.append("invalid UTF-8 at %d: %r" % (i, body[i:i + 4]))
                i += 1
                continue
            cp = ord(m.group().decode("utf-8", "replace"))
            if 0x80 <= cp < 0xa0:
                problems.append("C1 control U+%04X at %d" % (cp, i))
            i = m.end()
if spans == 0:
    problems.append("the program never took the terminal over")
for p in problems:
    print("  " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
}

# --- the tone ----------------------------------------------------------------
# With capture-tone the tone goes into a file of raw 16-bit samples as it is
# played, silence (zero samples) between the tones included.  A build
# without ALSA writes no file: then there is nothing to measure here.
e2e_tone_size() { stat -c %s "$E2E_TONE" 2>/dev/null || echo 0; }
e2e_tone_captured() {
  [ -n "${E2E_TONE:-}" ] || e2e_fail "tone steps need capture-tone before the start"
  local deadline=$((SECONDS + 3))
  until [ -e "$E2E_TONE" ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      e2e_log "no tone captured (a build without ALSA?): not measured"
      return 1
    fi
    sleep 0.05
  done
}
# Whether the samples written after byte OFFSET hold any sound.
e2e_tone_sounded_after() {
  # grep reads to the end: with pipefail an early exit would fail the pipe.
  tail -c +"$(($1 + 1))" "$E2E_TONE" | od -An -v -tx1 | grep '[1-9a-f]' >/dev/null
}
e2e_sleep_ms() { sleep "$(awk -v ms="$1" 'BEGIN { printf "%.3f", ms / 1000 }')"; }

e2e_step_expect_tone_growing() {
  e2e_tone_captured || return 0
  local before
  before=$(e2e_tone_size)
  e2e_sleep_ms "$1"
  e2e_tone_sounded_after "$before" || e2e_fail "no tone for ${1} ms"
}

e2e_step_expect_tone_still() {
  e2e_tone_captured || return 0
  local before
  before=$(e2e_tone_size)
  e2e_sleep_ms "$1"
  ! e2e_tone_sounded_after "$before" || e2e_fail "the tone went on for ${1} ms"
}
