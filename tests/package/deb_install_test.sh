#!/usr/bin/env bash
# The Debian package as a user gets it: builds the .deb from a Release build
# of its own, installs it with apt-get, finds the manual page with man, runs
# the installed program from the PATH in a terminal (tmux), leaves it with
# Alt+X, and removes the package again, also when a check fails.
#   deb_install_test.sh <source dir> <work dir>
# Tests and benchmarks are left out of that build.  Needs root; skips
# (status 77) where it cannot run.  ROUSEL_PACKAGE_JOBS sets the build's
# parallelism (default: the number of processors).
set -uo pipefail

source_dir=${1:?source dir}
work=${2:?work dir}

skip() {
  echo "SKIP: $*"
  exit 77
}

[ "$(id -u)" -eq 0 ] || skip "installing a Debian package needs root"
for tool in dpkg dpkg-deb dpkg-query apt-get; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is missing: not a Debian system"
done
command -v dpkg-shlibdeps >/dev/null 2>&1 || skip "dpkg-shlibdeps is missing (Debian: dpkg-dev)"
command -v file >/dev/null 2>&1 || skip "file is missing (Debian: file)"
command -v tmux >/dev/null 2>&1 || skip "tmux is missing (Debian: tmux)"
command -v man >/dev/null 2>&1 || skip "man is missing (Debian: man-db)"
case $(dpkg-query -W -f='${db:Status-Status}' rousel 2>/dev/null) in
  '' | not-installed | config-files) ;;
  *) skip "a rousel package is installed already; this test leaves it alone" ;;
esac

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

build=$work/build
log=$work/build.log
socket=rousel-deb-$$
scratch=$(mktemp -d)
installed=0

