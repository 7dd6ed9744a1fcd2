// The stand-in's process functions (standin/win32_process.cpp) on its test
// end: failures reported as failures, the library lookups, the clear that
// stays, file times, and the system kept awake for the wake timer's minute.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "standin/testend/test_end.h"
#include "win32/win32.h"

namespace {

// What Windows refuses is refused here: another process, another class, a
// short version block, an unknown library or function.
TEST(Win32ProcessTest, FailuresAreReportedAsFailures) {
  testend::Reset({.Platform = VER_PLATFORM_WIN32_WINDOWS});
  EXPECT_EQ(SetPriorityClass(nullptr, NORMAL_PRIORITY_CLASS), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), 0x100), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS), TRUE);
  EXPECT_EQ(testend::PriorityClasses(), std::vector<DWORD>{IDLE_PRIORITY_CLASS});
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info - 1;
  EXPECT_EQ(GetVersionExA(&info), FALSE);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_EQ(Beep(36, 100), FALSE);
  EXPECT_EQ(Beep(32768, 100), FALSE);
  EXPECT_TRUE(testend::Beeps().empty());
}

TEST(Win32ProcessTest, User32LooksUpTheKeyboardCodePageOnly) {
  testend::Reset({.KeyboardCodePage = 437});
  const std::pair<const char*, bool> libraries[] = {
      {"user32.dll", true}, {"USER32.DLL", true}, {"user32", true}, {"kernel32.dll", false}};
  for (const auto& [library, has] : libraries) {
    const HMODULE module = LoadLibraryA(library);
    const FARPROC found = module != nullptr ? GetProcAddress(module, "GetKBCodePage") : nullptr;
    EXPECT_EQ(found != nullptr, has) << library;
    if (found == nullptr) continue;
    EXPECT_EQ(GetProcAddress(module, "MessageBoxA"), nullptr);
    EXPECT_EQ(reinterpret_cast<UINT(WINAPI*)()>(reinterpret_cast<void (*)()>(found))(), 437u);
  }
}

// kernel32's power functions, which a system may lack, as the program finds
// them.
template <typename Proc>
Proc Kernel32(const char* name) {
  const FARPROC found = GetProcAddress(LoadLibraryA("kernel32.dll"), name);
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(found));
}
using SetStateProc = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);
using CreateTimerProc = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR);
using SetTimerProc = BOOL(WINAPI*)(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID,
                                   BOOL);
using CancelTimerProc = BOOL(WINAPI*)(HANDLE);

TEST(Win32ProcessTest, Kernel32HasThePowerFunctionsWhereTheSystemHasThem) {
  for (const bool has : {true, false}) {
    testend::Reset({.PowerFunctions = has});
    const HMODULE kernel32 = LoadLibraryA("KERNEL32.DLL");
    ASSERT_EQ(kernel32, LoadLibraryA("kernel32"));
    for (const char* name : {"SetThreadExecutionState", "CreateWaitableTimerA", "SetWaitableTimer",
                             "CancelWaitableTimer"})
      EXPECT_EQ(GetProcAddress(kernel32, name) != nullptr, has) << name;
    EXPECT_EQ(GetProcAddress(kernel32, "CreateWaitableTimerW"), nullptr);
    EXPECT_EQ(GetProcAddress(kernel32, "GetKBCodePage"), nullptr);
  }
}

constexpr int64_t Day = 864000000000;  // file time units
constexpr int64_t Refused = -1;

TEST(Win32ProcessTest, SystemTimesBecomeFileTimesWhereWindowsTakesThem) {
  struct {
    SYSTEMTIME Time;  // year, month, day of the week (not read), day, h, m, s, ms
    int64_t Units;
  } const cases[] = {
      {{1601, 1, 0, 1, 0, 0, 0, 0}, 0},
      {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000},
      {{2024, 2, 0, 29, 23, 59, 59, 999}, 133537247999990000},
      {{2026, 1, 4, 1, 4, 30, 0, 0}, 134117154000000000},
      {{2025, 2, 6, 29, 0, 0, 0, 0}, Refused},
      {{2026, 13, 0, 1, 0, 0, 0, 0}, Refused},
      {{2026, 1, 0, 0, 0, 0, 0, 0}, Refused},
      {{1600, 12, 0, 31, 23, 59, 59, 999}, Refused},
      {{2026, 1, 0, 1, 24, 0, 0, 0}, Refused},
      {{2026, 1, 0, 1, 0, 60, 0, 0}, Refused},
      {{2026, 1, 0, 1, 0, 0, 60, 0}, Refused},
      {{2026, 1, 0, 1, 0, 0, 0, 1000}, Refused},
  };
  for (const auto& c : cases) {
    FILETIME time{};
    const BOOL ok = SystemTimeToFileTime(&c.Time, &time);
    ASSERT_EQ(ok, c.Units != Refused ? TRUE : FALSE) << c.Units;
    if (ok == FALSE) continue;
    EXPECT_EQ(static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime),
              c.Units);
  }
  // Local to UTC with the offset in force: 07:30 three hours ahead is 04:30.
  testend::Reset({.UtcOffsetMinutes = 180});
  const int64_t seven30 = 134117154000000000 + 3 * Day / 24;
  const FILETIME local{static_cast<DWORD>(seven30), static_cast<DWORD>(seven30 >> 32)};
  FILETIME universal{};
  ASSERT_EQ(LocalFileTimeToFileTime(&local, &universal), TRUE);
  EXPECT_EQ(
      static_cast<int64_t>((uint64_t{universal.dwHighDateTime} << 32) | universal.dwLowDateTime),
      134117154000000000);
  EXPECT_EQ(LocalFileTimeToFileTime(nullptr, &universal), FALSE);
}

