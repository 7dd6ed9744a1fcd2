// Keeping the computer awake (console/power.cpp) on the test end: the wake
// timer at the next alarm minute in UTC, the system kept awake after it, both
// let go; nothing at all where kernel32 lacks the functions or on the
// Windows 95 family.
#include <string>
#include <vector>

#include "console/power.h"
#include "tests/console/console_test_support.h"

namespace {

struct PowerRow {
  const char* Name;
  testend::Options Setup;
  int Hour, Minute;
  // The timer's due time in seconds from now; "" for no calls at all.
  const char* Due;
  const char* Reason;
};
using PowerTable = ConsoleTable<PowerRow>;

// The power calls of the log, in their order.
std::vector<std::string> PowerCalls() {
  std::vector<std::string> calls;
  for (const std::string& call : testend::Calls())
    for (const char* name : {"SetWaitableTimer", "CancelWaitableTimer", "SetThreadExecutionState",
                             "StayAwake", "AllowSleep"})
      if (call.starts_with(name)) calls.push_back(call);
  return calls;
}

TEST_P(PowerTable, WakeTimerThenSystemRequiredUntilAllowed) {
  const PowerRow& row = GetParam();
  Start(row.Setup);
  StayAwake(row.Hour, row.Minute);
  if (*row.Due == 0) {
    AllowSleep();
    EXPECT_EQ(PowerCalls(), std::vector<std::string>{});
    return;
  }
  // The timer first, then the state that names it; both let go.
  const std::vector<std::string> held = {std::string("SetWaitableTimer ") + row.Due + ",1",
                                         "SetThreadExecutionState 1,1",
                                         std::string("StayAwake ") + row.Reason};
  EXPECT_EQ(PowerCalls(), held);
  AllowSleep();
  std::vector<std::string> all = held;
  all.insert(all.end(), {"CancelWaitableTimer", "SetThreadExecutionState 0,1", "AllowSleep"});
  EXPECT_EQ(PowerCalls(), all);
}

testend::Options At(int hour, int minute, int second, int offset = 0) {
  testend::Options options;
  options.Hour = hour;
  options.Minute = minute;
  options.Second = second;
  options.UtcOffsetMinutes = offset;
  return options;
}
testend::Options Without(testend::Options options, bool power, DWORD platform) {
  options.PowerFunctions = power;
  options.Platform = platform;
  return options;
}

INSTANTIATE_TEST_SUITE_P(
    Power, PowerTable,
    ::testing::Values(
        PowerRow{"LaterToday", At(12, 0, 0), 12, 30, "1800", "Alarm at 12:30"},
        PowerRow{"TomorrowWhenEarlier", At(12, 0, 30), 7, 30, "70170", "Alarm at 07:30"},
        PowerRow{"ThisMinuteIsNext", At(7, 30, 20), 7, 30, "-20", "Alarm at 07:30"},
        PowerRow{"LastMinuteOfTheDay", At(0, 0, 0), 23, 59, "86340", "Alarm at 23:59"},
        // The due time is UTC: a local clock ahead of it or behind it (a
        // timer left in local time would be hours off), midnight in UTC
        // crossed or not.
        PowerRow{"AheadOfUtc", At(12, 0, 0, 180), 7, 30, "70200", "Alarm at 07:30"},
        PowerRow{"BehindUtc", At(23, 50, 0, -300), 0, 10, "1200", "Alarm at 00:10"},
        PowerRow{"Windows95Family", Without(At(12, 0, 0), true, VER_PLATFORM_WIN32_WINDOWS), 12, 30,
                 "", ""},
        PowerRow{"NtWithoutTheFunctions", Without(At(12, 0, 0), false, VER_PLATFORM_WIN32_NT), 12,
                 30, "", ""}),
    RowName());

// Asked again (the next alarm), the same timer moves; letting go twice does
// no harm.
TEST_F(ConsoleServicesTest, AskedAgainTheTimerMoves) {
  Start(At(6, 0, 0));
  StayAwake(7, 0);
  AllowSleep();
  AllowSleep();
  testend::ClearCalls();
  StayAwake(6, 30);
  EXPECT_EQ(testend::CallsStarting("SetWaitableTimer"),
            std::vector<std::string>{"SetWaitableTimer 1800,1"});
  EXPECT_EQ(testend::CallsStarting("StayAwake"),
            std::vector<std::string>{"StayAwake Alarm at 06:30"});
}

}  // namespace
