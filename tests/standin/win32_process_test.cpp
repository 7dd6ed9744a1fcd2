// The stand-in's process functions (standin/win32_process.cpp) on its test
// end: failures reported as failures, the library lookups, the clear that
// stays, file times, and the system kept awake for the wake timer's minute.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "standin/model/control.h"
#include "standin/testend/test_end.h"
#include "win32/win32.h"

namespace {

// What Windows refuses is refused here: another process, another class, a
// short version block, a frequency outside Beep's range, an unknown library
// or function; a tone of no length sounds nothing.
TEST(Win32ProcessTest, FailuresAreReportedAsFailures) {
  testend::Reset({.Platform = VER_PLATFORM_WIN32_WINDOWS});
  EXPECT_EQ(SetPriorityClass(nullptr, NORMAL_PRIORITY_CLASS), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), 0x100), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS), TRUE);
  EXPECT_EQ(testend::CallsStarting({"Priority"}), std::vector<std::string>{"Priority 64"});
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info - 1;
  EXPECT_EQ(GetVersionExA(&info), FALSE);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  for (const DWORD frequency : {36U, 37U, 32767U, 32768U})  // Windows' range; a tone of no length
    EXPECT_EQ(Beep(frequency, 0), frequency >= 37 && frequency <= 32767 ? TRUE : FALSE);
  EXPECT_TRUE(testend::Beeps().empty());
}

// Control handlers as Windows asks them: the last added first, until one
// takes the event; one removed is asked no more, and one never added cannot
// be removed; SetConsoleCtrlHandler(NULL, TRUE) ignores Ctrl+C alone.  An
// event no handler takes ends the process (false here).
std::string Asked;
BOOL WINAPI Declines(DWORD event) {
  Asked += event == CTRL_C_EVENT ? "d" : "D";
  return FALSE;
}
BOOL WINAPI Takes(DWORD event) {
  Asked += event == CTRL_C_EVENT ? "t" : "T";
  return TRUE;
}

TEST(Win32ProcessTest, ControlHandlersAreAskedLastAddedFirst) {
  struct Step {
    const char* Name;
    PHANDLER_ROUTINE Handler;  // set (nullptr: the Ctrl+C switch), or none when Event is set
    BOOL Add;
    BOOL Result;  // of SetConsoleCtrlHandler
    DWORD Event;  // dispatched when there is no handler to set
    bool Taken;   // by a handler, or ignored
    const char* Seen;
  };
  constexpr DWORD None = ~DWORD{0};
  const Step steps[] = {
      {"removing one never added", Takes, FALSE, FALSE, None, false, ""},
      {"no handler", nullptr, FALSE, TRUE, None, false, ""},
      {"Ctrl+C with none", nullptr, FALSE, FALSE, CTRL_C_EVENT, false, ""},
      {"add one that declines", Declines, TRUE, TRUE, None, false, ""},
      {"add it again", Declines, TRUE, TRUE, None, false, ""},
      {"add one that takes", Takes, TRUE, TRUE, None, false, ""},
      {"Ctrl+C: the last first", nullptr, FALSE, FALSE, CTRL_C_EVENT, true, "t"},
      {"remove the one that takes", Takes, FALSE, TRUE, None, false, ""},
      {"Ctrl+Break: both copies decline", nullptr, FALSE, FALSE, CTRL_BREAK_EVENT, false, "DD"},
      {"remove one copy", Declines, FALSE, TRUE, None, false, ""},
      {"Ctrl+Break: one left", nullptr, FALSE, FALSE, CTRL_BREAK_EVENT, false, "D"},
      {"ignore Ctrl+C", nullptr, TRUE, TRUE, None, false, ""},
      {"Ctrl+C ignored, no one asked", nullptr, FALSE, FALSE, CTRL_C_EVENT, true, ""},
      {"Ctrl+Break still asked", nullptr, FALSE, FALSE, CTRL_BREAK_EVENT, false, "D"},
      {"Ctrl+C again", nullptr, FALSE, TRUE, None, false, ""},
      {"Ctrl+C asked again", nullptr, FALSE, FALSE, CTRL_C_EVENT, false, "d"},
  };
  testend::Reset();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.Name);
    Asked.clear();
    if (step.Event == None) {
      EXPECT_EQ(SetConsoleCtrlHandler(step.Handler, step.Add), step.Result);
    } else {
      EXPECT_EQ(model::DispatchCtrlEvent(step.Event), step.Taken);
    }
    EXPECT_EQ(Asked, step.Seen);
  }
  testend::Reset();
  Asked.clear();
  EXPECT_FALSE(model::DispatchCtrlEvent(CTRL_BREAK_EVENT)) << "a reset removes every handler";
  EXPECT_EQ(Asked, "");
}

