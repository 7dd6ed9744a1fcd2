#!/usr/bin/env bash
# check-imports.sh must pass what old Windows loads and fail each import it
# lacks: on canned objdump listings, one fault per row, and, where MinGW-w64
# is installed, on real programs with and without a planted new import.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\ncat "$2"\n' >"$work/objdump"
chmod +x "$work/objdump"

# subsystem version | options | expected status | DLL:function ... as objdump -p lists them
cases=(
  "4.0|--oldest win95|0|KERNEL32.dll:Beep KERNEL32.dll:GetTickCount KERNEL32.dll:lstrlenW
   msvcrt.dll:_lseeki64 msvcrt.dll:TryEnterCriticalSection msvcrt.dll:CreateSemaphoreW user32.DLL:MessageBeep"
  "6.0|--oldest vista|0|KERNEL32.dll:GetTickCount64 msvcrt.dll:_fstat64"
  "4.0||1|KERNEL32.dll:Beep libstdc++-6.dll:_ZNSo3putEc"
  "4.0||1|"
  "6.0|--oldest win95|1|KERNEL32.dll:Beep"
  "4.0|--oldest vista|1|KERNEL32.dll:Beep"
  "4.0|--oldest win95|1|KERNEL32.dll:SetThreadExecutionState"
  "4.0|--oldest win95|1|KERNEL32.dll:GetSystemTimePreciseAsFileTime"
  "4.0|--oldest win95|1|KERNEL32.dll:CreateSemaphoreW"
  "4.0|--oldest win95|1|msvcrt.dll:_fstat64"
  "4.0|--oldest win95|1|msvcrt.dll:_wfopen"
  "4.0|--oldest win95|1|msvcrt.dll:___lc_codepage_func"
  "4.0|--oldest win95|1|msvcrt.dll:strcpy_s"
  "6.0|--oldest vista|1|KERNEL32.dll:GetSystemTimePreciseAsFileTime"
)
failed=0
for case in "${cases[@]}"; do
  IFS='|' read -r -d '' version options expected entries <<<"$case"
  {
    printf 'MajorSubsystemVersion\t%s\nMinorSubsystemVersion\t%s\n' "${version%.*}" "${version#*.}"
    for dll in $(tr ' ' '\n' <<<"$entries" | sed -n 's/:.*//p' | uniq); do
      printf '\n\tDLL Name: %s\n\tvma:  Hint/Ord Member-Name Bound-To\n' "$dll"
      tr ' ' '\n' <<<"$entries" | sed -n "s/^$dll:/\t13f540\t   21  /p"
    done
  } >"$work/listing"
  # shellcheck disable=SC2086 # options are words or none
  bash "$here/check-imports.sh" "$work/objdump" "$work/listing" $options >"$work/out" 2>&1
  status=$?
  [ "$status" = "$expected" ] || { failed=1; echo "FAIL: exit $status, not $expected: $case"; cat "$work/out"; }
done

# A real program, whose runtime must pass too, then with one new import.
if command -v i686-w64-mingw32-gcc >/dev/null; then
  for row in "0|0" "GetTickCount64()|1"; do
    printf '#include <windows.h>\nint main(void) { return Beep(2000, 10) + (int)%s; }\n' "${row%|*}" >"$work/p.c"
    i686-w64-mingw32-gcc -O1 "$work/p.c" -o "$work/p.exe" &&
      bash "$here/check-imports.sh" i686-w64-mingw32-objdump "$work/p.exe" --oldest win95 >/dev/null 2>&1
    [ $? = "${row#*|}" ] || { failed=1; echo "FAIL: a real program adding ${row%|*}"; }
  done
fi
[ "$failed" = 0 ] && echo "check-imports: ${#cases[@]} listings and the real imports as expected"
exit "$failed"
