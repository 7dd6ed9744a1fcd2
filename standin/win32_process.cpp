// The Win32 thread, synchronisation, process and system functions, on the
// model's kernel objects and on what the end provides: its clock, its sound,
// its priorities, its way out.
#include <strings.h>

#include <cstring>
#include <mutex>

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
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != &User32Module || lpProcName == nullptr) return nullptr;
  if (std::strcmp(lpProcName, "GetKBCodePage") != 0) return nullptr;
  if (!standin::end::SystemInfo().HasGetKBCodePage) return nullptr;
  // Through void (*)(), the generic function pointer, as GetProcAddress's
  // callers cast back to the real type.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&KeyboardCodePage));
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
