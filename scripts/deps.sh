#!/usr/bin/env bash
# Makes sure the Debian packages a make target needs are installed.
# As root it installs what is missing with apt-get; otherwise it names the
# missing packages and the command that installs them, and fails.
#   scripts/deps.sh run|test|package|bench|fuzz|tsan|mutants
set -euo pipefail

run_packages=(cmake make g++ pkg-config libasound2-dev)
test_packages=("${run_packages[@]}" googletest libgtest-dev libgmock-dev tmux faketime
               clang-format dpkg-dev file man-db python3 libbenchmark-dev
               g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32 wine wine64)
package_packages=("${run_packages[@]}" dpkg-dev file)
bench_packages=("${run_packages[@]}" tmux python3 libbenchmark-dev)
fuzz_packages=("${run_packages[@]}" clang libclang-rt-14-dev)
tsan_packages=("${test_packages[@]}" clang libclang-rt-14-dev)
mutants_packages=("${run_packages[@]}" googletest libgtest-dev libgmock-dev tmux faketime python3)

case "${1:-}" in
  run) wanted=("${run_packages[@]}") ;;
  test) wanted=("${test_packages[@]}") ;;
  package) wanted=("${package_packages[@]}") ;;
  bench) wanted=("${bench_packages[@]}") ;;
  fuzz) wanted=("${fuzz_packages[@]}") ;;
  tsan) wanted=("${tsan_packages[@]}") ;;
  mutants) wanted=("${mutants_packages[@]}") ;;
  *) echo "usage: $0 run|test|package|bench|fuzz|tsan|mutants" >&2; exit 2 ;;
esac
# Extra packages a caller asks for (for instance the Windows cross build).
if [ -n "${ROUSEL_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$ROUSEL_EXTRA_PACKAGES"
  wanted+=("${extra[@]}")
fi

if ! command -v dpkg-query >/dev/null 2>&1; then
  # Not a Debian system: check the commands and trust the rest to CMake.
  for tool in cmake make c++; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing: $tool" >&2; exit 1; }
  done
  exit 0
fi

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
