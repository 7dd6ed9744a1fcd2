#!/usr/bin/env bash
# Makes sure the Debian packages a make target needs are installed.
# As root it installs what is missing with apt-get; otherwise it names the
# missing packages and the command that installs them, and fails.  Packages
# a target can do without (for "test": the Windows cross build and Wine, the
# virtual machine, the real terminals but xterm) are installed as well as root; otherwise it says which
# tests they would run, gives the command, and goes on.
#   scripts/deps.sh run|test|windows|windows-build|package|bench|fuzz|tsan|mutants|vm
set -euo pipefail

run_packages=(cmake make g++ pkg-config libasound2-dev)
test_packages=("${run_packages[@]}" googletest libgtest-dev libgmock-dev tmux python3-libtmux faketime
               xvfb xterm xdotool clang-format dpkg-dev file man-db python3 libbenchmark-dev
               lintian libvterm-dev dbus-daemon python3-dbusmock)
# The zips need only the cross compilers; their tests need Wine too.
windows_build_packages=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32)
windows_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32 wine wine64)
# The virtual machine (tests/vm): QEMU, the guest's tools, and the initramfs
# packer; the kernel is fetched by the test itself.
vm_packages=(qemu-system-x86 busybox-static cpio)
# The terminals the end-to-end test runs the program in besides xterm, and
# kitty's software rendering (no GPU on a test machine).
terminal_packages=(kitty libgl1 libgl1-mesa-dri rxvt-unicode sakura screen)
package_packages=("${run_packages[@]}" dpkg-dev file)
bench_packages=("${run_packages[@]}" tmux python3 libbenchmark-dev valgrind strace)
fuzz_packages=("${run_packages[@]}" clang libclang-rt-14-dev libvterm-dev)
tsan_packages=("${test_packages[@]}" clang libclang-rt-14-dev)
mutants_packages=("${run_packages[@]}" googletest libgtest-dev libgmock-dev tmux python3-libtmux faketime
                  python3 libvterm-dev dbus-daemon python3-dbusmock)

# Groups of packages a target can do without: "what they are for:packages".
optional=()
case "${1:-}" in
  run) wanted=("${run_packages[@]}") ;;
  test)
    wanted=("${test_packages[@]}")
    optional=("the Windows build and its tests under Wine:${windows_packages[*]}"
              "the Linux console in a virtual machine:${vm_packages[*]}"
              "the real terminals but xterm:${terminal_packages[*]}")
    ;;
  vm) wanted=("${run_packages[@]}" python3 "${vm_packages[@]}") ;;
  windows) wanted=(cmake make tmux python3-libtmux python3 "${windows_packages[@]}") ;;
  windows-build) wanted=("${windows_build_packages[@]}") ;;
  package) wanted=("${package_packages[@]}") ;;
  bench) wanted=("${bench_packages[@]}") ;;
  fuzz) wanted=("${fuzz_packages[@]}") ;;
  tsan) wanted=("${tsan_packages[@]}") ;;
  mutants) wanted=("${mutants_packages[@]}") ;;
  *) echo "usage: $0 run|test|windows|windows-build|package|bench|fuzz|tsan|mutants|vm" >&2; exit 2 ;;
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
# The optional groups' missing packages, and what each group is for.
missing_optional=()
optional_uses=()
for group in "${optional[@]}"; do
  read -r -a packages <<<"${group#*:}"
  mapfile -t absent < <(missing_of "${packages[@]}")
  if [ ${#absent[@]} -gt 0 ]; then
    missing_optional+=("${absent[@]}")
    optional_uses+=("${group%%:*}:${absent[*]}")
  fi
done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  all=("${missing[@]}" "${missing_optional[@]}")
  echo "Installing missing packages: ${all[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  for use in "${optional_uses[@]}"; do
    read -r -a packages <<<"${use#*:}"
    if ! apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null; then
      echo "Could not install ${packages[*]}; skipping ${use%%:*}." >&2
    fi
  done
  exit 0
fi

for use in "${optional_uses[@]}"; do
  read -r -a packages <<<"${use#*:}"
  echo "Skipping ${use%%:*}: missing Debian packages: ${packages[*]}" >&2
  echo "To run them too: $(install_line "${packages[@]}")" >&2
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: $(install_line "${missing[@]}")" >&2
  exit 1
fi
exit 0
