#!/usr/bin/env bash
# Checks the import table of a Windows .exe: it may load only the DLLs that
# every Windows has (kernel32, user32 and the system C runtime msvcrt), so
# that the program runs from wherever it is copied, with nothing beside it.
#
#   tests/wine/check-imports.sh OBJDUMP EXE [--old-windows]
#
# --old-windows also fails on kernel32 functions that came only with Windows
# XP or later (a missing import stops the loader before the program starts);
# the 32-bit build is the one meant for older systems.
#
# Prints the DLL Name lines it saw; exits 0 when the table is clean, 1 when
# not, 2 on a usage error.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 OBJDUMP EXE [--old-windows]" >&2
  exit 2
fi
objdump=$1
exe=$2
old_windows=false
case "${3:-}" in
  "") ;;
  --old-windows) old_windows=true ;;
  *) echo "usage: $0 OBJDUMP EXE [--old-windows]" >&2; exit 2 ;;
esac

allowed_dlls=(kernel32.dll user32.dll msvcrt.dll)

# Functions that toolchain runtimes are known to pull in and that kernel32
# gained only with Windows XP, Server 2003 or Vista.
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

# The import directory lists each DLL as "DLL Name: X" followed by its
# "vma  Hint/Ord  Member-Name" rows, so the current DLL is carried along.
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
  lower=${dll,,}
  ok=false
  for allowed in "${allowed_dlls[@]}"; do
    [ "$lower" = "$allowed" ] && ok=true
  done
  if ! $ok; then
    echo "$exe: imports $dll, which a plain Windows does not have beside the .exe" >&2
    status=1
  fi
done

if $old_windows; then
  for fn in "${kernel32_functions[@]}"; do
    for newer in "${newer_kernel32[@]}"; do
      if [ "$fn" = "$newer" ]; then
        echo "$exe: imports kernel32 $fn, which came only with Windows XP or later" >&2
        status=1
      fi
    done
  done
fi
exit $status
