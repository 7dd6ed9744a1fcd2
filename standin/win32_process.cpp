// The Win32 thread, synchronisation, process and system functions, on the
// model's kernel objects and on what the end provides: its clock, its sound,
// its priorities, its way out, its hold on the system's sleep.
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "standin/end/end.h"
#include "standin/model/kernel_objects.h"
#include "win32/speaker_ports.h"
#include "win32/win32.h"

namespace {

using standin::end::Call;

// The frequencies Beep accepts on Windows; others fail without a sound.
constexpr DWORD LowestFrequency = 37;
constexpr DWORD HighestFrequency = 32767;

UINT WINAPI KeyboardCodePage() {
  return standin::end::SystemInfo().KeyboardCodePage;
}
char User32Module = 0;
char Kernel32Module = 0;

// --- File times ---

constexpr int64_t UnitsPerMillisecond = 10000;
constexpr int64_t UnitsPerMinute = UnitsPerMillisecond * 60 * 1000;
constexpr int64_t MinutesPerDay = int64_t{24} * 60;
// From 1 January 1601, where file times count from, to 1 January 1970.
constexpr int64_t DaysFrom1601To1970 = 134774;

int64_t Quad(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}
FILETIME FileTimeOf(int64_t units) {
  return FILETIME{static_cast<DWORD>(static_cast<uint64_t>(units)),
                  static_cast<DWORD>(static_cast<uint64_t>(units) >> 32)};
}

// A SYSTEMTIME as file time units; false for a date or time Windows refuses
// (the day of the week is not looked at, as there).
bool UnitsOf(const SYSTEMTIME& time, int64_t& units) {
  using namespace std::chrono;
  const year_month_day date{year{time.wYear}, month{time.wMonth}, day{time.wDay}};
  if (time.wYear < 1601 || time.wYear > 30827 || !date.ok() || time.wHour > 23 ||
      time.wMinute > 59 || time.wSecond > 59 || time.wMilliseconds > 999)
    return false;
  const int64_t days = sys_days{date}.time_since_epoch().count() + DaysFrom1601To1970;
  const int64_t seconds = ((days * 24 + time.wHour) * 60 + time.wMinute) * 60 + time.wSecond;
  units = (seconds * 1000 + time.wMilliseconds) * UnitsPerMillisecond;
  return true;
}

int64_t UniversalNow() {
  SYSTEMTIME local{};
  standin::end::LocalTime(&local);
  int64_t units = 0;
  UnitsOf(local, units);
  return units - standin::end::UtcOffsetMinutes() * UnitsPerMinute;
}

// --- The execution state and the waitable timers ---

// One execution state for the process: Windows keeps one per thread, and
// the program sets it from its one thread.  The timers are kernel objects
// (events nobody signals: nothing here waits on a timer) with a due time; a
// timer set with fResume is what the system would wake up for.
struct WaitableTimer {
  HANDLE Handle;
  bool Set;
  bool Resume;
  int64_t Due;  // UTC file time
};
std::mutex PowerMutex;
EXECUTION_STATE ExecutionState = ES_CONTINUOUS;
std::vector<WaitableTimer> Timers;

WaitableTimer* FindTimerLocked(HANDLE handle) {
  for (WaitableTimer& timer : Timers)
    if (timer.Handle == handle) return &timer;
  return nullptr;
}

// Why the system is kept awake: the local time of the earliest wake timer.
std::string ReasonLocked() {
  const WaitableTimer* first = nullptr;
  for (const WaitableTimer& timer : Timers)
    if (timer.Set && timer.Resume && (first == nullptr || timer.Due < first->Due)) first = &timer;
  if (first == nullptr) return "Alarm pending";
  const int64_t localMinutes = first->Due / UnitsPerMinute + standin::end::UtcOffsetMinutes();
  const int64_t minuteOfDay = (localMinutes % MinutesPerDay + MinutesPerDay) % MinutesPerDay;
  char reason[32];
  std::snprintf(reason, sizeof reason, "Alarm at %02d:%02d", static_cast<int>(minuteOfDay / 60),
                static_cast<int>(minuteOfDay % 60));
  return reason;
}

EXECUTION_STATE WINAPI StandinSetThreadExecutionState(EXECUTION_STATE esFlags) {
  std::lock_guard lock(PowerMutex);
  standin::end::Note(Call("SetThreadExecutionState", {static_cast<int>(esFlags & ~ES_CONTINUOUS),
                                                      (esFlags & ES_CONTINUOUS) != 0}));
  const EXECUTION_STATE previous = ExecutionState;
  // Without ES_CONTINUOUS the idle timer is only reset once: nothing lasts.
  if ((esFlags & ES_CONTINUOUS) == 0) return previous;
  ExecutionState = esFlags;
  if ((esFlags & ES_SYSTEM_REQUIRED) != 0) {
    standin::end::StayAwake(ReasonLocked());
  } else if ((previous & ES_SYSTEM_REQUIRED) != 0) {
    standin::end::AllowSleep();
  }
  return previous;
}

HANDLE WINAPI StandinCreateWaitableTimerA(LPSECURITY_ATTRIBUTES /*lpTimerAttributes*/,
                                          BOOL bManualReset, LPCSTR /*lpTimerName*/) {
  const HANDLE handle = model::NewEvent(bManualReset != FALSE, false);
  if (handle == nullptr) return nullptr;
  std::lock_guard lock(PowerMutex);
  Timers.push_back(WaitableTimer{handle, false, false, 0});
  return handle;
}

// A negative due time is relative to now, a positive one an absolute UTC
// file time.  The period (noted) and the completion routine are not kept:
// the timer never signals here.
BOOL WINAPI StandinSetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                                    PTIMERAPCROUTINE /*pfnCompletionRoutine*/,
                                    LPVOID /*lpArgToCompletionRoutine*/, BOOL fResume) {
  if (lpDueTime == nullptr || lPeriod < 0) return FALSE;
  std::lock_guard lock(PowerMutex);
  WaitableTimer* timer = FindTimerLocked(hTimer);
  if (timer == nullptr) return FALSE;
  const int64_t now = UniversalNow();
  timer->Due = lpDueTime->QuadPart < 0 ? now - lpDueTime->QuadPart : lpDueTime->QuadPart;
  timer->Set = true;
  timer->Resume = fResume != FALSE;
  // The due time as seconds from now, so that a test sees the conversions.
  standin::end::Note(
      Call("SetWaitableTimer", {static_cast<int>((timer->Due - now) / (1000 * UnitsPerMillisecond)),
                                static_cast<int>(lPeriod), timer->Resume}));
  return TRUE;
}

