#!/usr/bin/env bash
# The manual page formats without a single warning from man and groff, in
# the C locale (ASCII, where the Cyrillic letters of KEYS are transliterated)
# and in UTF-8 (where they are themselves).
#   manual_test.sh <rousel.1>
set -uo pipefail
# shellcheck source=tests/package/lib.sh
. "$(dirname "$0")/lib.sh"
need man:man-db
page=${1:?rousel.1}
err=$(mktemp)
trap 'rm -f "$err"' EXIT

# locale | how the letters on the switch keys read
rows=("C|e and E on the T key, y and Y on the S key, z and Z on the P key"
      "C.UTF-8|е and Е on the T key, ы and Ы on the S key, з and З on the P key")
for row in "${rows[@]}"; do
  IFS='|' read -r locale want <<<"$row"
  text=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" 2>"$err" | tr -s ' \n' '  ')
  [ -s "$err" ] && problem "LC_ALL=$locale man -l: $(cat "$err")"
  [[ $text == *"$want"* ]] || problem "LC_ALL=$locale: the letters on the switch keys do not read \"$want\""
done
exit $fail
