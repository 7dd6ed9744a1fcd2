// Keeping the computer awake (console/power.cpp) on the test end: the wake
// timer at the next alarm minute in UTC, the system kept awake after it, both
// let go; nothing at all where kernel32 lacks the functions or on the
// Windows 95 family.
#include <cstdio>
#include <string>
#include <vector>

#include "console/power.h"
#include "tests/console/console_test_support.h"

namespace {

struct PowerRow {
  const char* Name;
  int Hour, Minute, Second, UtcOffset;  // the clock
  DWORD Platform;
  bool Functions;
  int AlarmHour, AlarmMinute;
  const char* Due;  // the timer's due time in seconds from now; "": no calls
};
using PowerTable = Table<ConsoleServicesTest, PowerRow>;

// The power calls of the log, in their order.
std::vector<std::string> PowerCalls() {
  return testend::CallsStarting({"SetWaitableTimer", "CancelWaitableTimer",
                                 "SetThreadExecutionState", "StayAwake", "AllowSleep"});
}

TEST_P(PowerTable, WakeTimerThenSystemRequiredUntilAllowed) {
  const PowerRow& row = GetParam();
  Start({.Platform = row.Platform,
         .PowerFunctions = row.Functions,
         .Hour = row.Hour,
         .Minute = row.Minute,
         .Second = row.Second,
         .UtcOffsetMinutes = row.UtcOffset});
  StayAwake(row.AlarmHour, row.AlarmMinute);
  std::vector<std::string> expected;
  if (*row.Due != 0) {
    char reason[32];
    std::snprintf(reason, sizeof reason, "StayAwake Alarm at %02d:%02d", row.AlarmHour,
                  row.AlarmMinute);
    expected = {std::string("SetWaitableTimer ") + row.Due + ",0,1", "SetThreadExecutionState 1,1",
                reason};
  }
  EXPECT_EQ(PowerCalls(), expected);
  AllowSleep();
  if (*row.Due != 0)
    expected.insert(expected.end(),
                    {"CancelWaitableTimer", "SetThreadExecutionState 0,1", "AllowSleep"});
  EXPECT_EQ(PowerCalls(), expected);
}

constexpr DWORD Nt = VER_PLATFORM_WIN32_NT;
// The due time is UTC: local clocks ahead of it and behind it (a timer left
// in local time would be hours off), midnight crossed in UTC or locally.
INSTANTIATE_TEST_SUITE_P(
    Power, PowerTable,
    ::testing::Values(PowerRow{"LaterToday", 12, 0, 0, 0, Nt, true, 12, 30, "1800"},
                      PowerRow{"TomorrowWhenEarlier", 12, 0, 30, 0, Nt, true, 7, 30, "70170"},
                      PowerRow{"ThisMinuteIsNext", 7, 30, 20, 0, Nt, true, 7, 30, "-20"},
                      PowerRow{"AMinuteAgoIsTomorrow", 12, 5, 0, 0, Nt, true, 12, 4, "86340"},
                      PowerRow{"LastMinuteOfTheDay", 0, 0, 0, 0, Nt, true, 23, 59, "86340"},
                      PowerRow{"AheadOfUtc", 12, 0, 0, 180, Nt, true, 7, 30, "70200"},
                      PowerRow{"BehindUtc", 23, 50, 0, -300, Nt, true, 0, 10, "1200"},
                      PowerRow{"Windows95Family", 12, 0, 0, 0, VER_PLATFORM_WIN32_WINDOWS, true, 12,
                               30, ""},
                      PowerRow{"NtWithoutTheFunctions", 12, 0, 0, 0, Nt, false, 12, 30, ""}),
    RowName());

}  // namespace
