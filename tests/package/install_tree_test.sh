#!/usr/bin/env bash
# What "cmake --install" puts where, file by file, so that a missing file and
# a stray one (a test binary, a library) both show up.
#   install_tree_test.sh <build dir> <source dir> <1 if rousel-keydump is built, else 0>
set -uo pipefail
build=${1:?build dir}
source=${2:?source dir}
keydump=${3:?0 or 1}
. "$(dirname "$0")/lib.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
install_into "$build" "$scratch/root"
root=$scratch/root/usr

# path | kind: x executable, f plain file, gz gzip -9n data, l:<target> symlink
expected=("bin/rousel|x" "share/man/man1/rousel.1.gz|gz" "share/doc/rousel/README.md|f"
          "share/doc/rousel/copyright|f" "share/doc/rousel/changelog.gz|gz")
[ "$keydump" = 1 ] && expected+=("bin/rousel-keydump|x" "share/man/man1/rousel-keydump.1.gz|l:rousel.1.gz")

for row in "${expected[@]}"; do
  path=${row%%|*}
  kind=${row#*|}
  file=$root/$path
  case $kind in
    x) [ -f "$file" ] && [ -x "$file" ] || problem "$path: not an executable file" ;;
    f) [ -f "$file" ] && [ ! -L "$file" ] || problem "$path: not a plain file" ;;
    gz)
      if [ ! -f "$file" ] || ! gzip -t "$file" 2>/dev/null; then
        problem "$path: not valid gzip data"
      else
        # No file name (flag bit 3) and no time stamp: reproducible bytes.
        read -r -a header < <(od -An -tu1 -N8 "$file")
        ((header[3] & 8)) && problem "$path: the gzip header keeps the file name"
        [ "${header[4]}${header[5]}${header[6]}${header[7]}" = 0000 ] ||
          problem "$path: the gzip header keeps a time stamp"
      fi
      ;;
    l:*)
      [ -L "$file" ] && [ -e "$file" ] && [ "$(readlink "$file")" = "${kind#l:}" ] ||
        problem "$path: not a working link to ${kind#l:}"
      ;;
  esac
done

while IFS= read -r -d '' found; do
  path=${found#"$root"/}
  [[ " ${expected[*]} " == *" $path|"* ]] || problem "$path: installed but not expected"
done < <(find "$scratch/root" \( -type f -o -type l \) -print0)

cmp -s "$source/README.md" "$root/share/doc/rousel/README.md" ||
  problem "share/doc/rousel/README.md differs from the source README.md"
if [ -f "$root/share/man/man1/rousel.1.gz" ]; then
  page=$(gzip -dc "$root/share/man/man1/rousel.1.gz")
  leftover=$(grep -o '@[A-Z_]*@' <<<"$page" | sort -u)
  [ -z "$leftover" ] || problem "rousel.1: placeholders not filled in: $leftover"
  version=$(project_version "$source")
  grep -q "^\.TH ROUSEL 1 .*\"rousel $version\"" <<<"$page" ||
    problem "rousel.1: the .TH line does not name version $version"
fi

[ $fail = 0 ] && echo "install tree: ${#expected[@]} files as expected"
exit $fail
