#!/usr/bin/env bash
# What "cmake --install" puts where: installs a built tree into a scratch
# directory and compares the result with the expected list, file by file,
# so that a missing file and a stray one (a test binary, a library) both
# show up.
#   install_tree_test.sh <build dir> <source dir> <1 if rousel-keydump is built, else 0>
set -uo pipefail

build=${1:?build dir}
source=${2:?source dir}
keydump=${3:?0 or 1}

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if ! DESTDIR="$scratch" cmake --install "$build" --prefix /usr >"$scratch.log" 2>&1; then
  cat "$scratch.log" >&2
  rm -f "$scratch.log"
  echo "FAIL: cmake --install failed" >&2
  exit 1
fi
rm -f "$scratch.log"
root=$scratch/usr

# path | kind: x executable, f plain file, gz gzip -9n data, l:<target> symlink
expected=(
  "bin/rousel|x"
  "share/man/man1/rousel.1.gz|gz"
  "share/doc/rousel/README.md|f"
)
if [ "$keydump" = 1 ]; then
  expected+=(
    "bin/rousel-keydump|x"
    "share/man/man1/rousel-keydump.1.gz|l:rousel.1.gz"
  )
fi

for row in "${expected[@]}"; do
  path=${row%%|*}
  kind=${row#*|}
  file=$root/$path
  case $kind in
    x)
      [ -f "$file" ] && [ -x "$file" ] || problem "$path: not an executable file"
      ;;
    f)
      [ -f "$file" ] && [ ! -L "$file" ] || problem "$path: not a plain file"
      ;;
    gz)
      if [ ! -f "$file" ] || [ -L "$file" ]; then
        problem "$path: not a plain file"
      elif ! gzip -t "$file" 2>/dev/null; then
        problem "$path: not valid gzip data"
      else
        # Debian wants gzip -9n: no file name (flag bit 3) and no time stamp,
        # so that every build of the same source gives the same bytes.
        read -r -a header < <(od -An -tu1 -N8 "$file")
        ((header[3] & 8)) && problem "$path: the gzip header keeps the file name"
        [ "${header[4]}${header[5]}${header[6]}${header[7]}" = 0000 ] ||
          problem "$path: the gzip header keeps a time stamp"
      fi
      ;;
    l:*)
      if [ ! -L "$file" ]; then
        problem "$path: not a symbolic link"
      else
        target=$(readlink "$file")
        [ "$target" = "${kind#l:}" ] || problem "$path: points to $target, not ${kind#l:}"
        [ -e "$file" ] || problem "$path: dangling link"
      fi
      ;;
  esac
done

# Nothing beyond the list.
while IFS= read -r -d '' found; do
  path=${found#"$root"/}
  listed=0
  for row in "${expected[@]}"; do
    [ "${row%%|*}" = "$path" ] && listed=1
  done
  [ $listed = 1 ] || problem "$path: installed but not expected"
done < <(find "$scratch" \( -type f -o -type l \) -print0)

# The README is the project's, unchanged; the page has its version filled in.
cmp -s "$source/README.md" "$root/share/doc/rousel/README.md" ||
  problem "share/doc/rousel/README.md differs from the source README.md"
if [ -f "$root/share/man/man1/rousel.1.gz" ]; then
  leftover=$(gzip -dc "$root/share/man/man1/rousel.1.gz" | grep -o '@[A-Z_]*@' | sort -u)
  [ -z "$leftover" ] || problem "rousel.1: placeholders not filled in: $leftover"
  version=$(sed -n 's/^project(rousel VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
  gzip -dc "$root/share/man/man1/rousel.1.gz" | grep -q "^\.TH ROUSEL 1 .*\"rousel $version\"" ||
    problem "rousel.1: the .TH line does not name version $version"
fi

[ $fail = 0 ] && echo "install tree: ${#expected[@]} files as expected"
exit $fail
