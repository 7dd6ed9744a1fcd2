// The waiting and ringing cycle of app/waiting_cycle.cpp: the keys of both
// states, the times, the alarm minute, the rhythm of the ringing, and the
// computer kept awake meanwhile.
#include <string>
#include <tuple>
#include <vector>

#include "app/waiting_cycle.h"
#include "tests/app/app_test_support.h"

namespace {

using WaitingCycleTest = AppTest;

// The hold on the system's sleep as the end heard it: its reason, a "." for
// the passes' sleeps and tones after it, "A" when it was let go.
std::string Held() {
  std::string seen;
  for (const std::string& call :
       testend::CallsStarting({"StayAwake", "AllowSleep", "Sleep", "Beep"})) {
    const std::string mark = call.starts_with("StayAwake") ? call.substr(10) + " "
                             : call == "AllowSleep"        ? "A"
                                                           : ".";
    if (!seen.ends_with(mark)) seen += mark;
  }
  return seen;
}

struct WaitingRow {
  const char* Name;
  std::string Keys;
  bool Password;
  // The sleep time, screen output and password checking as shown ("": no
  // such row).
  std::string Sleep, Output, Checking;
};
using WaitingKeys = Table<AppTest, WaitingRow>;

// The keys, then the times of the next second: drawn in white after a
// changed value, and not at all with screen output off.
TEST_P(WaitingKeys, ChangeTheScreenAndTheSwitches) {
  const WaitingRow& row = GetParam();
  PrepareWaiting(row.Password);
  Press(row.Keys);
  testend::StopAt(1200);  // past the next second, whose times follow the keys
  const bool esc = row.Keys[0] == '\033';
  EXPECT_EQ(RunApp(RunWaitingPhase), esc ? Outcome::Returned : Outcome::Waiting);
  EXPECT_EQ(Held(), esc ? "Alarm at 07:30 .A" : "Alarm at 07:30 .");
  EXPECT_EQ(Shown(5), Label("Sleep time", "{" + row.Sleep + "}"));
  EXPECT_EQ(Shown(6), Label("Screen output", "{" + row.Output + "}"));
  EXPECT_EQ(Shown(7),
            row.Checking.empty() ? "" : Label("Password checking", "{" + row.Checking + "}"));
  EXPECT_EQ(AlarmState.PasswordChecking, row.Checking == "enabled");
  EXPECT_EQ(Shown(2) == Label("Current time", "{12:00:01}"),
            row.Output == "enabled" && row.Sleep.starts_with("0."))
      << Shown(2);
}

// Scan codes equal to command bytes do nothing; keys after ESC still count.
INSTANTIATE_TEST_SUITE_P(
    WaitingCycle, WaitingKeys,
    ::testing::Values(
        WaitingRow{"SleepTimeOnCyrillicToo", "1T\x85\xA5", true, "10.0s", "enabled", "enabled"},
        WaitingRow{"SleepTimeCycles", "ttttt", true, "0.5s", "enabled", "enabled"},
        WaitingRow{"SleepTimeByDigit", "3", true, "1.0s", "enabled", "enabled"},
        WaitingRow{"ScreenOutput", "sS\x9B\xEB\x9B", true, "0.5s", "disabled", "enabled"},
        WaitingRow{"PasswordChecking", "pP\x87\xA7\x87", true, "0.5s", "enabled", "disabled"},
        // One key of each pair: the keys are told apart one by one.
        WaitingRow{"ScreenOutputLatinAndCyrillic", "s\xEB", true, "0.5s", "enabled", "enabled"},
        WaitingRow{"PasswordCheckingLatinAndCyrillic", "p\xA7", true, "0.5s", "enabled", "enabled"},
        WaitingRow{"PasswordCheckingWithoutPassword", "pP", false, "0.5s", "enabled", ""},
        WaitingRow{"OtherKeysAndScanCodes", "069x- \r\b{}|^`", true, "0.5s", "enabled", "enabled"},
        WaitingRow{"KeysAfterEsc", "\0335", true, "30.0s", "enabled", "enabled"}),
    RowName());

const char* const PressEsc = "Press ESC to abort";
const char* const Sorry = "Sorry, fella. Reset will help ya ;) Joking.. Press ESC.";

struct RingingRow {
  const char* Name;
  const char* Keys;
  bool Password;  // "abc"
  bool Stops;
  const char* Row3;  // "[...": the prompt with its field
};
using RingingKeys = Table<AppTest, RingingRow>;

TEST_P(RingingKeys, StopTheAlarmOnlyAsTheyShould) {
  const RingingRow& row = GetParam();
  PrepareWaiting(row.Password, 12, 0);  // 12:00:00: it rings on the first pass
  Press(row.Keys);
  testend::StopAt(1000);
  EXPECT_EQ(RunApp(RunWaitingPhase), row.Stops ? Outcome::Returned : Outcome::Waiting);
  EXPECT_EQ(Held(), row.Stops ? "Alarm at 12:00 .A" : "Alarm at 12:00 .");
  EXPECT_EQ(AlarmState.SleepTime, 50);
  EXPECT_EQ(AlarmState.PasswordChecking, row.Password);
  EXPECT_EQ(Shown(3), (*row.Row3 == '[' ? "I'll shut up only if you enter the password: " : "") +
                          std::string(row.Row3));
}

INSTANTIATE_TEST_SUITE_P(
    WaitingCycle, RingingKeys,
    ::testing::Values(
        RingingRow{"EscWithoutPassword", "\033", false, true, PressEsc},
        RingingRow{"AltEscIsNoEsc", "`", false, false, PressEsc},
        RingingRow{"NoAltXNorTypingBeforeEsc", "abc\r~", true, false, PressEsc},
        RingingRow{"WrongPassword", "\033abd\r", true, false, Sorry},
        RingingRow{"ShortPassword", "\033ab\r", true, false, Sorry},
        RingingRow{"BackspaceThenRight", "\033abcd\b\r", true, true, "[{abc}             ]"},
        RingingRow{"RightAfterWrong", "\033abd\r\033abc\r", true, true, "[{abc}             ]"},
        RingingRow{"EscAndAltXInThePrompt", "\033\033~abc\r", true, true, "[{abc}             ]"},
        RingingRow{"CommandKeysDoNothing", "tsp12345\033ab", true, false, "[{ab}              ]"}),
    RowName());

// The alarm is at 07:30.  At 12:00:00 the second read equals the last one
// (0): nothing is shown.
TEST_F(WaitingCycleTest, TimesOnTheFirstPass) {
  for (const auto& [hour, minute, second, current, remaining] :
       std::vector<std::tuple<int, int, int, const char*, const char*>>{
           {12, 0, 1, "{12:00:01}", "{19:29:59}"},
           {7, 29, 59, "{07:29:59}", "{00:00:01}"},
           {7, 31, 5, "{07:31:05}", "{23:58:55}"},
           {12, 0, 0, "        ", "        "}}) {
    SCOPED_TRACE(current);
    StartApp({.Hour = hour, .Minute = minute, .Second = second});
    PrepareWaiting(false);
    testend::StopAt(400);
    EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
    EXPECT_EQ(Shown(2), Label("Current time", current));
    EXPECT_EQ(Shown(3), Label("Remaining time", remaining));
  }
}

// An hour of ringing: a 100 ms tone every 150 ms to the millisecond, through
// a clock step back out of the minute, until ESC.  Read in its first second,
// the alarm minute is a whole day away.
TEST_F(WaitingCycleTest, RingsInItsMinuteKeepingTheRhythmUntilStopped) {
  StartApp({.Hour = 7, .Minute = 29, .Second = 59});
  PrepareWaiting(false);
  // Passes at 0, 500 and 1000 ms; the last reads 07:30:00 and rings.
  constexpr uint64_t Rings = 1000;
  constexpr uint64_t StopAt = Rings + Hour;
  testend::PushAt(Rings + Hour / 2, [] { testend::StepClock(-Hour); });
  testend::PushAt(StopAt, [] { Press("\033"); });
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Returned);
  EXPECT_EQ(AlarmState.RemainingSeconds, 86400);
  EXPECT_EQ(Shown(1), "{Come on, sleepy head! Get up!}");
  EXPECT_EQ(Shown(2) + Shown(3), "Press ESC to abort");
  EXPECT_EQ(testend::Console().Title, "Rousel - ringing...");
  EXPECT_EQ(testend::CallsStarting({"SetPriorityClass"}).back(), "SetPriorityClass 128");
  ASSERT_EQ(testend::Beeps().size(), (StopAt - Rings - 50) / 150 + 1);
  for (size_t i = 0; i < testend::Beeps().size(); ++i) {
    const testend::Tone& beep = testend::Beeps()[i];
    ASSERT_TRUE(beep.Frequency == 2000 && beep.Duration == 100 && beep.AtMs == Rings + 50 + 150 * i)
        << "tone " << i << " out of rhythm";
  }
}

