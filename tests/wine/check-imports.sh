#!/usr/bin/env bash
# Checks that a Windows .exe loads where its build claims to:
#   - it imports only the DLLs every Windows has (kernel32, user32, msvcrt),
#     so that it runs from wherever it is copied;
#   - its header's subsystem version is that of the oldest Windows claimed
#     (4.0: the Windows 95 family and NT 4.0; 6.0: Vista), since a loader
#     refuses a program whose header asks for a newer system;
#   - each imported function exists, and works, on that Windows: a missing
#     import stops the loader, and on the Windows 95 family the wide (W)
#     functions of kernel32 are stubs that fail, the wide file functions of
#     msvcrt need them, and msvcrt.dll has none of the 64-bit time functions
#     (those came with the msvcrt.dll of Windows XP).
#   tests/wine/check-imports.sh OBJDUMP EXE [--oldest win95|vista]
# Without --oldest only the DLLs are checked.  Exits 0 when clean, 1 when
# not, 2 on a usage error.
set -euo pipefail

case $#:${3:-}:${4:-} in
  2:: | 4:--oldest:win95 | 4:--oldest:vista) ;;
  *) echo "usage: $0 OBJDUMP EXE [--oldest win95|vista]" >&2; exit 2 ;;
esac
objdump=$1 exe=$2 oldest=${4:-}

# kernel32 functions newer than the Windows 95 family (or on it only as
# stubs), that toolchain runtimes are known to pull in, or that the program
# looks up instead of calling (console/power.cpp): those that came with
# Windows 98 or NT 4.0 and are missing on Windows 95, those of Windows 2000
# and XP, and those of Vista and later.
not_on_vista="GetSystemTimePreciseAsFileTime TryAcquireSRWLockExclusive TryAcquireSRWLockShared"
not_on_win95="$not_on_vista
  InterlockedCompareExchange InterlockedExchangeAdd IsDebuggerPresent
  GetFileAttributesExA CreateWaitableTimerA SetWaitableTimer CancelWaitableTimer CancelIo
  SetThreadExecutionState
  TryEnterCriticalSection SwitchToThread SignalObjectAndWait IsProcessorFeaturePresent
  InitializeCriticalSectionAndSpinCount SetCriticalSectionSpinCount QueueUserAPC
  GetConsoleWindow AttachConsole HeapSetInformation GetNativeSystemInfo
  AddVectoredExceptionHandler RemoveVectoredExceptionHandler
  RtlCaptureContext RtlVirtualUnwind RtlLookupFunctionEntry RtlUnwindEx
  GetTickCount64 AddVectoredContinueHandler RemoveVectoredContinueHandler
  InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW
  WakeConditionVariable WakeAllConditionVariable InitializeSRWLock
  AcquireSRWLockExclusive AcquireSRWLockShared ReleaseSRWLockExclusive
  ReleaseSRWLockShared InitializeCriticalSectionEx InitOnceExecuteOnce InitOnceBeginInitialize
  FlsAlloc FlsFree FlsGetValue FlsSetValue GetCurrentProcessorNumber GetErrorMode
  CreateEventExA CreateEventExW CreateSemaphoreExW CreateMutexExW"
# The few wide functions the Windows 95 family implements for real.
wide_on_win95="lstrlenW FindResourceW FindResourceExW EnumResourceNamesW
  EnumResourceTypesW EnumResourceLanguagesW MessageBoxW MessageBoxExW"
# msvcrt functions that take file names or the environment in UTF-16: built
# on the wide kernel32 functions, so they fail on the Windows 95 family.
wide_msvcrt='^(_wfopen|_wfreopen|_wfsopen|_wopen|_wsopen|_wcreat|_waccess|_wchmod|_wstat.*|_wfind.*|_wgetenv|_wputenv|_wsystem|_wmkdir|_wrmdir|_wchdir|_wgetcwd|_wremove|_wrename|_wunlink|_wutime.*|_wexec.*|_wspawn.*|_wpopen|__wgetmainargs)$'
# msvcrt functions of Windows XP's msvcrt.dll and later: the 64-bit time
# type (the __int64 file functions ending in i64 are older), the locale
# accessors, the stdio array accessor and the bounds-checking functions.
new_msvcrt='([^i]64|64i32|_s)$|^(___lc_codepage_func|___lc_handle_func|___mb_cur_max_func|__iob_func|_get_errno|_set_errno)$'

if ! listing=$("$objdump" -p "$exe" 2>&1); then
  echo "$exe: $objdump could not read it:" >&2
  echo "$listing" >&2
  exit 1
fi
# Each "DLL Name: X" line is followed by its "vma Hint/Ord Member-Name" rows:
# one line per DLL ("DLL X") and per import ("x.dll function").
mapfile -t imports < <(awk '
  /^[[:space:]]*DLL Name:/ { dll = tolower($3); print "DLL", $3; next }
  /^[[:space:]]*$/ { dll = "" }
  dll != "" && NF == 3 && $2 ~ /^[0-9]+$/ { print dll, $3 }' <<<"$listing")
subsystem=$(awk '/^MajorSubsystemVersion/ { major = $2 } /^MinorSubsystemVersion/ { minor = $2 }
  END { if (major != "") print major "." minor }' <<<"$listing")
echo "$exe imports (subsystem version ${subsystem:-unknown}):"
printf '%s\n' "${imports[@]}" | sed -n 's/^DLL /  DLL Name: /p'

status=0
complain() {
  echo "$exe: $*" >&2
  status=1
}
[[ " ${imports[*]} " == *" DLL "* ]] || complain "no import table found"
case $oldest in
  win95) [ "$subsystem" = 4.0 ] || complain "header says subsystem ${subsystem:-none}, not 4.0 (Windows 95)" ;;
  vista) [ "$subsystem" = 6.0 ] || complain "header says subsystem ${subsystem:-none}, not 6.0 (Windows Vista)" ;;
esac
for entry in "${imports[@]}"; do
  dll=${entry%% *} fn=${entry#* }
  case $oldest:$dll:${fn,,} in
    *:DLL:kernel32.dll | *:DLL:user32.dll | *:DLL:msvcrt.dll) ;;
    *:DLL:*) complain "imports $fn, which a plain Windows does not have beside the .exe" ;;
    vista:kernel32.dll:*)
      grep -qwF -- "$fn" <<<"$not_on_vista" && complain "imports kernel32 $fn, which came only after Windows Vista" ;;
    win95:kernel32.dll:* | win95:user32.dll:*)
      if grep -qwF -- "$fn" <<<"$not_on_win95"; then
        complain "imports $dll $fn, which the Windows 95 family does not have"
      elif [[ $fn =~ [a-z0-9]W$ ]] && ! grep -qwF -- "$fn" <<<"$wide_on_win95"; then
        complain "imports $dll $fn, a wide function that is a failing stub on the Windows 95 family"
      fi ;;
    win95:msvcrt.dll:*)
      if [[ $fn =~ $new_msvcrt ]]; then
        complain "imports msvcrt $fn, which the msvcrt.dll of the Windows 95 family does not have"
      elif [[ $fn =~ $wide_msvcrt ]]; then
        complain "imports msvcrt $fn, which needs the wide kernel32 functions the Windows 95 family lacks"
      fi ;;
  esac
done
exit $status
