#!/usr/bin/env bash
# The command line as a user meets it: --help and --version answer and
# return, on a terminal without touching its modes; any other argument is
# ignored, so the alarm clock starts (and, without a terminal, refuses to);
# rousel-keydump refuses a standard input that is no terminal.
#   command_line_test.sh <rousel> <rousel-keydump or ""> <version>
set -uo pipefail
rousel=${1:?rousel}
keydump=$2
version=${3:?version}
. "$(dirname "$0")/lib.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
refusal="rousel: standard input and output must be a terminal"

# program | arguments | status | stdout (glob, "" for nothing) | stderr (the same)
rows=(
  "$rousel|--version|0|Rousel $version|"
  "$rousel|--version --help|0|Rousel $version|"
  "$rousel|--help|0|*alarm clock*Alt+X*man rousel*rousel-keydump*|"
  "$rousel|--help 07:30|0|*Usage: rousel*|"
  "$rousel||1||$refusal"
  "$rousel|-h|1||$refusal"
  "$rousel|help|1||$refusal"
  "$rousel|--HELP|1||$refusal"
  "$rousel|--version=2|1||$refusal"
  "$rousel|07:30 --help|1||$refusal"
)
[ -n "$keydump" ] && rows+=("$keydump||1||rousel-keydump: standard input is not a terminal*")

for row in "${rows[@]}"; do
  IFS='|' read -r program args want_status want_out want_err <<<"$row"
  read -r -a argv <<<"$args"
  "$program" "${argv[@]}" </dev/null >"$scratch/out" 2>"$scratch/err"
  status=$?
  out=$(cat "$scratch/out")
  err=$(cat "$scratch/err")
  what="$(basename "$program") ${args:-(no arguments)}"
  [ "$status" = "$want_status" ] || problem "$what: status $status, not $want_status"
  # shellcheck disable=SC2053 # the expectations are globs
  [[ $out == $want_out ]] || problem "$what: standard output is \"$out\""
  # shellcheck disable=SC2053
  [[ $err == $want_err ]] || problem "$what: standard error is \"$err\""
  [ "$(wc -l <"$scratch/err")" -le 1 ] || problem "$what: more than one line on standard error"
done

# On a terminal: the same answers, with the terminal's modes as they were
# and not one control sequence sent to it.
for word in --help --version; do
  timeout 30 script -qec "stty -g >'$scratch/before'; '$rousel' $word; echo \"status=\$?\";
               stty -g >'$scratch/after'" /dev/null </dev/null >"$scratch/typescript" 2>&1
  # What the terminal got, with its control bytes made visible.
  grep -q '^status=0' "$scratch/typescript" ||
    problem "rousel $word on a terminal: $(cat -v "$scratch/typescript" | head -c 400)"
  [ -s "$scratch/before" ] && cmp -s "$scratch/before" "$scratch/after" ||
    problem "rousel $word changed the terminal's modes"
  ! grep -q $'\e' "$scratch/typescript" || problem "rousel $word sent a control sequence to the terminal"
done

[ $fail = 0 ] && echo "command line: ${#rows[@]} argument lists and 2 terminal runs as expected"
exit $fail