struct ClockRow {
  const char* Name;
  int Hour, Minute, Second;  // the clock when the wait starts
  int AlarmHour, AlarmMinute;
  int64_t StepAt, StepBy;  // virtual ms
  int64_t RingsAt;         // virtual ms of the ringing pass; -1: not today
};
using ClockSteps = Table<AppTest, ClockRow>;

// It rings in the first pass (every 30 s here) whose reading falls in the
// alarm minute, or that a step forward of half a day at most carried past the
// minute's start (from a reading of midnight, or of the second before it);
// never earlier, whatever the clock does.
TEST_P(ClockSteps, RingInTheFirstPassOfTheMinuteOrOnceAStepForwardPassesIt) {
  const ClockRow& row = GetParam();
  StartApp({.Hour = row.Hour, .Minute = row.Minute, .Second = row.Second});
  PrepareWaiting(false, row.AlarmHour, row.AlarmMinute);
  Press("5");
  if (row.StepBy != 0) testend::PushAt(row.StepAt, [&row] { testend::StepClock(row.StepBy); });
  testend::StopAt(static_cast<uint64_t>(row.RingsAt < 0 ? 2 * Hour : row.RingsAt + 1000));
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  EXPECT_EQ(testend::Beeps().empty() ? -1 : static_cast<int64_t>(testend::Beeps()[0].AtMs) - 50,
            row.RingsAt);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(WaitingCycle, ClockSteps, ::testing::Values(
    ClockRow{"AnHourAndAHalfAhead",         22,  0,  0, 23, 30, 0, 0,                5400500},
    ClockRow{"AMinuteAgoIsTomorrow",         7,  1,  0,  7,  0, 0, 0,                86340500},
    ClockRow{"SummerTimeStepsOverIt",        1, 59,  0,  2, 30, Minute, Hour,        60500},
    ClockRow{"SteppedBackBeforeIt",          3,  0,  0,  3, 10, 5 * Minute, -Hour,   4200500},
    ClockRow{"SteppedOverAcrossMidnight",   23, 59, 59,  0,  0, 1000, 5 * Minute,    30500},
    ClockRow{"ASuspendedNight",              0,  0,  0,  7,  0, 1000, 9 * Hour,      30500},
    ClockRow{"SteppedForwardFromPastIt",     7,  1,  5,  7,  0, 1000, 3 * Minute,    -1},
    ClockRow{"SteppedBackOverIt",            7,  5,  0,  7,  0, 1000, -10 * Minute,  300500},
    ClockRow{"HalfADayForwardIsForward",     6,  0,  0,  7,  0, 1000, 12 * Hour - 30000, 30500}),
    RowName());
// clang-format on

// A new wait does not take the previous wait's last reading for its own: an
// alarm set for the minute just gone waits for tomorrow even when the clock
// passed that minute since the previous wait ended.
TEST_F(WaitingCycleTest, EachWaitStartsWithoutAPreviousReading) {
  StartApp({.Hour = 6, .Minute = 0, .Second = 0});
  PrepareWaiting(false, 6, 30);
  testend::StopAt(200);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  testend::StepClock(Hour);  // 07:00: 06:30 is gone
  testend::StopAt(1500);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  EXPECT_TRUE(testend::Beeps().empty());
}

// Alt+X leaves the hold on the system's sleep to the process's end, which it
// ends with 0.
TEST_F(WaitingCycleTest, AltXEndsTheProcessStillHoldingTheSystemAwake) {
  PrepareWaiting(false, 23, 59);
  testend::PushAt(1000, [] { Press("~"); });
  UINT code = 99;
  EXPECT_EQ(RunApp(RunWaitingPhase, &code), Outcome::Exited);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(Held(), "Alarm at 23:59 .");
}

// A key record that gives no key (Alt+Space) ends the keys of a pass: the
// key typed after it waits for the next pass, half a second later.
TEST_F(WaitingCycleTest, AKeyThatGivesNothingEndsThePassesKeys) {
  PrepareWaiting(false);
  testend::PushKey(VK_SPACE, 57, ' ', LEFT_ALT_PRESSED);
  Press("1");
  testend::StopAt(520);  // the first pass's keys are read at 500 ms
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  EXPECT_EQ(AlarmState.SleepTime, 500);
  testend::StopAt(1100);
  EXPECT_EQ(RunApp(WaitingPass), Outcome::Returned);
  EXPECT_EQ(AlarmState.SleepTime, 100);
}

}  // namespace
