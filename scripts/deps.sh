#!/usr/bin/env bash
# Makes sure the Debian packages a make target needs are installed.
# As root it installs what is missing with apt-get; otherwise it names the
# missing packages and the command that installs them, and fails.  Packages
# a target can do without (the Windows cross build and Wine for "test") are
# installed as well as root; otherwise it says which tests they would run,
# gives the command, and goes on.
#   scripts/deps.sh run|test|windows|package|bench|fuzz|tsan|mutants
set -euo pipefail

run_packages=(cmake make g++ pkg-config libasound2-dev)
test_packages=("${run_packages[@]}" googletest libgtest-dev libgmock-dev tmux python3-libtmux faketime
               xvfb xterm xdotool clang-format dpkg-dev file man-db python3 libbenchmark-dev
               lintian libvterm-dev dbus-daemon python3-dbusmock)
windows_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32 wine wine64)
package_packages=("${run_packages[@]}" dpkg-dev file)
bench_packages=("${run_packages[@]}" tmux python3 libbenchmark-dev valgrind strace)
fuzz_packages=("${run_packages[@]}" clang libclang-rt-14-dev libvterm-dev)
tsan_packages=("${test_packages[@]}" clang libclang-rt-14-dev)
mutants_packages=("${run_packages[@]}" googletest libgtest-dev libgmock-dev tmux python3-libtmux faketime
                  python3 libvterm-dev dbus-daemon python3-dbusmock)

optional=()
optional_use=""
case "${1:-}" in
  run) wanted=("${run_packages[@]}") ;;
  test)
    wanted=("${test_packages[@]}")
    optional=("${windows_packages[@]}")
    optional_use="the Windows build and its tests under Wine"
    ;;
  windows) wanted=(cmake make tmux python3-libtmux "${windows_packages[@]}") ;;
  package) wanted=("${package_packages[@]}") ;;
  bench) wanted=("${bench_packages[@]}") ;;
  fuzz) wanted=("${fuzz_packages[@]}") ;;
  tsan) wanted=("${tsan_packages[@]}") ;;
  mutants) wanted=("${mutants_packages[@]}") ;;
  *) echo "usage: $0 run|test|windows|package|bench|fuzz|tsan|mutants" >&2; exit 2 ;;
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

# missing_of PACKAGE...: those of them that are not installed.
missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$package"
  done
}
# The command that installs the packages, as this user can run it.
install_line() {
  if command -v sudo >/dev/null 2>&1; then
    echo "sudo apt-get install $*"
  else
    echo "as root: apt-get install $*"
  fi
}

mapfile -t missing < <(missing_of "${wanted[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  all=("${missing[@]}" "${missing_optional[@]}")
  echo "Installing missing packages: ${all[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  if [ ${#missing_optional[@]} -gt 0 ] &&
     ! apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" >/dev/null; then
    echo "Could not install ${missing_optional[*]}; skipping $optional_use." >&2
  fi
  exit 0
fi

if [ ${#missing_optional[@]} -gt 0 ]; then
  echo "Skipping $optional_use: missing Debian packages: ${missing_optional[*]}" >&2
  echo "To run them too: $(install_line "${missing_optional[@]}")" >&2
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: $(install_line "${missing[@]}")" >&2
  exit 1
fi
exit 0
