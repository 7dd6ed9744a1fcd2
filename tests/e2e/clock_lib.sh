# Steps for scenarios whose clock is stepped while the program runs: the
# program's wall clock is faked through libfaketime reading its offset from
# a file on every call, so a step writes a new offset and the running
# program sees the clock jump, as after a suspend or an NTP step.
# Monotonic time stays real: the program's sleeps and key timeouts are not
# what is tested.  A scenario loads them with the line "use clock_lib.sh".
#
#   start-clock HH:MM:SS      start the program with the clock at that time
#                             of 2026-01-05
#   set-clock HH:MM:SS        step the running program's clock to that time

E2E_CLOCK_FILE=""

# Seconds from now to HH:MM:SS of the test day, as libfaketime's "+N"/"-N".
e2e_clock_offset() {
  local target now
  target=$(TZ=UTC date -d "2026-01-05 $1" +%s) || e2e_fail "no time $1"
  now=$(date +%s)
  local delta=$((target - now))
  if [ "$delta" -ge 0 ]; then echo "+$delta"; else echo "$delta"; fi
}

e2e_step_start_clock() {
  local lib
  lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 /usr/lib/faketime/libfaketime.so.1 2>/dev/null |
        head -n 1 || true)
  [ -n "$lib" ] || e2e_skip "libfaketime is not installed (Debian package faketime)"
  E2E_CLOCK_FILE=$E2E_DIR/clock
  e2e_clock_offset "$1" >"$E2E_CLOCK_FILE"
  # The sanitizer runtime must otherwise be the first library loaded.
  e2e_start "" env $E2E_ENV TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0 \
    LD_PRELOAD="$lib" FAKETIME_TIMESTAMP_FILE="$E2E_CLOCK_FILE" FAKETIME_NO_CACHE=1 \
    FAKETIME_DONT_FAKE_MONOTONIC=1
}

e2e_step_set_clock() {
  [ -n "$E2E_CLOCK_FILE" ] || e2e_fail "set-clock before start-clock"
  # Written whole and renamed, so that no read sees half an offset.
  e2e_clock_offset "$1" >"$E2E_CLOCK_FILE.new"
  mv "$E2E_CLOCK_FILE.new" "$E2E_CLOCK_FILE"
}