BOOL WINAPI StandinCancelWaitableTimer(HANDLE hTimer) {
  std::lock_guard lock(PowerMutex);
  WaitableTimer* timer = FindTimerLocked(hTimer);
  if (timer == nullptr) return FALSE;
  standin::end::Note(Call("CancelWaitableTimer", {}));
  timer->Set = false;
  return TRUE;
}

// Through void (*)(), the generic function pointer, as GetProcAddress's
// callers cast back to the real type.
template <typename Function>
FARPROC Exported(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC Kernel32Export(LPCSTR name) {
  if (!standin::end::SystemInfo().HasPowerFunctions) return nullptr;
  if (std::strcmp(name, "SetThreadExecutionState") == 0)
    return Exported(&StandinSetThreadExecutionState);
  if (std::strcmp(name, "CreateWaitableTimerA") == 0) return Exported(&StandinCreateWaitableTimerA);
  if (std::strcmp(name, "SetWaitableTimer") == 0) return Exported(&StandinSetWaitableTimer);
  if (std::strcmp(name, "CancelWaitableTimer") == 0) return Exported(&StandinCancelWaitableTimer);
  return nullptr;
}

// The speaker gate (port 0x61) reads back what was written; the timer's
// ports read 0.  No end sounds them: only the Windows 95 family lets a
// program reach the speaker this way, and the stand-in is an NT console.
std::mutex PortMutex;
uint8_t SpeakerGate = 0;

}  // namespace

// --- Threads and synchronisation ---

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD /*dwCreationFlags*/, LPDWORD lpThreadId) {
  standin::end::Note(Call("CreateThread", {static_cast<int>(dwStackSize)}));
  if (lpStartAddress == nullptr || !standin::end::ThreadsAllowed()) return nullptr;
  return model::StartThread(lpStartAddress, lpParameter, lpThreadId);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR /*lpName*/) {
  return model::NewEvent(bManualReset != FALSE, bInitialState != FALSE);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  return model::SignalEvent(hEvent) ? TRUE : FALSE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (hHandle == model::ConsoleInputHandle()) {
    if (!standin::end::Open()) return WAIT_FAILED;
    standin::end::DeliverInput();
    model::EndPass();
    return standin::end::WaitForInput(dwMilliseconds);
  }
  standin::end::ShowWhenDue();
  return model::WaitObject(hHandle, dwMilliseconds);
}

