#!/usr/bin/env bash
# check-imports.sh against canned objdump listings: it must fail when it should.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/objdump" <<'EOF'
#!/usr/bin/env bash
file=${!#}
[ -f "$file" ] || { echo "objdump: '$file': No such file" >&2; exit 1; }
cat "$file"
EOF
chmod +x "$work/objdump"

# listing NAME DLL:FUNCTION... writes an import section as objdump -p shows it.
listing() {
  local name=$1 dll="" entry
  shift
  {
    echo "The Import Tables (interpreted .idata section contents)"
    for entry in "$@"; do
      if [ "${entry%%:*}" != "$dll" ]; then
        [ -n "$dll" ] && echo
        dll=${entry%%:*}
        printf '\tDLL Name: %s\n\tvma:  Hint/Ord Member-Name Bound-To\n' "$dll"
      fi
      printf '\t13f540\t   21  %s\n' "${entry#*:}"
    done
    echo
  } >"$work/$name"
}

listing clean KERNEL32.dll:Beep KERNEL32.dll:Sleep msvcrt.dll:malloc USER32.dll:MessageBeep
listing lowercase kernel32.dll:Beep MSVCRT.DLL:free user32.DLL:MessageBeep
listing runtime-dll KERNEL32.dll:Beep libstdc++-6.dll:_ZNSo3putEc msvcrt.dll:malloc
listing vista KERNEL32.dll:Beep KERNEL32.dll:GetTickCount64 msvcrt.dll:malloc
# Not kernel32 imports: the name under another DLL, and a mere prefix.
listing other-dll KERNEL32.dll:Beep msvcrt.dll:GetTickCount64
listing prefix KERNEL32.dll:GetTickCount msvcrt.dll:malloc
printf 'rousel.exe:     file format pei-x86-64\n' >"$work/no-imports"

# name | options | expected exit status
cases=(
  "clean||0"
  "clean|--old-windows|0"
  "lowercase||0"
  "runtime-dll||1"
  "vista||0"
  "vista|--old-windows|1"
  "other-dll|--old-windows|0"
  "prefix|--old-windows|0"
  "no-imports||1"
  "missing-file||1"
  "clean|--bogus|2"
)

passed=0 failed=0
for case in "${cases[@]}"; do
  IFS='|' read -r name options expected <<<"$case"
  # shellcheck disable=SC2086 # options is one word or none
  bash "$here/check-imports.sh" "$work/objdump" "$work/$name" $options >"$work/out" 2>&1
  status=$?
  [ "$status" -eq "$expected" ] && { passed=$((passed + 1)); continue; }
  failed=$((failed + 1))
  echo "FAIL: $name $options: exit $status, expected $expected"
  sed 's/^/    /' "$work/out"
done
echo "check-imports: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
