// The Win32 thread, synchronisation, process and system functions on POSIX:
// threads and events from the shared kernel objects, the wait on the console
// input, the platform and version, the priority classes, local time, sleep
// and the user32 lookup of GetKBCodePage.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/win32.h"
#include "model/kernel_objects.h"
#include "posix/session/exit.h"
#include "posix/session/input.h"
#include "posix/session/priority.h"
#include "posix/session/session.h"

namespace {

// --- Priority ---

// CAP_SYS_NICE (capability 23) in the effective set, from /proc; without
// /proc, root is taken to have it.
bool HasCapSysNice() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
      return ((caps >> 23) & 1u) != 0;
    }
  }
  return geteuid() == 0;
}

session::PriorityLimits Limits() {
  static const session::PriorityLimits Limits = [] {
    session::PriorityLimits l;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    l.BaseNice = errno == 0 ? nice : 0;
    long long rlimitNice = 0;
#ifdef RLIMIT_NICE
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0)
      rlimitNice = limit.rlim_cur == RLIM_INFINITY ? 40 : static_cast<long long>(limit.rlim_cur);
#endif
    l.LowestNice = session::LowestPermittedNice(HasCapSysNice(), rlimitNice);
    return l;
  }();
  return Limits;
}

// Linux keeps the policy and the nice value per thread; a Win32 priority
// class is the whole process's, so every thread gets the plan.
std::vector<pid_t> ProcessThreads() {
  std::vector<pid_t> threads;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) {
      const long id = std::strtol(entry->d_name, nullptr, 10);
      if (id > 0) threads.push_back(static_cast<pid_t>(id));
    }
    closedir(dir);
  }
  if (threads.empty()) threads.push_back(0);  // no /proc: this thread (the process elsewhere)
  return threads;
}

bool ApplyPriority(const session::PriorityPlan& plan) {
  bool ok = true;
  for (const pid_t thread : ProcessThreads()) {
#if defined(SCHED_IDLE) && defined(SCHED_BATCH)
    int policy = SCHED_OTHER;
    if (plan.Policy == session::SchedPolicy::Batch) policy = SCHED_BATCH;
    if (plan.Policy == session::SchedPolicy::Idle) policy = SCHED_IDLE;
    sched_param param{};
    if (sched_setscheduler(thread, policy, &param) != 0) ok = false;
#endif
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread), plan.Nice) != 0) ok = false;
  }
  return ok;
}

std::mutex PriorityMutex;

// --- user32 ---
UINT WINAPI KeyboardCodePage() {
  return 866;
}
char User32Module = 0;

}  // namespace

// --- Threads and synchronisation ---

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, SIZE_T /*dwStackSize*/,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD /*dwCreationFlags*/, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr) return nullptr;
  return model::StartThread(lpStartAddress, lpParameter, lpThreadId);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (hHandle == model::ConsoleInputHandle()) {
    if (!session::StartTerminal()) return WAIT_FAILED;
    return session::WaitForInput(dwMilliseconds);
  }
  return model::WaitObject(hHandle, dwMilliseconds);
}

// Kernel objects live as long as the process (see model/kernel_objects.h);
// closing the pseudo handles is a no-op on Windows too.
BOOL WINAPI CloseHandle(HANDLE hObject) {
  return hObject != nullptr ? TRUE : FALSE;
}

// --- Process and system ---

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation == nullptr ||
      lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA))
    return FALSE;
  lpVersionInformation->dwMajorVersion = 10;
  lpVersionInformation->dwMinorVersion = 0;
  lpVersionInformation->dwBuildNumber = 0;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) {
  session::EndProcess(uExitCode);
}

HANDLE WINAPI GetCurrentProcess() {
  return model::CurrentProcessHandle();
}

BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
  if (hProcess != model::CurrentProcessHandle()) return FALSE;
  session::PriorityPlan plan;
  if (!session::PlanPriority(dwPriorityClass, Limits(), &plan)) return FALSE;
  std::lock_guard lock(PriorityMutex);
  return ApplyPriority(plan) ? TRUE : FALSE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  if (lpSystemTime == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
  lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
  lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
  lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
  // A leap second (tm_sec 60) is shown as the 59th, as Windows does.
  lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) return nullptr;
  if (strcasecmp(lpLibFileName, "user32.dll") == 0 || strcasecmp(lpLibFileName, "user32") == 0)
    return &User32Module;
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != &User32Module || lpProcName == nullptr) return nullptr;
  // Through void (*)(), the generic function pointer, as GetProcAddress's
  // callers cast back to the real type.
  if (std::strcmp(lpProcName, "GetKBCodePage") == 0)
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&KeyboardCodePage));
  return nullptr;
}
