#!/usr/bin/env bash
# lintian on the built Debian package, pedantic and with its informational
# tags shown: no error and no warning may remain, nor, since the package has
# none today, an informational or pedantic tag (the hardening and stripping
# findings are informational).  Skips (77) without lintian (Debian:
# lintian) or without a built package.
#   lintian_test.sh <work dir>
set -uo pipefail
work=${1:?work dir}
. "$(dirname "$0")/lib.sh"

command -v lintian >/dev/null 2>&1 || { echo "SKIP: lintian is missing (Debian: lintian)"; exit 77; }
deb=$(built_deb "$work") || exit 77

# The tags decide, whatever lintian's own exit status.
report=$(lintian --pedantic -I -E --no-cfg "$deb" 2>&1)
echo "$report"
errors=$(grep -c '^E: ' <<<"$report")
warnings=$(grep -c '^W: ' <<<"$report")
others=$(grep -c '^[IP]: ' <<<"$report")
echo "lintian $(lintian --print-version): $errors errors, $warnings warnings, $others informational or pedantic tags"
[ "$errors" = 0 ] && [ "$warnings" = 0 ] || problem "lintian reports errors or warnings"
[ "$others" = 0 ] || problem "lintian reports informational or pedantic tags"
exit $fail
