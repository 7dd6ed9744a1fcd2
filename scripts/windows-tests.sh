#!/usr/bin/env bash
# The Windows builds, tested for real: cross-builds rousel.exe for 64-bit and
# 32-bit Windows with MinGW-w64 (presets windows-x64 and windows-x86), checks
# that each .exe loads on the oldest Windows its build claims (Vista for the
# 64-bit one, the Windows 95 family for the 32-bit one), packs each into its
# zip and checks the zip, and runs the end-to-end scenarios on the programs
# from the zips under Wine:
#   - the 64-bit one as NT, through Wine's terminal console (tmux), with
#     kernel32's power calls checked in Wine's trace;
#   - the 32-bit one as NT, and as Windows 98 with the speaker ports, the
#     scrolling and the power calls (none there) checked in Wine's trace;
#   - both through the console functions themselves (rousel-console-driver),
#     the 32-bit one as Windows 98.
#
#   scripts/windows-tests.sh
#
# Exits 77 (skipped) with one line saying why when MinGW-w64, Wine or tmux
# is missing; Debian packages: g++-mingw-w64-x86-64-posix,
# g++-mingw-w64-i686-win32 (or -posix), wine, wine64, tmux, python3.  The
# 32-bit runs need Wine's i386 part (wine32:i386): as root this installs it,
# otherwise it says how and leaves those runs out.
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
have_any python3 || skip "python3 is not installed"

# Debian's Wine runs 32-bit programs only with its i386 part.
wine32_install="dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386"
have_wine32() {
  ! command -v dpkg-query >/dev/null 2>&1 ||
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'
}
if ! have_wine32 && [ "$(id -u)" -eq 0 ]; then
  echo "== installing 32-bit Wine (wine32:i386)"
  export DEBIAN_FRONTEND=noninteractive
  # Another apt-get may hold dpkg's lock for a while.
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    { dpkg --add-architecture i386 && apt-get update -qq &&
        apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; } && break
    echo "   apt-get failed (attempt $attempt), retrying in 30 s"
    sleep 30
  done
fi
# A kernel without 32-bit support refuses the 32-bit loader (Exec format
# error), installed or not: the runs then need the 64-bit loader alone
# (tests/wine/run-scenarios.sh sees to that).
wine32_runs() {
  [ ! -x /usr/lib/wine/wine ] || /usr/lib/wine/wine --version >/dev/null 2>&1
}
wine32=true
if ! have_wine32; then
  wine32=false
  echo "windows-tests: the 32-bit runs are left out: no 32-bit Wine; install it as root with:"
  echo "    $wine32_install"
elif ! wine32_runs; then
  wine32=false
  echo "windows-tests: the 32-bit runs are left out: this kernel does not run 32-bit programs"
fi

jobs=${ROUSEL_JOBS:-$(nproc 2>/dev/null || echo 2)}

for preset in windows-x64 windows-x86; do
  echo "== building $preset and its zip"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  cmake --build "build/$preset" --target package -j "$jobs" >/dev/null
done

echo "== import tables"
ok=true
tests/wine/check-imports.sh x86_64-w64-mingw32-objdump build/windows-x64/rousel.exe \
  --oldest vista || ok=false
tests/wine/check-imports.sh i686-w64-mingw32-objdump build/windows-x86/rousel.exe \
  --oldest win95 || ok=false

# Each zip holds the program, the README and the LICENSE in one folder, and
# nothing else; the scenarios run on the program unpacked from it.
unpacked=$(mktemp -d "${TMPDIR:-/tmp}/rousel-zip.XXXXXX")
trap 'rm -rf "$unpacked"' EXIT
echo "== zips"
for preset in windows-x64 windows-x86; do
  zip=$(ls "build/$preset"/rousel-*.zip)
  folder=$(basename "$zip" .zip)
  listing=$(python3 -c 'import sys, zipfile
print("\n".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' "$zip")
  expected=$(printf '%s/%s\n' "$folder" LICENSE "$folder" README.md "$folder" rousel.exe)
  if [ "$listing" = "$expected" ]; then
    echo "$zip: LICENSE, README.md, rousel.exe"
  else
    echo "$zip holds:" >&2
    echo "$listing" >&2
    echo "expected:" >&2
    echo "$expected" >&2
    ok=false
  fi
  python3 -m zipfile -e "$zip" "$unpacked/$preset"
  cmp -s "$unpacked/$preset/$folder/LICENSE" LICENSE || { echo "$zip: LICENSE differs" >&2; ok=false; }
  cp "build/$preset/rousel-console-driver.exe" "$unpacked/$preset/"
  ln -s "$folder/rousel.exe" "$unpacked/$preset/rousel.exe"
done

# The runs, side by side: most of their time is spent waiting (for Wine to
# start, for a scenario's clock second), each in its own Wine prefix.
x64=$unpacked/windows-x64 x86=$unpacked/windows-x86
runs=("x64 as NT:--trace:$x64/rousel.exe"
      "x64 as NT, console API:--no-faketime --console-api $x64/rousel-console-driver.exe:$x64/rousel.exe")
if $wine32; then
  runs+=("x86 as NT:--no-faketime --trace:$x86/rousel.exe"
         "x86 as Windows 98:--no-faketime --windows win98:$x86/rousel.exe"
         "x86 as Windows 98, console API:--no-faketime --windows win98 --console-api $x86/rousel-console-driver.exe:$x86/rousel.exe")
fi
# At most three at a time on a small machine.
pids=()
for i in "${!runs[@]}"; do
  IFS=: read -r _ options exe <<<"${runs[$i]}"
  [ "$options" = -- ] && options=""
  while [ "$(jobs -rp | wc -l)" -ge 3 ]; do sleep 1; done
  # shellcheck disable=SC2086 # options are words
  # The status is noted whatever it is: the subshell inherits errexit.
  (status=0
   tests/wine/run-scenarios.sh $options "$exe" >"$unpacked/run$i.log" 2>&1 || status=$?
   echo "$status" >"$unpacked/run$i.rc") &
  pids+=($!)
  sleep 5
done
for i in "${!runs[@]}"; do
  wait "${pids[$i]}" || true
  echo "== scenarios under Wine: ${runs[$i]%%:*}"
  cat "$unpacked/run$i.log"
  rc=$(cat "$unpacked/run$i.rc" 2>/dev/null || echo "none")
  if [ "$rc" != 0 ]; then
    echo "windows-tests: the run \"${runs[$i]%%:*}\" failed (status $rc)"
    ok=false
  fi
done

$ok
