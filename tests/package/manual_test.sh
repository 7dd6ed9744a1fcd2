#!/usr/bin/env bash
# The installed manual page: formats without a warning, fits 80 columns,
# gives whatis its line, and quotes the program's screens and titles as the
# program writes them.
#   manual_test.sh <build dir> <source dir>
set -uo pipefail
build=${1:?build dir}
source=${2:?source dir}
. "$(dirname "$0")/lib.sh"

for tool in groff man lexgrog; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is missing (Debian: groff-base, man-db)"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
install_into "$build" "$scratch/root"
page=$scratch/root/usr/share/man/man1/rousel.1.gz
[ -f "$page" ] || die "no rousel.1.gz installed"
gzip -dc "$page" >"$scratch/rousel.1"

export LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING=
groff -man -Tutf8 -ww -z "$scratch/rousel.1" 2>"$scratch/groff.err"
[ -s "$scratch/groff.err" ] && problem "groff warns: $(cat "$scratch/groff.err")"
man --warnings -E UTF-8 -l "$page" 2>"$scratch/man.err" | col -bx >"$scratch/rendered"
[ -s "$scratch/man.err" ] && problem "man warns: $(cat "$scratch/man.err")"
width=$(wc -L <"$scratch/rendered")
[ "$width" -le 80 ] || problem "the page renders $width columns wide at MANWIDTH=80"

# The source reads right as it stands: "man ./packaging/rousel.1".
man -E UTF-8 -l "$source/packaging/rousel.1" 2>/dev/null | col -bx >"$scratch/source"
leftover=$(grep -o '@[A-Za-z_]*@' "$scratch/source" | sort -u)
[ -z "$leftover" ] || problem "packaging/rousel.1 shows placeholders: $leftover"
cmp -s "$scratch/source" "$scratch/rendered" || problem "the installed page differs from packaging/rousel.1"

whatis=$(lexgrog "$page" 2>&1)
[[ $whatis == *'"rousel - alarm clock for the text console"'* ]] ||
  problem "lexgrog reads the NAME section as: $whatis"

# The KEYS section's example screens against the program's string literals,
# each up to its first "[" where a value follows; then the window titles.
app_sources=("$source"/app/*.cpp)
unroff() { sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g'; }
quoted=0
while IFS= read -r line; do
  [ -z "$line" ] && continue
  text=$line
  [[ $line == *'['* ]] && text=${line%%\[*}[
  quoted=$((quoted + 1))
  grep -qF -- "\"$text" "${app_sources[@]}" || problem "the page shows \"$line\", the program has no such text"
done < <(sed -n '/^\.SH KEYS$/,/^\.SH /p' "$scratch/rousel.1" |
  sed -n '/^\.EX$/,/^\.EE$/{/^\.E[XE]$/d;p}' | unroff)
[ $quoted -ge 8 ] || problem "only $quoted example lines found in the page"

unroff <"$scratch/rousel.1" >"$scratch/plain"
titles=0
while IFS= read -r title; do
  titles=$((titles + 1))
  grep -qF -- "$title" "$scratch/plain" || problem "the page does not name the title \"$title\""
done < <(grep -ho 'SetTitle("[^"]*")' "${app_sources[@]}" | sed 's/^SetTitle("\(.*\)")$/\1/' | sort -u)
[ $titles -ge 5 ] || problem "only $titles window titles found in the program"

[ $fail = 0 ] && echo "manual: formats cleanly, $quoted quoted lines and $titles titles match the program"
exit $fail
