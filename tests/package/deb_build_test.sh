#!/usr/bin/env bash
# Builds the Debian package as "make package" does, into <work dir>/build,
# for the tests that read it (contents, lintian, installing).  Skips (77)
# where the package cannot be built as a .deb.
#   deb_build_test.sh <source dir> <work dir>
set -uo pipefail
source_dir=${1:?source dir}
work=${2:?work dir}
. "$(dirname "$0")/lib.sh"

for tool in dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev dpkg-buildflags:dpkg-dev file:file gzip:gzip; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || {
    echo "SKIP: ${tool%%:*} is missing (Debian: ${tool#*:})"
    exit 77
  }
done
build=$work/build
mkdir -p "$build"
rm -f "$build"/rousel_*.deb
if ! "$source_dir/packaging/build-package.sh" "$build" "${ROUSEL_PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 1)}" \
  >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  die "the package did not build (whole log: $work/build.log)"
fi
debs=("$build"/rousel_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "expected one rousel_*.deb in $build, found: ${debs[*]}"
echo "built ${debs[0]}"
