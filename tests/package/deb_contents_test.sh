#!/usr/bin/env bash
# The built Debian package, read without installing it: its files, the
# licence as a machine-readable copyright file with the text of LICENSE, the
# changelog for this version, both programs linked the same way against the
# shared libstdc++ with the hardened flags, no unneeded sections, and a
# Depends line that covers every library the programs need.
#   deb_contents_test.sh <source dir> <work dir>
set -uo pipefail
source_dir=${1:?source dir}
work=${2:?work dir}
. "$(dirname "$0")/lib.sh"

for tool in dpkg-deb:dpkg dpkg-parsechangelog:dpkg-dev objdump:binutils readelf:binutils; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || {
    echo "SKIP: ${tool%%:*} is missing (Debian: ${tool#*:})"
    exit 77
  }
done
deb=$(built_deb "$work") || exit 77
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root" || die "dpkg-deb cannot unpack $deb"
root=$scratch/root
doc=$root/usr/share/doc/rousel
version=$(project_version "$source_dir")

for row in "Package|rousel" "Version|$version" "Architecture|$(dpkg --print-architecture)"; do
  got=$(dpkg-deb -f "$deb" "${row%%|*}")
  [ "$got" = "${row#*|}" ] || problem "control field ${row%%|*} is \"$got\", not \"${row#*|}\""
done

expected=(usr/bin/rousel usr/bin/rousel-keydump usr/share/man/man1/rousel.1.gz
          usr/share/man/man1/rousel-keydump.1.gz usr/share/doc/rousel/README.md
          usr/share/doc/rousel/copyright usr/share/doc/rousel/changelog.gz)
found=$(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
want=$(printf '%s\n' "${expected[@]}" | sort)
[ "$found" = "$want" ] || problem "the package's files differ: $(diff <(echo "$want") <(echo "$found") | grep '^[<>]' | tr '\n' ' ')"

# copyright: the fields, and the licence text of LICENSE word for word.
if [ -f "$doc/copyright" ]; then
  holder=$(sed -n 's/^Copyright (c) //p' "$source_dir/LICENSE")
  for field in "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
               "Files: *" "Copyright: $holder" "License: Expat"; do
    grep -qxF -- "$field" "$doc/copyright" || problem "copyright lacks the line \"$field\""
  done
  sed -n '/^License: /,$p' "$doc/copyright" | tail -n +2 | sed -e 's/^ //' -e 's/^\.$//' >"$scratch/licence"
  sed -n '/^Copyright (c) /,$p' "$source_dir/LICENSE" | tail -n +2 | sed '/./,$!d' >"$scratch/want"
  cmp -s "$scratch/licence" "$scratch/want" ||
    problem "the copyright file's licence text differs from LICENSE: $(diff "$scratch/want" "$scratch/licence" | head -5)"
fi

# changelog.gz: gzip -9n (no name, no time stamp) and this version on top.
if [ -f "$doc/changelog.gz" ]; then
  read -r -a header < <(od -An -tu1 -N10 "$doc/changelog.gz")
  { ((header[3] & 8)) || [ "${header[4]}${header[5]}${header[6]}${header[7]}" != 0000 ] ||
    [ "${header[8]}" != 2 ]; } && problem "changelog.gz is not compressed with gzip -9n"
  top=$(gzip -dc "$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version 2>&1)
  [ "$top" = "$version" ] || problem "the changelog's latest version is \"$top\", not $version"
fi

# Both programs: the shared libstdc++, bound at start-up, without the
# sections a packaged binary should not carry.
depends=$(dpkg-deb -f "$deb" Depends)
for program in rousel rousel-keydump; do
  binary=$root/usr/bin/$program
  [ -f "$binary" ] || continue
  headers=$(LC_ALL=C objdump -p "$binary" 2>/dev/null)
  needed=$(awk '$1 == "NEEDED" {print $2}' <<<"$headers")
  [ -n "$needed" ] || problem "cannot read the libraries $program needs (objdump)"
  grep -qx 'libstdc++.so.6' <<<"$needed" || problem "$program does not link the shared libstdc++"
  LC_ALL=C readelf -d "$binary" 2>/dev/null | grep -q '(FLAGS) *BIND_NOW' ||
    problem "$program is not linked with -z now"
  sections=$(LC_ALL=C objdump -h "$binary" 2>/dev/null | awk '{print $2}')
  for section in .comment .note; do
    grep -qxF -- "$section" <<<"$sections" && problem "$program keeps the section $section"
  done
  # Every library it links must be a dependency: without one the package
  # installs and then cannot start.
  for library in $needed; do
    case $library in
      libasound.so.*) package=libasound2 ;;
      libstdc++.so.*) package=libstdc++6 ;;
      libgcc_s.so.*) package=libgcc-s1 ;;
      libc.so.* | libm.so.* | ld-linux*.so.*) package=libc6 ;;
      *) problem "$program needs $library, which this test does not know"; continue ;;
    esac
    [[ ", $depends," == *", $package "* || ", $depends," == *", $package,"* ]] ||
      problem "$program needs $library but Depends ($depends) lacks $package"
  done
done

[ $fail = 0 ] && echo "package $(basename "$deb"): ${#expected[@]} files as expected; Depends: $depends"
exit $fail
