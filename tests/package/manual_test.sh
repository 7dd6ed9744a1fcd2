#!/usr/bin/env bash
# The installed manual page: formats without a warning, fits 80 columns,
# gives whatis its line, has its sections, and quotes the program's screens
# and titles as the program writes them.
#   manual_test.sh <build dir> <source dir>
set -uo pipefail

build=${1:?build dir}
source=${2:?source dir}

for tool in groff man lexgrog; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is missing (Debian: groff-base, man-db)"
    exit 77
  fi
done

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if ! DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "FAIL: cmake --install failed" >&2
  exit 1
fi
page=$scratch/root/usr/share/man/man1/rousel.1.gz
[ -f "$page" ] || page=$scratch/root/usr/share/man/man1/rousel.1
if [ ! -f "$page" ]; then
  echo "FAIL: no rousel.1 installed" >&2
  exit 1
fi
gzip -dcf "$page" >"$scratch/rousel.1"

export LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING=

# groff with every warning, and man-db's own checks.
groff -man -Tutf8 -ww -z "$scratch/rousel.1" 2>"$scratch/groff.err"
[ -s "$scratch/groff.err" ] && problem "groff warns: $(cat "$scratch/groff.err")"
man --warnings -E UTF-8 -l "$page" 2>"$scratch/man.err" | col -bx >"$scratch/rendered"
[ -s "$scratch/man.err" ] && problem "man warns: $(cat "$scratch/man.err")"

# An over-long example line runs off an 80-column terminal.
width=$(wc -L <"$scratch/rendered")
[ "$width" -le 80 ] || problem "the page renders $width columns wide at MANWIDTH=80"

# whatis and apropos read the NAME line through lexgrog.
whatis=$(lexgrog "$page" 2>&1)
case $whatis in
  *'"rousel - alarm clock for the text console"'*) ;;
  *) problem "lexgrog reads the NAME section as: $whatis" ;;
esac

sections=(NAME SYNOPSIS DESCRIPTION KEYS "PASSWORD CHECKING" SOUND PRIORITIES
          "THE KEY-DUMP TOOL" "EXIT STATUS" ENVIRONMENT FILES TERMINALS BUGS "SEE ALSO")
for section in "${sections[@]}"; do
  grep -qx -- "$section" "$scratch/rendered" || problem "no section $section"
done

# The screens the KEYS section quotes (its example blocks) against the
# program's string literals, each up to its first "[" where a value follows.
# The titles the program sets against the page.
app_sources=("$source"/app/*.cpp)
unroff() { sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g'; }
unroff <"$scratch/rousel.1" >"$scratch/plain"
quoted=0
while IFS= read -r line; do
  [ -z "$line" ] && continue
  case $line in
    *'['*) text=${line%%\[*}[ ;;
    *) text=$line ;;
  esac
  quoted=$((quoted + 1))
  grep -qF -- "\"$text" "${app_sources[@]}" || problem "the page shows \"$line\", the program has no such text"
done < <(sed -n '/^\.SH KEYS$/,/^\.SH /p' "$scratch/rousel.1" |
  sed -n '/^\.EX$/,/^\.EE$/{/^\.E[XE]$/d;p}' | unroff)
[ $quoted -ge 8 ] || problem "only $quoted example lines found in the page"

titles=0
while IFS= read -r title; do
  titles=$((titles + 1))
  grep -qF -- "$title" "$scratch/plain" || problem "the page does not name the title \"$title\""
done < <(grep -ho 'SetTitle("[^"]*")' "${app_sources[@]}" | sed 's/^SetTitle("\(.*\)")$/\1/' | sort -u)
[ $titles -ge 5 ] || problem "only $titles window titles found in the program"

[ $fail = 0 ] && echo "manual: formats cleanly, $quoted quoted lines and $titles titles match the program"
exit $fail
