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
# What the machine lacks is left out with a line "SKIP: what: why": all of
# it (exit status 77) without MinGW-w64; the runs under Wine (77 once the
# rest passed) without Wine, tmux or python3; the 32-bit runs where the
# kernel runs no 32-bit program, or Wine's i386 part (wine32:i386) is
# missing and this is no root, who gets it installed.  The 32-bit probe runs
# before anything 32-bit is installed or started; where the kernel refuses
# it, the 64-bit runs go through Wine's 64-bit loader.  Debian packages:
# g++-mingw-w64-x86-64-posix, g++-mingw-w64-i686-win32 (or -posix), wine,
# wine64, tmux, python3.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tests/wine/i386-probe.sh
. tests/wine/i386-probe.sh

skip() {
  echo "SKIP: the Windows builds: $*"
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

# Why the runs under Wine are left out, if they are.
no_wine=""
have_any wine || no_wine="Wine is not installed (Debian: wine, wine64)"
have_any wineserver || no_wine=${no_wine:-"wineserver is missing (Debian: wine)"}
have_any tmux || no_wine=${no_wine:-"tmux is not installed"}
have_any python3 || no_wine=${no_wine:-"python3 is not installed"}

ok=true
# The 32-bit runs need a kernel that runs 32-bit programs, which is asked
# first: Debian's wine runs every program through its 32-bit loader once
# wine32:i386 is installed, so installing it on a kernel that refuses such
# programs would stop the 64-bit runs too.
wine32=false
loader=wine
if [ -z "$no_wine" ]; then
  mkdir -p build/wine-probe
  i386=0
  probe_i386 build/wine-probe || i386=$?
  if [ "$i386" -eq 2 ]; then
    echo "windows-tests: the 32-bit probe failed: $i386_why" >&2
    ok=false
  fi
  if [ "$i386" -eq 0 ]; then
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
    if have_wine32; then
      wine32=true
    else
      echo "SKIP: the x86 runs under Wine: no 32-bit Wine (wine32:i386); as root: $wine32_install"
    fi
  else
    echo "SKIP: the x86 runs under Wine: ${i386_why}"
    loader=$(wine64_loader) ||
      no_wine="Wine has no 64-bit loader (Debian: wine64), and the 32-bit one cannot run here"
  fi
fi

jobs=${ROUSEL_JOBS:-$(nproc 2>/dev/null || echo 2)}

for preset in windows-x64 windows-x86; do
  echo "== building $preset and its zip"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  cmake --build "build/$preset" --target package -j "$jobs" >/dev/null
done

echo "== import tables"
tests/wine/check-imports.sh x86_64-w64-mingw32-objdump build/windows-x64/rousel.exe \
  --oldest vista || ok=false
tests/wine/check-imports.sh i686-w64-mingw32-objdump build/windows-x86/rousel.exe \
  --oldest win95 || ok=false

# Each zip holds the program, the README and the LICENSE in one folder, and
# nothing else; the scenarios run on the program unpacked from it.  The two
# texts are for Notepad, down to that of Windows 95: ASCII, CRLF at the end
# of every line; the README names the oldest Windows the zip's program runs
# on.
unpacked=$(mktemp -d "${TMPDIR:-/tmp}/rousel-zip.XXXXXX")
trap 'rm -rf "$unpacked"' EXIT
# check_text ZIP FILE: FILE, from ZIP, is ASCII with CRLF line ends.
check_text() {
  local name=$1: where=$2
  if LC_ALL=C grep -q $'[^\t\r -~]' "$where"; then
    echo "$name ${where##*/} has a byte that is not printable ASCII" >&2
    ok=false
  fi
  if LC_ALL=C grep -qv $'\r$' "$where" || [ "$(tail -c 2 "$where" | od -An -tx1 | tr -d ' ')" != 0d0a ]; then
    echo "$name ${where##*/} has a line that does not end in CRLF" >&2
    ok=false
  fi
}
echo "== zips"
declare -A oldest=([windows-x64]="Windows Vista or later"
                   [windows-x86]="Windows 95, 98 and Me, and on Windows NT 4.0 and later")
for preset in windows-x64 windows-x86; do
  zip=$(ls "build/$preset"/rousel-*.zip)
  folder=$(basename "$zip" .zip)
  listing=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
  expected=$(printf '%s/%s\n' "$folder" LICENSE "$folder" README.txt "$folder" rousel.exe)
  if [ "$listing" = "$expected" ]; then
    echo "$zip: LICENSE, README.txt, rousel.exe"
  else
    echo "$zip holds:" >&2
    echo "$listing" >&2
    echo "expected:" >&2
    echo "$expected" >&2
    ok=false
  fi
  mkdir -p "$unpacked/$preset"
  (cd "$unpacked/$preset" && cmake -E tar xf "$OLDPWD/$zip")
  files=$unpacked/$preset/$folder
  for text in LICENSE README.txt; do
    [ -f "$files/$text" ] && check_text "$zip" "$files/$text"
  done
  tr -d '\r' <"$files/LICENSE" | cmp -s - LICENSE || { echo "$zip: LICENSE differs" >&2; ok=false; }
  tr -d '\r' <"$files/README.txt" | tr '\n' ' ' | grep -q "${oldest[$preset]}" ||
    { echo "$zip: README.txt does not say \"${oldest[$preset]}\"" >&2; ok=false; }
  cp "build/$preset/rousel-console-driver.exe" "$unpacked/$preset/"
  ln -s "$folder/rousel.exe" "$unpacked/$preset/rousel.exe"
done

if [ -n "$no_wine" ]; then
  echo "SKIP: the scenarios under Wine: $no_wine"
  $ok && exit 77
  exit 1
fi

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
  # The 64-bit loader where the 32-bit one cannot run.
  case $exe in "$x64"/*) [ "$loader" = wine ] || options="--loader $loader $options" ;; esac
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
