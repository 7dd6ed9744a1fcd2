#!/usr/bin/env bash
# The programs as a user starts them: --help and --version answer and
# return, on a terminal without touching its modes or sending it a control
# sequence; anything else starts the alarm clock, which without a terminal
# (standard input or output elsewhere, or closed), or on a dumb one, refuses
# in one line and leaves the terminal alone, as rousel-keydump does.
#   command_line_test.sh <rousel> <rousel-keydump or ""> <version>
set -uo pipefail
rousel=${1:?rousel} keydump=$2 version=${3:?version}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail=0
refused="rousel: standard input and output must be a terminal"

# program | argument | status | standard output | standard error (globs)
rows=("$rousel|--version|0|Rousel $version|" "$rousel|-h|1||$refused")
[ -n "$keydump" ] && rows+=("$keydump||1||rousel-keydump: standard input is not a terminal*")
for row in "${rows[@]}"; do
  IFS='|' read -r program arg want_status want_out want_err <<<"$row"
  # shellcheck disable=SC2086 # no argument or one word
  err=$("$program" $arg 2>&1 </dev/null >"$out")
  status=$?
  # shellcheck disable=SC2053 # the expectations are globs
  [[ $status = "$want_status" && $(<"$out") == $want_out && $err == $want_err ]] ||
    { fail=1; echo "FAIL: $row: status $status, out \"$(<"$out")\", err \"$err\""; }
done

# On a terminal, the mode as it was after each and not one escape sequence:
# environment | argument | status | all it prints (glob)
rows=("|--help|0|Rousel $version*Alt+X*" "|--version|0|Rousel $version"
      "TERM=dumb||1|rousel: a dumb terminal (TERM=dumb) cannot show the screen"
      "|>/dev/null|1|$refused" "|>&-|1|$refused")
for row in "${rows[@]}"; do
  IFS='|' read -r env arg want_status want_out <<<"$row"
  typescript=$(timeout 30 script -qec "stty -g; env $env '$rousel' $arg; echo status=\$?; stty -g" \
    /dev/null </dev/null | tr -d '\r')
  # shellcheck disable=SC2053 # the expectation is a glob
  [[ $(sed '1d;$d' <<<"$typescript") == $want_out$'\n'status=$want_status && $typescript != *$'\e'* &&
     $(head -n 1 <<<"$typescript") == "$(tail -n 1 <<<"$typescript")" ]] ||
    { fail=1; echo "FAIL: $row on a terminal: $(cat -v <<<"$typescript")"; }
done
exit $fail
