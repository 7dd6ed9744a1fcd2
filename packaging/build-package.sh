#!/usr/bin/env bash
# Builds the Debian package, build/.../rousel_<version>_<arch>.deb, from a
# Release build of its own (no tests, no benchmarks) with the distribution's
# build flags: dpkg-buildflags with every hardening feature (stack
# protector, fortified functions, read-only relocations bound at start-up).
# Without dpkg-buildflags the compiler's defaults stand.
#   packaging/build-package.sh <build dir> [jobs]
set -euo pipefail
build=$(realpath -m "${1:?build dir}")
jobs=${2:-$(nproc 2>/dev/null || echo 2)}
cd "$(dirname "$0")/.."

flags=()
if command -v dpkg-buildflags >/dev/null 2>&1; then
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  # CMake has no place for the preprocessor's flags: they go with the compiler's.
  cppflags=$(dpkg-buildflags --get CPPFLAGS)
  flags=("-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $cppflags"
         "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $cppflags"
         "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)")
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DROUSEL_WERROR=ON -DROUSEL_TESTS=OFF \
  -DROUSEL_BENCH=OFF -DROUSEL_SANITIZE=OFF "${flags[@]}" >/dev/null
cmake --build "$build" --target package -j "$jobs"