// Events start as asked; a null handle does not close; a version block has
// no service pack text; the ports but the speaker gate read 0.
TEST(Win32ProcessTest, ObjectsAndBlocksAreAsWindowsGivesThem) {
  testend::Reset();
  for (const BOOL initial : {TRUE, FALSE}) {
    const HANDLE event = CreateEventA(nullptr, TRUE, initial, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), initial != FALSE ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    EXPECT_EQ(CloseHandle(event), TRUE);
  }
  EXPECT_EQ(CloseHandle(nullptr), FALSE);
  OSVERSIONINFOA info{};
  std::memset(&info, 'x', sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(std::string(info.szCSDVersion, sizeof info.szCSDVersion),
            std::string(sizeof info.szCSDVersion, '\0'));
  PortWriteByte(0x61, 3);
  EXPECT_EQ(PortReadByte(0x61), 3);
  EXPECT_EQ(PortReadByte(0x42), 0);
  PortWriteByte(0x61, 0);
}

TEST(Win32ProcessTest, User32LooksUpTheKeyboardCodePageOnly) {
  testend::Reset({.KeyboardCodePage = 437});
  const std::pair<const char*, bool> libraries[] = {{"user32.dll", true},
                                                    {"USER32.DLL", true},
                                                    {"user32", true},
                                                    {"kernel32.dll", false},
                                                    {"gdi32.dll", false}};
  EXPECT_EQ(LoadLibraryA("gdi32.dll"), nullptr);
  EXPECT_EQ(LoadLibraryA("KERNEL32"), LoadLibraryA("kernel32.dll"));
  for (const auto& [library, has] : libraries) {
    const HMODULE module = LoadLibraryA(library);
    const FARPROC found = module != nullptr ? GetProcAddress(module, "GetKBCodePage") : nullptr;
    EXPECT_EQ(found != nullptr, has) << library;
    if (found == nullptr) continue;
    EXPECT_EQ(GetProcAddress(module, "MessageBoxA"), nullptr);
    EXPECT_EQ(reinterpret_cast<UINT(WINAPI*)()>(reinterpret_cast<void (*)()>(found))(), 437u);
  }
}

constexpr int64_t Refused = -1;

TEST(Win32ProcessTest, SystemTimesBecomeFileTimesWhereWindowsTakesThem) {
  // Year, month, day of the week (not read), day, h, m, s, ms; the units.
  const std::pair<SYSTEMTIME, int64_t> cases[] = {
      {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000},
      {{2024, 2, 0, 29, 23, 59, 59, 999}, 133537247999990000},
      {{2025, 2, 6, 29, 0, 0, 0, 0}, Refused},
      {{1600, 12, 0, 31, 0, 0, 0, 0}, Refused},
      {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
      {{30827, 12, 0, 31, 0, 0, 0, 0}, 9223149024000000000},
      {{30828, 1, 0, 1, 0, 0, 0, 0}, Refused},
      {{2026, 1, 0, 1, 0, 0, 60, 0}, Refused},
      {{2026, 1, 0, 1, 24, 0, 0, 0}, Refused},
      {{2026, 1, 0, 1, 0, 60, 0, 0}, Refused},
      {{2026, 1, 0, 1, 0, 0, 0, 1000}, Refused}};
  for (const auto& [system, units] : cases) {
    FILETIME time{};
    ASSERT_EQ(SystemTimeToFileTime(&system, &time), units != Refused ? TRUE : FALSE) << units;
    EXPECT_EQ(
        units != Refused ? (int64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime : Refused,
        units);
  }
}

// kernel32's power functions as the program finds them.
template <typename Proc>
Proc Kernel32(const char* name) {
  const FARPROC found = GetProcAddress(LoadLibraryA("kernel32.dll"), name);
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(found));
}

// The end hears when the system must stay awake, for the local minute of
// the earliest wake timer, and when it may sleep again; a state without
// ES_CONTINUOUS lasts nothing.
TEST(Win32ProcessTest, TheSystemStaysAwakeForTheEarliestWakeTimer) {
  testend::Reset({.UtcOffsetMinutes = 180});  // 12:00 local is 09:00 UTC
  const auto setState =
      Kernel32<EXECUTION_STATE(WINAPI*)(EXECUTION_STATE)>("SetThreadExecutionState");
  const auto create =
      Kernel32<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR)>("CreateWaitableTimerA");
  const auto setTimer =
      Kernel32<BOOL(WINAPI*)(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL)>(
          "SetWaitableTimer");
  const auto cancel = Kernel32<BOOL(WINAPI*)(HANDLE)>("CancelWaitableTimer");
  setState(ES_CONTINUOUS);  // whatever an earlier case left
  const HANDLE tomorrow = create(nullptr, TRUE, nullptr);
  const HANDLE soon = create(nullptr, TRUE, nullptr);
  const LARGE_INTEGER at0430{.QuadPart = 134118018000000000};  // tomorrow, 07:30 local
  const LARGE_INTEGER in10Minutes{.QuadPart = -600LL * 10000000};
  EXPECT_EQ(WaitForSingleObject(tomorrow, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not yet set";
  testend::ClearCalls();
  EXPECT_EQ(setState(ES_SYSTEM_REQUIRED), ES_CONTINUOUS);
  EXPECT_EQ(testend::CallsStarting({"SetThreadExecutionState"}),
            std::vector<std::string>{"SetThreadExecutionState 1,0"});
  ASSERT_EQ(setTimer(tomorrow, &at0430, 0, nullptr, nullptr, TRUE), TRUE);
  ASSERT_EQ(setTimer(soon, &in10Minutes, 0, nullptr, nullptr, FALSE), TRUE);  // wakes nothing
  EXPECT_EQ(setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), ES_CONTINUOUS);
  setTimer(soon, &in10Minutes, 0, nullptr, nullptr, TRUE);
  setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  cancel(soon);
  cancel(tomorrow);
  setState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  EXPECT_EQ(setState(ES_CONTINUOUS), ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  setState(ES_CONTINUOUS);
  EXPECT_EQ(testend::CallsStarting({"StayAwake", "AllowSleep"}),
            (std::vector<std::string>{"StayAwake Alarm at 07:30", "StayAwake Alarm at 12:10",
                                      "StayAwake Alarm pending", "AllowSleep"}));
  EXPECT_EQ(setTimer(GetCurrentProcess(), &in10Minutes, 0, nullptr, nullptr, TRUE), FALSE);
  EXPECT_EQ(setTimer(soon, nullptr, 0, nullptr, nullptr, TRUE), FALSE);
  EXPECT_EQ(setTimer(soon, &in10Minutes, -1, nullptr, nullptr, TRUE), FALSE);
}

TEST(Win32ProcessTest, SecureZeroMemoryClears) {
  char secret[] = "s3cret";
  EXPECT_EQ(SecureZeroMemory(secret, sizeof secret), secret);
  EXPECT_EQ(std::memcmp(secret, "\0\0\0\0\0\0", sizeof secret), 0);
}

}  // namespace
