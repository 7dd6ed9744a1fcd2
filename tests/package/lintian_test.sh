#!/usr/bin/env bash
# lintian on the built Debian package, pedantic and with its informational
# tags shown: no error and no warning may remain.  Skips (77) without
# lintian (Debian: lintian) or without a built package.
#   lintian_test.sh <work dir>
set -uo pipefail
work=${1:?work dir}
. "$(dirname "$0")/lib.sh"

command -v lintian >/dev/null 2>&1 || { echo "SKIP: lintian is missing (Debian: lintian)"; exit 77; }
deb=$(built_deb "$work") || exit 77

# lintian's own status also counts tags of lower severity; the tags decide.
report=$(lintian --pedantic -I -E --no-cfg "$deb" 2>&1)
echo "$report"
errors=$(grep -c '^E: ' <<<"$report")
warnings=$(grep -c '^W: ' <<<"$report")
others=$(grep -c '^[IPX]: ' <<<"$report")
echo "lintian $(lintian --print-version): $errors errors, $warnings warnings, $others other tags"
[ "$errors" = 0 ] && [ "$warnings" = 0 ] || problem "lintian reports errors or warnings"
exit $fail