cleanup() {
  tmux -L "$socket" kill-server >/dev/null 2>&1
  if [ "$installed" = 1 ]; then
    echo "removing the package after a failure"
    apt-get remove -y -q rousel >/dev/null 2>&1
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

# --- Build the package ----------------------------------------------------
mkdir -p "$build"
rm -f "$build"/rousel_*.deb
jobs=${ROUSEL_PACKAGE_JOBS:-$(nproc 2>/dev/null || echo 1)}
echo "building the package in $build (-j$jobs)"
if ! { cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DROUSEL_TESTS=OFF \
         -DROUSEL_BENCH=OFF -DROUSEL_SANITIZE=OFF -DROUSEL_WERROR=OFF &&
       cmake --build "$build" --target package -j "$jobs"; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  die "the package did not build (whole log: $log)"
fi
debs=("$build"/rousel_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "expected one rousel_*.deb in $build, found: ${debs[*]}"
deb=${debs[0]}
echo "built $(basename "$deb")"

# --- Its control fields ---------------------------------------------------
version=$(sed -n 's/^project(rousel VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
fields=(
  "Package|rousel"
  "Version|$version"
  "Architecture|$(dpkg --print-architecture)"
  "Section|utils"
  "Priority|optional"
)
for row in "${fields[@]}"; do
  name=${row%%|*}
  want=${row#*|}
  got=$(dpkg-deb -f "$deb" "$name")
  [ "$got" = "$want" ] || problem "control field $name is \"$got\", not \"$want\""
done
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || problem "no Maintainer field"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || problem "no Description field"

# Every library the program links must be a dependency: a package built
# without dpkg-shlibdeps installs fine and then cannot start elsewhere.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
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
  [[ ", $depends" == *", $want "* || ", $depends," == *", $want,"* ]] ||
    problem "the program needs $library but Depends lacks $want"
done

# --- Install --------------------------------------------------------------
installed=1
if ! apt-get install -y -q "$deb" >"$scratch/apt.log" 2>&1; then
  cat "$scratch/apt.log" >&2
  die "apt-get install failed"
fi
[ "$(dpkg-query -W -f='${db:Status-Status}' rousel)" = installed ] || die "dpkg does not list rousel as installed"

files=$(dpkg -L rousel)
for path in /usr/bin/rousel /usr/share/man/man1/rousel.1.gz /usr/share/doc/rousel/README.md; do
  grep -qx -- "$path" <<<"$files" || problem "the package does not install $path"
done

system_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
found=$(PATH=$system_path command -v rousel)
[ "$found" = /usr/bin/rousel ] || die "rousel on the PATH is \"$found\", not the packaged /usr/bin/rousel"
missing=$(ldd /usr/bin/rousel 2>&1 | grep 'not found')
[ -z "$missing" ] || problem "libraries missing after installing the dependencies: $missing"

page=$(man -w rousel 2>&1)
[ "$page" = /usr/share/man/man1/rousel.1.gz ] || problem "man -w rousel gives \"$page\""
rendered=$(MANWIDTH=80 man rousel 2>&1)
[[ $rendered == *"rousel - alarm clock for the text console"* ]] ||
  problem "man rousel does not show the page: ${rendered:0:200}"
if [ -e /usr/bin/rousel-keydump ]; then
  man -w rousel-keydump >/dev/null 2>&1 || problem "man -w rousel-keydump finds no page"
fi

# --- Run it from the PATH in an 80x25 terminal ----------------------------
# The pane stays after the program ends, for its exit status and for what
# the user is left with on the screen: the exit banner.
screen=
capture() { screen=$(tmux -L "$socket" capture-pane -p -t rousel 2>/dev/null); }
wait_for_text() {
  local deadline=$((SECONDS + 30))
  while [ $SECONDS -lt $deadline ]; do
    capture
    [[ $screen == *"$1"* ]] && return 0
    sleep 0.1
  done
  return 1
}
pane() { tmux -L "$socket" display-message -p -t rousel "$1" 2>/dev/null; }

tmux -L "$socket" -f /dev/null new-session -d -s rousel -x 80 -y 25 \
  "env PATH=$system_path LC_ALL=C.UTF-8 rousel" \; \
  set-option -wg remain-on-exit on ||
  die "tmux could not start a session"

prompt="Enter alarm time or press ALT-X to exit:"
if wait_for_text "$prompt"; then
  tmux -L "$socket" send-keys -t rousel M-x
  deadline=$((SECONDS + 30))
  while [ "$(pane '#{pane_dead}')" != 1 ] && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  if [ "$(pane '#{pane_dead}')" = 1 ]; then
    status=$(pane '#{pane_dead_status}')
    [ "$status" = 0 ] || problem "rousel ended with status \"$status\" after Alt+X, not 0"
    capture
    for line in $'\u00b7compiled on 25.May.2001 18:42:28' $'\u00b7quote: cool, eh? ;)'; do
      [[ $screen == *"$line"* ]] || problem "the exit banner lacks \"$line\""
    done
  else
    problem "rousel still runs 30 s after Alt+X"
  fi
else
  problem "no prompt \"$prompt\" within 30 s"
fi
[ $fail = 0 ] || printf 'the terminal showed:\n%s\n' "$screen" >&2
tmux -L "$socket" kill-server >/dev/null 2>&1

# --- Remove ---------------------------------------------------------------
if apt-get remove -y -q rousel >"$scratch/apt.log" 2>&1; then
  installed=0
  case $(dpkg-query -W -f='${db:Status-Status}' rousel 2>/dev/null) in
    '' | not-installed | config-files) ;;
    *) problem "dpkg still lists rousel after apt-get remove" ;;
  esac
  for path in /usr/bin/rousel /usr/share/man/man1/rousel.1.gz /usr/share/doc/rousel; do
    [ ! -e "$path" ] || problem "$path is still there after apt-get remove"
  done
  man -w rousel >/dev/null 2>&1 && problem "man still finds a rousel page after apt-get remove"
else
  cat "$scratch/apt.log" >&2
  problem "apt-get remove failed"
fi

[ $fail = 0 ] && echo "package $(basename "$deb"): built, installed, ran, removed"
exit $fail