// The end hears when the system must stay awake and why (the local minute of
// the earliest wake timer), and when it may sleep again; a state without
// ES_CONTINUOUS lasts nothing.
TEST(Win32ProcessTest, TheSystemStaysAwakeForTheEarliestWakeTimer) {
  testend::Reset({.UtcOffsetMinutes = 180});  // 12:00 local is 09:00 UTC
  const auto setState = Kernel32<SetStateProc>("SetThreadExecutionState");
  const auto create = Kernel32<CreateTimerProc>("CreateWaitableTimerA");
  const auto setTimer = Kernel32<SetTimerProc>("SetWaitableTimer");
  const auto cancel = Kernel32<CancelTimerProc>("CancelWaitableTimer");
  setState(ES_CONTINUOUS);  // whatever an earlier case left
  testend::ClearCalls();
  const HANDLE tomorrow = create(nullptr, TRUE, nullptr);
  const HANDLE soon = create(nullptr, FALSE, nullptr);
  ASSERT_NE(tomorrow, nullptr);
  ASSERT_NE(soon, tomorrow);
  const LARGE_INTEGER at0430{.QuadPart = 134117154000000000 + Day};  // 07:30 local
  const LARGE_INTEGER in10Minutes{.QuadPart = -600LL * 10000000};    // relative
  const auto stayed = [] { return testend::CallsStarting("StayAwake").back(); };

  EXPECT_EQ(setState(ES_SYSTEM_REQUIRED), ES_CONTINUOUS);
  EXPECT_EQ(setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS);
  EXPECT_EQ(stayed(), "StayAwake Alarm pending");
  ASSERT_EQ(setTimer(tomorrow, &at0430, 0, nullptr, nullptr, TRUE), TRUE);
  setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(stayed(), "StayAwake Alarm at 07:30");
  ASSERT_EQ(setTimer(soon, &in10Minutes, 0, nullptr, nullptr, FALSE), TRUE);
  setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(stayed(), "StayAwake Alarm at 07:30") << "a timer that does not wake the system";
  ASSERT_EQ(setTimer(soon, &in10Minutes, 0, nullptr, nullptr, TRUE), TRUE);
  setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(stayed(), "StayAwake Alarm at 12:10");
  ASSERT_EQ(cancel(soon), TRUE);
  EXPECT_EQ(setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(stayed(), "StayAwake Alarm at 07:30");
  EXPECT_TRUE(testend::CallsStarting("AllowSleep").empty());
  EXPECT_EQ(setState(ES_CONTINUOUS), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(setState(ES_CONTINUOUS), ES_CONTINUOUS);
  EXPECT_EQ(testend::CallsStarting("AllowSleep").size(), 1u);
  EXPECT_EQ(testend::CallsStarting("StayAwake").size(), 5u);

  // Windows refuses a handle that is no timer and a missing due time.
  EXPECT_EQ(setTimer(GetCurrentProcess(), &at0430, 0, nullptr, nullptr, TRUE), FALSE);
  EXPECT_EQ(setTimer(tomorrow, nullptr, 0, nullptr, nullptr, TRUE), FALSE);
  EXPECT_EQ(cancel(nullptr), FALSE);
  cancel(tomorrow);  // the timers outlive the case
}

TEST(Win32ProcessTest, SecureZeroMemoryClears) {
  char secret[] = "s3cret";
  EXPECT_EQ(SecureZeroMemory(secret, sizeof secret), secret);
  EXPECT_EQ(std::memcmp(secret, "\0\0\0\0\0\0", sizeof secret), 0);
}

}  // namespace
