#!/usr/bin/env bash
# The Debian package as a user meets it.  lintian, pedantic and with its
# informational tags, has nothing to say (it checks the owners and
# permissions, the manual pages and their whatis lines, the stripping and
# hardening, the copyright file's form, compressed files without time
# stamps, a Depends line that reaches libc).  Beyond lintian: the changelog
# names this version, the copyright file carries LICENSE's text, the sound
# card's library (opened at the first tone, out of dpkg-shlibdeps' sight) is
# recommended, and the manual fits 80 columns and quotes the program's
# screens as the program writes them.  As root it installs the
# package, runs its programs, and removes it again.
#   deb_test.sh <source dir> <work dir>
set -uo pipefail
source_dir=${1:?source dir} work=${2:?work dir}
. "$(dirname "$0")/lib.sh"
need dpkg-deb:dpkg dpkg-parsechangelog:dpkg-dev lintian:lintian man:man-db
deb=$(built_deb "$work") || exit 77
version=$(project_version "$source_dir")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || die "dpkg-deb cannot unpack $deb"

tags=$(lintian --pedantic -I -E --no-cfg "$deb" 2>&1 | grep '^[EWIP]: ')
[ -z "$tags" ] || problem "lintian: $tags"
[ "$(gzip -dc "$root/usr/share/doc/rousel/changelog.gz" | dpkg-parsechangelog -l - -S Version)" = "$version" ] ||
  problem "the changelog's latest version is not $version"
diff <(sed -e 's/^Copyright: \(.*\)/Copyright (c) \1\n/p' -e '1,/^License: /d' -e 's/^$/(field ended)/' \
  -e 's/^ \.\?//' "$root/usr/share/doc/rousel/copyright") \
  <(sed '1,/^$/d' "$source_dir/LICENSE") || problem "the copyright file's licence differs from LICENSE"
# gzip -9n: no file name, no time stamp, the best compression.
for gz in "$root"/usr/share/man/man1/*.gz "$root"/usr/share/doc/rousel/*.gz; do
  [ "$(od -An -tu1 -j3 -N6 "$gz" | tr -s ' ')" = " 0 0 0 0 0 2" ] || problem "${gz#"$root"} is not gzip -9n"
done
[[ $(dpkg-deb -f "$deb" Recommends) == libasound2* ]] || problem "Recommends lacks libasound2"

[ "$(MANWIDTH=80 man -l "$root/usr/share/man/man1/rousel.1.gz" 2>/dev/null | col -bx | wc -L)" -le 80 ] || problem "the manual is wider than 80"
# The example screens of KEYS, each up to the first "[" where a value
# follows, are the program's strings.
text=$(gzip -dc "$root/usr/share/man/man1/rousel.1.gz" | sed -e "s/\\\\(aq/'/g" -e 's/\\-/-/g')
keys=$(sed -n '/^\.SH KEYS$/,/^\.SH /p' <<<"$text" | sed -n '/^\.EX$/,/^\.EE$/{/^\.E[XE]$/d;/./p}')
[ "$(wc -l <<<"$keys")" -ge 8 ] || problem "too few quoted lines in the manual"
while IFS= read -r line; do
  [[ $line == *[* ]] && line=${line%%\[*}[
  grep -qF -- "\"$line" "$source_dir"/app/*.cpp || problem "the manual shows \"$line\", the program does not"
done <<<"$keys"

[ "$(id -u)" = 0 ] && [ -z "$(dpkg-query -W -f='${db:Status-Status}' rousel 2>/dev/null | grep -v not-installed)" ] ||
  { echo "not installed here: needs root and no rousel package installed"; exit $fail; }
trap 'tmux -L rousel-deb-$$ kill-server 2>/dev/null; apt-get remove -y -q rousel >/dev/null 2>&1; rm -rf "$root"' EXIT
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin
apt-get install -y -q "$deb" >"$root/apt.log" 2>&1 || die "apt-get install: $(cat "$root/apt.log")"
[ "$(rousel --version)" = "Rousel $version" ] && [[ $(rousel --help) == *"man rousel"* ]] ||
  problem "the installed rousel does not answer --version and --help"
# The hardened build on a terminal: the prompt, then Alt+X leaves with status 0.
tmux -L rousel-deb-$$ -f /dev/null new-session -d -x 80 -y 25 "rousel; echo \$? >$root/status"
within_30s() { for _ in $(seq 300); do eval "$1" && return; sleep 0.1; done; false; }
within_30s '[[ $(tmux -L rousel-deb-$$ capture-pane -p) == *"ALT-X to exit"* ]]' &&
  tmux -L rousel-deb-$$ send-keys M-x && within_30s '[ -s "$root/status" ]'
[ "$(cat "$root/status" 2>/dev/null)" = 0 ] || problem "the installed rousel did not start and leave with Alt+X"
apt-get remove -y -q rousel >"$root/apt.log" 2>&1 || die "apt-get remove: $(cat "$root/apt.log")"
exit $fail
