#!/usr/bin/env bash
# The Debian package as a user gets it: installs the .deb that
# deb_build_test.sh built with apt-get, checks what the user finds (the
# program on the PATH with its libraries, --version, the manual, copyright
# and changelog), runs the installed program in tmux, leaves it with Alt+X,
# and removes the package again, also when a check fails.  Needs root;
# skips (77) where it cannot run.
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
for tool in dpkg-deb:dpkg apt-get:apt tmux:tmux man:man-db; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || skip "${tool%%:*} is missing (Debian: ${tool#*:})"
done
case $(dpkg-query -W -f='${db:Status-Status}' rousel 2>/dev/null) in
  '' | not-installed | config-files) ;;
  *) skip "a rousel package is installed already; this test leaves it alone" ;;
esac
deb=$(built_deb "$work") || exit 77

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

installed=1
apt-get install -y -q "$deb" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log" >&2; die "apt-get install failed"; }
system_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
found=$(PATH=$system_path command -v rousel)
[ "$found" = /usr/bin/rousel ] || die "rousel on the PATH is \"$found\", not the packaged /usr/bin/rousel"
for program in rousel rousel-keydump; do
  libraries=$(ldd /usr/bin/$program 2>&1)
  missing=$(grep 'not found' <<<"$libraries")
  [ -z "$missing" ] || problem "$program: libraries missing after installing the dependencies: $missing"
  grep -q 'libstdc++\.so\.6 => /' <<<"$libraries" || problem "$program does not use the system's libstdc++"
done
answer=$(PATH=$system_path rousel --version </dev/null 2>&1)
[ "$answer" = "Rousel $(project_version "$source_dir")" ] || problem "rousel --version says \"$answer\""
for file in copyright changelog.gz; do
  [ -s /usr/share/doc/rousel/$file ] || problem "/usr/share/doc/rousel/$file is not installed"
done
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
