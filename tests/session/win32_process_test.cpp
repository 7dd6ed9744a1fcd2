// The process services of the terminal stand-in: failures reported as
// failures, and the priority classes' plans.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "standin/model/kernel_objects.h"
#include "standin/terminal/priority/priority.h"
#include "win32/win32.h"

namespace {

// What Windows refuses is refused here: another process, a short version
// block, an unknown library or function.
TEST(Process, FailuresAreReportedAsFailures) {
  EXPECT_EQ(SetPriorityClass(nullptr, NORMAL_PRIORITY_CLASS), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), 0x100), FALSE);
  OSVERSIONINFOA info{};
  EXPECT_EQ(GetVersionExA(&info), FALSE);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  const std::pair<const char*, bool> libraries[] = {
      {"user32.dll", true}, {"USER32.DLL", true}, {"user32", true}, {"kernel32.dll", false}};
  for (const auto& [library, has] : libraries) {
    const HMODULE module = LoadLibraryA(library);
    const FARPROC found = module != nullptr ? GetProcAddress(module, "GetKBCodePage") : nullptr;
    EXPECT_EQ(found != nullptr, has) << library;
    if (found == nullptr) continue;
    EXPECT_EQ(GetProcAddress(module, "MessageBoxA"), nullptr);
    EXPECT_EQ(reinterpret_cast<UINT(WINAPI*)()>(reinterpret_cast<void (*)()>(found))(), 866u);
  }
}

// The console functions refuse a missing out argument or the other handle,
// before they touch the terminal.
TEST(Console, CallsWithoutTheirArgumentsFail) {
  const HANDLE in = model::ConsoleInputHandle();
  const HANDLE out = model::ConsoleOutputHandle();
  INPUT_RECORD record{};
  DWORD count = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  EXPECT_EQ(ReadConsoleInputA(in, nullptr, 1, &count), FALSE);
  EXPECT_EQ(ReadConsoleInputA(in, &record, 1, nullptr), FALSE);
  EXPECT_EQ(ReadConsoleInputA(out, &record, 1, &count), FALSE);
  EXPECT_EQ(GetNumberOfConsoleInputEvents(in, nullptr), FALSE);
  EXPECT_EQ(GetConsoleScreenBufferInfo(out, nullptr), FALSE);
  EXPECT_EQ(GetConsoleScreenBufferInfo(in, &info), FALSE);
}

// The plans: whatever the class, normal stays reachable (a nice value at or
// above the lowest permitted, SCHED_IDLE only where leaving it is).
TEST(Priority, PlansNeverLeaveTheProcessUnableToReturnToNormal) {
  using enum priority::SchedPolicy;
  struct Case {
    const char* Name;
    DWORD Class;
    int Base;
    bool Cap;
    long long RlimitNice;
    priority::SchedPolicy Policy;
    int Nice;
  };
  const Case cases[] = {
      {"normal keeps the user's nice value", NORMAL_PRIORITY_CLASS, 5, false, 0, Other, 5},
      {"idle, unprivileged (SCHED_IDLE counts as 20)", IDLE_PRIORITY_CLASS, 0, false, 0, Batch, 0},
      {"idle, RLIMIT_NICE allowing the way back", IDLE_PRIORITY_CLASS, 0, false, 20, Idle, 0},
      {"idle, RLIMIT_NICE one short", IDLE_PRIORITY_CLASS, 0, false, 19, Batch, 0},
      {"high, privileged", HIGH_PRIORITY_CLASS, 0, true, 0, Other, -priority::HighPriorityBoost},
      {"high, as far as RLIMIT_NICE allows", HIGH_PRIORITY_CLASS, 0, false, 24, Other, -4},
      {"high from a niced start", HIGH_PRIORITY_CLASS, 10, false, 0, Other, 10},
      {"high never below -20", HIGH_PRIORITY_CLASS, -15, false, 1000, Other, -20},
  };
  for (const Case& c : cases) {
    priority::PriorityPlan plan{Idle, 99};
    const int lowest = priority::LowestPermittedNice(c.Cap, c.RlimitNice);
    ASSERT_TRUE(priority::PlanPriority(c.Class, {c.Base, lowest}, &plan)) << c.Name;
    EXPECT_EQ(plan.Policy, c.Policy) << c.Name;
    EXPECT_EQ(plan.Nice, c.Nice) << c.Name;
  }
}

// On a real process, as nobody: where RLIMIT_NICE lets the user lower the
// nice value a few steps (limits.conf's "nice" item), high goes as far as
// that and idle is SCHED_IDLE, the way back being permitted; where it lets
// none (root without CAP_SYS_RESOURCE cannot raise it), high keeps the nice
// value and idle is SCHED_BATCH.  Normal returns to where the process
// started.  Returns the step that failed, 0 if none.
int PriorityClassesAsNobody() {
  const rlimit four{24, 24};  // the lowest nice value is 20 - 24 = -4
  const bool permitted = setrlimit(RLIMIT_NICE, &four) == 0;
  if (setuid(65534) != 0) return 10;
  const HANDLE self = GetCurrentProcess();
  const int base = getpriority(PRIO_PROCESS, 0);
  if (SetPriorityClass(self, HIGH_PRIORITY_CLASS) == FALSE) return 11;
  const int high = permitted ? std::max(base - priority::HighPriorityBoost, -4) : base;
  if (getpriority(PRIO_PROCESS, 0) != high) return 12;
  if (SetPriorityClass(self, IDLE_PRIORITY_CLASS) == FALSE) return 13;
  if (sched_getscheduler(0) != (permitted ? SCHED_IDLE : SCHED_BATCH)) return 14;
  if (SetPriorityClass(self, NORMAL_PRIORITY_CLASS) == FALSE) return 15;
  if (sched_getscheduler(0) != SCHED_OTHER || getpriority(PRIO_PROCESS, 0) != base) return 16;
  return 0;
}

TEST(Priority, ARealProcessTakesWhatItIsPermittedAndComesBack) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to set RLIMIT_NICE up and become nobody";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(PriorityClassesAsNobody()), testing::ExitedWithCode(0), "");
}

}  // namespace
