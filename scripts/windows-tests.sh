#!/usr/bin/env bash
# The Windows build, tested for real: cross-builds rousel.exe for 64-bit and
# 32-bit Windows with MinGW-w64 (presets windows-x64 and windows-x86), checks
# that each .exe imports nothing but kernel32, user32 and msvcrt, and runs the
# end-to-end scenarios on the 64-bit one under Wine's terminal console.
#
#   scripts/windows-tests.sh
#
# Exits 77 (skipped) with one line saying why when MinGW-w64, Wine or tmux
# is missing; Debian packages: g++-mingw-w64-x86-64-posix,
# g++-mingw-w64-i686-win32 (or -posix), wine, wine64, tmux.
set -euo pipefail
cd "$(dirname "$0")/.."

skip() {
  echo "windows-tests: skipped: $*"
  exit 77
}

have_any() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 && return 0
  done
  return 1
}

have_any cmake || skip "cmake is not installed"
have_any x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++ ||
  skip "no MinGW-w64 compiler for x86_64 (Debian: g++-mingw-w64-x86-64-posix)"
have_any i686-w64-mingw32-g++-win32 i686-w64-mingw32-g++-posix i686-w64-mingw32-g++ ||
  skip "no MinGW-w64 compiler for i686 (Debian: g++-mingw-w64-i686-win32)"
have_any x86_64-w64-mingw32-objdump ||
  skip "no MinGW-w64 objdump for x86_64 (Debian: binutils-mingw-w64-x86-64)"
have_any i686-w64-mingw32-objdump ||
  skip "no MinGW-w64 objdump for i686 (Debian: binutils-mingw-w64-i686)"
have_any wine || skip "Wine is not installed (Debian: wine, wine64)"
have_any wineboot || skip "wineboot is missing (Debian: wine)"
have_any wineserver || skip "wineserver is missing (Debian: wine)"
have_any tmux || skip "tmux is not installed"

jobs=${ROUSEL_JOBS:-$(nproc 2>/dev/null || echo 2)}

for preset in windows-x64 windows-x86; do
  echo "== building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

echo "== import tables"
imports_ok=true
tests/wine/check-imports.sh x86_64-w64-mingw32-objdump build/windows-x64/rousel.exe ||
  imports_ok=false
tests/wine/check-imports.sh i686-w64-mingw32-objdump build/windows-x86/rousel.exe \
  --old-windows || imports_ok=false

echo "== scenarios under Wine"
scenarios_ok=true
tests/wine/run-scenarios.sh build/windows-x64/rousel.exe || scenarios_ok=false

$imports_ok && $scenarios_ok
