#!/usr/bin/env bash
# Checks the import table of a Windows .exe: only the DLLs every Windows has
# (kernel32, user32, msvcrt), so that it runs from wherever it is copied.
# --old-windows also rejects kernel32 functions newer than Windows 2000 (a
# missing import stops the loader); the 32-bit build is meant for those.
#   tests/wine/check-imports.sh OBJDUMP EXE [--old-windows]
# Exits 0 when clean, 1 when not, 2 on a usage error.
set -euo pipefail

usage() {
  echo "usage: $0 OBJDUMP EXE [--old-windows]" >&2
  exit 2
}
[ $# -ge 2 ] && [ $# -le 3 ] || usage
objdump=$1
exe=$2
old_windows=false
case "${3:-}" in
  "") ;;
  --old-windows) old_windows=true ;;
  *) usage ;;
esac

# Functions toolchain runtimes pull in that kernel32 gained with XP or later.
newer_kernel32=(
  GetTickCount64 AddVectoredExceptionHandler RemoveVectoredExceptionHandler
  AddVectoredContinueHandler RemoveVectoredContinueHandler
  InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW
  WakeConditionVariable WakeAllConditionVariable InitializeSRWLock
  AcquireSRWLockExclusive AcquireSRWLockShared ReleaseSRWLockExclusive
  ReleaseSRWLockShared TryAcquireSRWLockExclusive TryAcquireSRWLockShared
  InitializeCriticalSectionEx InitOnceExecuteOnce InitOnceBeginInitialize
  GetSystemTimePreciseAsFileTime FlsAlloc FlsFree FlsGetValue FlsSetValue
  GetCurrentProcessorNumber GetErrorMode CreateEventExA CreateEventExW
  CreateSemaphoreExW CreateMutexExW
)

if ! listing=$("$objdump" -p "$exe" 2>&1); then
  echo "$exe: $objdump could not read it:" >&2
  echo "$listing" >&2
  exit 1
fi

# Each "DLL Name: X" line is followed by its "vma Hint/Ord Member-Name" rows.
mapfile -t dlls < <(awk '/^[[:space:]]*DLL Name:/ { print $3 }' <<<"$listing")
mapfile -t kernel32_functions < <(awk '
  /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
  /^[[:space:]]*$/ { dll = "" }
  dll == "kernel32.dll" && NF == 3 && $2 ~ /^[0-9]+$/ { print $3 }' <<<"$listing")

echo "$exe imports:"
printf '  DLL Name: %s\n' "${dlls[@]}"

status=0
if [ ${#dlls[@]} -eq 0 ]; then
  echo "$exe: no import table found" >&2
  status=1
fi
for dll in "${dlls[@]}"; do
  case ${dll,,} in
    kernel32.dll | user32.dll | msvcrt.dll) ;;
    *) echo "$exe: imports $dll, which a plain Windows does not have beside the .exe" >&2
       status=1 ;;
  esac
done

if $old_windows; then
  for fn in "${kernel32_functions[@]}"; do
    [[ " ${newer_kernel32[*]} " == *" $fn "* ]] || continue
    echo "$exe: imports kernel32 $fn, which came only with Windows XP or later" >&2
    status=1
  done
fi
exit $status
