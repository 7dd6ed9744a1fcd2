#!/usr/bin/env bash
# The Debian package as a user gets it: builds the .deb from a Release build
# of its own (no tests, no benchmarks), installs it with apt-get, runs the
# installed program from the PATH in tmux, leaves it with Alt+X, and removes
# the package again, also when a check fails.  Needs root; skips (77) where
# it cannot run.  ROUSEL_PACKAGE_JOBS sets the build's parallelism.
#   deb_install_test.sh <source dir> <work dir>
set -uo pipefail
source_dir=${1:?source dir}
work=${2:?work dir}
. "$(dirname "$0")/lib.sh"

skip() {
  echo "SKIP: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "installing a Debian package needs root"
for tool in dpkg-deb:dpkg apt-get:apt dpkg-shlibdeps:dpkg-dev file:file tmux:tmux man:man-db objdump:binutils; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || skip "${tool%%:*} is missing (Debian: ${tool#*:})"
done
case $(dpkg-query -W -f='${db:Status-Status}' rousel 2>/dev/null) in
  '' | not-installed | config-files) ;;
  *) skip "a rousel package is installed already; this test leaves it alone" ;;
esac

build=$work/build
socket=rousel-deb-$$
scratch=$(mktemp -d)
installed=0
cleanup() {
  tmux -L "$socket" kill-server >/dev/null 2>&1
  [ "$installed" = 1 ] && apt-get remove -y -q rousel >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

mkdir -p "$build"
rm -f "$build"/rousel_*.deb
jobs=${ROUSEL_PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 1)}
if ! { cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DROUSEL_TESTS=OFF \
         -DROUSEL_BENCH=OFF -DROUSEL_SANITIZE=OFF -DROUSEL_WERROR=OFF &&
       cmake --build "$build" --target package -j "$jobs"; } >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  die "the package did not build (whole log: $work/build.log)"
fi
debs=("$build"/rousel_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "expected one rousel_*.deb in $build, found: ${debs[*]}"
deb=${debs[0]}

for row in "Package|rousel" "Version|$(project_version "$source_dir")" "Architecture|$(dpkg --print-architecture)"; do
  got=$(dpkg-deb -f "$deb" "${row%%|*}")
  [ "$got" = "${row#*|}" ] || problem "control field ${row%%|*} is \"$got\", not \"${row#*|}\""
done

# Every library the program links must be a dependency: a package built
# without dpkg-shlibdeps installs fine and then cannot start elsewhere.
depends=$(dpkg-deb -f "$deb" Depends)
dpkg-deb -x "$deb" "$scratch/unpacked"
needed=$(LC_ALL=C objdump -p "$scratch/unpacked/usr/bin/rousel" 2>/dev/null | awk '$1 == "NEEDED" {print $2}')
[ -n "$needed" ] || problem "cannot read the libraries /usr/bin/rousel needs (objdump)"
for library in $needed; do
  case $library in
    libasound.so.*) want=libasound2 ;;
    libstdc++.so.*) want=libstdc++6 ;;
    libgcc_s.so.*) want=libgcc-s1 ;;
    libc.so.* | libm.so.*) want=libc6 ;;
    *) continue ;;
  esac
  [[ ", $depends," == *", $want "* || ", $depends," == *", $want,"* ]] ||
    problem "the program needs $library but Depends ($depends) lacks $want"
done

installed=1
apt-get install -y -q "$deb" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; die "apt-get install failed"; }
system_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
found=$(PATH=$system_path command -v rousel)
[ "$found" = /usr/bin/rousel ] || die "rousel on the PATH is \"$found\", not the packaged /usr/bin/rousel"
missing=$(ldd /usr/bin/rousel 2>&1 | grep 'not found')
[ -z "$missing" ] || problem "libraries missing after installing the dependencies: $missing"
page=$(man -w rousel 2>&1)
[ "$page" = /usr/share/man/man1/rousel.1.gz ] || problem "man -w rousel gives \"$page\""

# An 80x25 pane that stays after the program ends, for its exit status.
pane() { tmux -L "$socket" display-message -p -t rousel "$1" 2>/dev/null; }
screen_has() { [[ $(tmux -L "$socket" capture-pane -p -t rousel 2>/dev/null) == *"$1"* ]]; }
within_30s() {
  local deadline=$((SECONDS + 30))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}
# The shell in the pane notes the exit status: tmux may see the terminal
# close before it has reaped the program, and then never learns the status.
pane_dead() { [ -s "$scratch/status" ]; }
tmux -L "$socket" -f /dev/null new-session -d -s rousel -x 80 -y 25 \
  "env PATH=$system_path LC_ALL=C.UTF-8 rousel; echo \$? >$scratch/status" \; \
  set-option -wg remain-on-exit on || die "tmux could not start a session"
prompt="Enter alarm time or press ALT-X to exit:"
if ! within_30s screen_has "$prompt"; then
  problem "no prompt \"$prompt\" within 30 s"
else
  tmux -L "$socket" send-keys -t rousel M-x
  if ! within_30s pane_dead; then
    problem "rousel still runs 30 s after Alt+X"
  else
    status=$(cat "$scratch/status")
    [ "$status" = 0 ] || problem "rousel ended with status \"$status\" after Alt+X, not 0"
  fi
fi
[ $fail = 0 ] || printf 'the terminal showed:\n%s\n' "$(tmux -L "$socket" capture-pane -p -t rousel 2>/dev/null)" >&2
tmux -L "$socket" kill-server >/dev/null 2>&1

# The package's own files must go with it.
apt-get remove -y -q rousel >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; die "apt-get remove failed"; }
installed=0
for path in /usr/bin/rousel /usr/share/man/man1/rousel.1.gz /usr/share/doc/rousel; do
  [ ! -e "$path" ] || problem "$path is still there after apt-get remove"
done

[ $fail = 0 ] && echo "package $(basename "$deb"): built, installed, ran, removed"
exit $fail