// Kernel objects live as long as the process (see kernel_objects.h); closing
// the pseudo handles is a no-op on Windows too.
BOOL WINAPI CloseHandle(HANDLE hObject) {
  return hObject != nullptr ? TRUE : FALSE;
}

// --- Process and system ---

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation == nullptr ||
      lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA))
    return FALSE;
  const standin::end::System system = standin::end::SystemInfo();
  lpVersionInformation->dwMajorVersion = system.Major;
  lpVersionInformation->dwMinorVersion = system.Minor;
  lpVersionInformation->dwBuildNumber = system.Build;
  lpVersionInformation->dwPlatformId = system.Platform;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) {
  standin::end::Note(Call("ExitProcess", {static_cast<int>(uExitCode)}));
  // The last pass ends here: the wakes it caused are given.
  model::EndPass();
  standin::end::Exit(uExitCode);
}

HANDLE WINAPI GetCurrentProcess() {
  return model::CurrentProcessHandle();
}

BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
  standin::end::Note(Call("SetPriorityClass", {static_cast<int>(dwPriorityClass)}));
  if (hProcess != model::CurrentProcessHandle()) return FALSE;
  if (dwPriorityClass != NORMAL_PRIORITY_CLASS && dwPriorityClass != IDLE_PRIORITY_CLASS &&
      dwPriorityClass != HIGH_PRIORITY_CLASS)
    return FALSE;
  return standin::end::SetPriority(dwPriorityClass) ? TRUE : FALSE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  if (lpSystemTime != nullptr) standin::end::LocalTime(lpSystemTime);
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
  int64_t units = 0;
  if (lpSystemTime == nullptr || lpFileTime == nullptr || !UnitsOf(*lpSystemTime, units))
    return FALSE;
  *lpFileTime = FileTimeOf(units);
  return TRUE;
}

// With the offset in force now, as Windows does (not the one in force at
// that time).
BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
  if (lpLocalFileTime == nullptr || lpFileTime == nullptr) return FALSE;
  *lpFileTime =
      FileTimeOf(Quad(*lpLocalFileTime) - standin::end::UtcOffsetMinutes() * UnitsPerMinute);
  return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  standin::end::Note(Call("Sleep", {static_cast<int>(dwMilliseconds)}));
  // The end of a pass: what it drew goes out now, and the wakes it caused.
  model::EndPass();
  standin::end::Sleep(dwMilliseconds);
}

BOOL WINAPI Beep(DWORD dwFreq, DWORD dwDuration) {
  standin::end::Note(Call("Beep", {static_cast<int>(dwFreq), static_cast<int>(dwDuration)}));
  if (dwFreq < LowestFrequency || dwFreq > HighestFrequency) return FALSE;
  if (dwDuration == 0) return TRUE;
  model::EndPass();
  standin::end::Tone(dwFreq, dwDuration);
  return TRUE;
}

BOOL WINAPI MessageBeep(UINT uType) {
  standin::end::Note(Call("MessageBeep", {static_cast<int>(uType)}));
  standin::end::Bell();
  return TRUE;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) return nullptr;
  if (strcasecmp(lpLibFileName, "user32.dll") == 0 || strcasecmp(lpLibFileName, "user32") == 0)
    return &User32Module;
  if (strcasecmp(lpLibFileName, "kernel32.dll") == 0 || strcasecmp(lpLibFileName, "kernel32") == 0)
    return &Kernel32Module;
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (lpProcName == nullptr) return nullptr;
  if (hModule == &Kernel32Module) return Kernel32Export(lpProcName);
  if (hModule != &User32Module || std::strcmp(lpProcName, "GetKBCodePage") != 0) return nullptr;
  if (!standin::end::SystemInfo().HasGetKBCodePage) return nullptr;
  return Exported(&KeyboardCodePage);
}

PVOID WINAPI SecureZeroMemory(PVOID ptr, SIZE_T cnt) {
  // A clear the compiler may not drop as a dead store.
  if (ptr != nullptr) explicit_bzero(ptr, cnt);
  return ptr;
}

// --- The speaker ports ---

uint8_t PortReadByte(uint16_t port) {
  standin::end::Note(Call("in", {port}));
  std::lock_guard lock(PortMutex);
  return port == SpeakerGatePort ? SpeakerGate : 0;
}

void PortWriteByte(uint16_t port, uint8_t value) {
  standin::end::Note(Call("out", {port, value}));
  std::lock_guard lock(PortMutex);
  if (port == SpeakerGatePort) SpeakerGate = value;
}
