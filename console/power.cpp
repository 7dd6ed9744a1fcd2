#include "console/power.h"

#include "console/process.h"
#include "win32/win32.h"

namespace {

// kernel32's power functions, looked up by name: the x86 program must still
// load on Windows 95, which has none of them.
using SetThreadExecutionStateProc = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);
using CreateWaitableTimerAProc = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR);
using SetWaitableTimerProc = BOOL(WINAPI*)(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE,
                                           LPVOID, BOOL);
using CancelWaitableTimerProc = BOOL(WINAPI*)(HANDLE);

struct PowerFunctions {
  bool LookedUp;
  SetThreadExecutionStateProc SetExecutionState;
  CreateWaitableTimerAProc CreateTimer;
  SetWaitableTimerProc SetTimer;
  CancelWaitableTimerProc CancelTimer;
  HANDLE WakeTimer;
};
PowerFunctions Power = {};

constexpr int64_t FileTimeUnitsPerDay = 24LL * 60 * 60 * 10000000;

template <typename Proc>
Proc Find(HMODULE module, LPCSTR name) {
  const FARPROC found = GetProcAddress(module, name);
  // Through void(*)() so that the cast between function types is plain.
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(found));
}

// Once.  The Windows 95 family is left out as a whole: Windows 95 lacks the
// functions, and 98 and Me, whose power management varied from machine to
// machine, would be kept awake by code that never ran there; a machine of
// that family that sleeps rings on resume.  On the NT family each function
// may be missing too (NT 4.0 has the timers but not the execution state).
void LookUp() {
  if (Power.LookedUp) return;
  Power.LookedUp = true;
  if (GetPlatform() != VER_PLATFORM_WIN32_NT) return;
  const HMODULE kernel32 = LoadLibraryA("kernel32.dll");
  if (kernel32 == nullptr) return;
  Power.SetExecutionState = Find<SetThreadExecutionStateProc>(kernel32, "SetThreadExecutionState");
  Power.CreateTimer = Find<CreateWaitableTimerAProc>(kernel32, "CreateWaitableTimerA");
  Power.SetTimer = Find<SetWaitableTimerProc>(kernel32, "SetWaitableTimer");
  Power.CancelTimer = Find<CancelWaitableTimerProc>(kernel32, "CancelWaitableTimer");
  if (Power.SetTimer == nullptr || Power.CancelTimer == nullptr) Power.CreateTimer = nullptr;
}

int64_t Quad(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

// The next start of hour:minute on the local clock, as the absolute UTC time
// a waitable timer takes.  The local-to-UTC conversion uses the offset in
// force now, so on the night the clocks change the timer is an hour off; the
// alarm itself follows the local clock and still rings in its minute.  The
// conversions do not fail for a time the clock gave.
LARGE_INTEGER NextWakeTime(int32_t hour, int32_t minute) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  SYSTEMTIME alarm = now;
  alarm.wHour = static_cast<WORD>(hour);
  alarm.wMinute = static_cast<WORD>(minute);
  alarm.wSecond = 0;
  alarm.wMilliseconds = 0;
  FILETIME local{};
  SystemTimeToFileTime(&alarm, &local);
  int64_t at = Quad(local);
  if (hour * 60 + minute < now.wHour * 60 + now.wMinute) at += FileTimeUnitsPerDay;
  local.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(at));
  local.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
  FILETIME universal{};
  LocalFileTimeToFileTime(&local, &universal);
  LARGE_INTEGER due{};
  due.QuadPart = Quad(universal);
  return due;
}

}  // namespace

void StayAwake(int32_t hour, int32_t minute) {
  LookUp();
  if (Power.CreateTimer != nullptr && Power.WakeTimer == nullptr)
    Power.WakeTimer = Power.CreateTimer(nullptr, TRUE, nullptr);
  if (Power.WakeTimer != nullptr) {
    // A positive due time is absolute; no period; fResume asks the system to
    // wake for it.
    const LARGE_INTEGER due = NextWakeTime(hour, minute);
    Power.SetTimer(Power.WakeTimer, &due, 0, nullptr, nullptr, TRUE);
  }
  // After the timer, so that a system that says why it is kept awake can
  // name the alarm's minute.
  if (Power.SetExecutionState != nullptr)
    Power.SetExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

void AllowSleep() {
  if (Power.WakeTimer != nullptr) Power.CancelTimer(Power.WakeTimer);
  if (Power.SetExecutionState != nullptr) Power.SetExecutionState(ES_CONTINUOUS);
}

void ResetPower() {
  AllowSleep();
  Power = {};
}
