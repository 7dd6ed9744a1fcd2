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

# listing NAME VERSION DLL:FUNCTION... writes the header's subsystem version
# and an import section as objdump -p shows them.
listing() {
  local name=$1 version=$2 dll="" entry
  shift 2
  {
    printf 'MajorSubsystemVersion\t%s\nMinorSubsystemVersion\t%s\n\n' "${version%.*}" "${version#*.}"
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

listing clean 4.0 KERNEL32.dll:Beep KERNEL32.dll:Sleep KERNEL32.dll:MultiByteToWideChar \
  msvcrt.dll:malloc msvcrt.dll:_lseeki64 msvcrt.dll:_fstati64 msvcrt.dll:_write USER32.dll:MessageBeep
listing lowercase 4.0 kernel32.dll:Beep MSVCRT.DLL:free user32.DLL:MessageBeep
listing runtime-dll 4.0 KERNEL32.dll:Beep libstdc++-6.dll:_ZNSo3putEc msvcrt.dll:malloc
listing vista 6.0 KERNEL32.dll:Beep KERNEL32.dll:GetTickCount64 msvcrt.dll:_fstat64
listing vista-claims-95 4.0 KERNEL32.dll:Beep KERNEL32.dll:GetTickCount64 msvcrt.dll:malloc
listing header-5.2 5.2 KERNEL32.dll:Beep msvcrt.dll:malloc
listing wide-kernel32 4.0 KERNEL32.dll:Beep KERNEL32.dll:CreateSemaphoreW msvcrt.dll:malloc
listing wide-lstrlen 4.0 KERNEL32.dll:lstrlenW msvcrt.dll:malloc
listing time64 4.0 KERNEL32.dll:Beep msvcrt.dll:_fstat64
listing wfopen 4.0 KERNEL32.dll:Beep msvcrt.dll:_wfopen
listing lc-codepage 4.0 KERNEL32.dll:Beep msvcrt.dll:___lc_codepage_func
listing secure 4.0 KERNEL32.dll:Beep msvcrt.dll:strcpy_s
listing nt-only 4.0 KERNEL32.dll:TryEnterCriticalSection msvcrt.dll:malloc
listing win8 6.0 KERNEL32.dll:GetSystemTimePreciseAsFileTime msvcrt.dll:malloc
# Not kernel32 imports: the name under another DLL, and a mere prefix.
listing other-dll 4.0 KERNEL32.dll:Beep msvcrt.dll:TryEnterCriticalSection msvcrt.dll:CreateSemaphoreW
listing prefix 4.0 KERNEL32.dll:GetTickCount msvcrt.dll:malloc
printf 'rousel.exe:     file format pei-x86-64\n' >"$work/no-imports"

# name | options | expected exit status
cases=(
  "clean||0"
  "clean|--oldest win95|0"
  "clean|--oldest vista|1"
  "lowercase||0"
  "runtime-dll||1"
  "vista||0"
  "vista|--oldest vista|0"
  "vista|--oldest win95|1"
  "vista-claims-95|--oldest win95|1"
  "header-5.2|--oldest win95|1"
  "wide-kernel32|--oldest win95|1"
  "wide-lstrlen|--oldest win95|0"
  "time64|--oldest win95|1"
  "wfopen|--oldest win95|1"
  "lc-codepage|--oldest win95|1"
  "secure|--oldest win95|1"
  "nt-only|--oldest win95|1"
  "win8|--oldest vista|1"
  "other-dll|--oldest win95|0"
  "prefix|--oldest win95|0"
  "no-imports||1"
  "missing-file||1"
  "clean|--bogus|2"
  "clean|--oldest win2000|2"
)

passed=0 failed=0
for case in "${cases[@]}"; do
  IFS='|' read -r name options expected <<<"$case"
  # shellcheck disable=SC2086 # options are words or none
  bash "$here/check-imports.sh" "$work/objdump" "$work/$name" $options >"$work/out" 2>&1
  status=$?
  [ "$status" -eq "$expected" ] && { passed=$((passed + 1)); continue; }
  failed=$((failed + 1))
  echo "FAIL: $name $options: exit $status, expected $expected"
  sed 's/^/    /' "$work/out"
done
echo "check-imports: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
