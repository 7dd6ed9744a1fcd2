#!/usr/bin/env bash
# Builds the Debian package as "make package" does, into <work dir>/build,
# for deb_test.sh.  Skips (77) where it cannot be built as a .deb.
#   deb_build_test.sh <source dir> <work dir>
set -uo pipefail
source_dir=${1:?source dir} work=${2:?work dir}
. "$(dirname "$0")/lib.sh"
need dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev dpkg-buildflags:dpkg-dev file:file gzip:gzip
mkdir -p "$work/build"
rm -f "$work"/build/rousel_*.deb
"$source_dir/packaging/build-package.sh" "$work/build" "${ROUSEL_PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 1)}" \
  >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; die "the package did not build ($work/build.log)"; }
debs=("$work"/build/rousel_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "expected one rousel_*.deb in $work/build: ${debs[*]}"
