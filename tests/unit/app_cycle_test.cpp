#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "app/waiting_cycle.h"
#include "tests/unit/app_test_support.h"

namespace {

using CycleTest = AppTest;

// A waiting phase for the given alarm, by default 07:30 (at 12:00 local).
void PrepareWaiting(bool password, int hour = 7, int minute = 30) {
  AlarmState.AlarmHour = hour;
  AlarmState.AlarmMinute = minute;
  AlarmState.AlarmSeconds = SecondsOfDay(hour, minute, 0);
  AlarmState.SleepTime = 500;
  AlarmState.PasswordSet = AlarmState.PasswordChecking = password;
}

std::string Label(const char* label, const std::string& value) {
  return std::string(label) + std::string(35 - std::strlen(label), '.') + "[" + value + "]";
}

TEST_F(CycleTest, WaitingKeys) {
  struct Case {
    const char* keys;
    bool password;
    uint16_t sleep;
    bool output, checking;
    Outcome outcome;
  };
  const Outcome W = Outcome::Waiting;
  // Scan codes equal to command bytes do nothing; keys after ESC still count.
  // clang-format off
  const Case cases[] = {
      {"t", true, 1000, true, true, W},         {"T\x85\xA5", true, 30000, true, true, W},
      {"ttttt", true, 500, true, true, W},      {"1", true, 100, true, true, W},
      {"4", true, 10000, true, true, W},        {"52", true, 500, true, true, W},
      {"s", true, 500, false, true, W},         {"S\x9B\xEB", true, 500, false, true, W},
      {"p", true, 500, true, false, W},         {"P\x87\xA7", true, 500, true, false, W},
      {"pp", true, 500, true, true, W},         {"pP", false, 500, true, false, W},
      {"069x- \r\b", true, 500, true, true, W}, {"{}|^`", true, 500, true, true, W},
      {"~", true, 500, true, true, Outcome::Exited},
      {"\0335", true, 30000, true, true, Outcome::Returned}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    StartApp();
    PrepareWaiting(c.password);
    Press(c.keys);
    fake::StopAt(600);  // one pass, then the sleep of the next
    UINT code = 99;
    EXPECT_EQ(RunApp(RunWaitingPhase, &code), c.outcome);
    if (c.outcome == Outcome::Exited) {
      EXPECT_EQ(code, 0u);
      continue;
    }
    EXPECT_EQ(AlarmState.SleepTime, c.sleep);
    const std::string sleep =
        std::to_string(c.sleep / 1000) + "." + std::to_string(c.sleep % 1000 / 100) + "s";
    EXPECT_EQ(fake::Row(5), Label("Sleep time", sleep));
    EXPECT_EQ(fake::AttrAt(37 + static_cast<int>(sleep.size()), 5), 7);
    EXPECT_EQ(fake::Row(6), Label("Screen output", c.output ? "enabled" : "disabled"));
    EXPECT_EQ(fake::Row(7),
              c.password ? Label("Password checking", c.checking ? "enabled" : "disabled") : "");
    EXPECT_EQ(AlarmState.PasswordChecking, c.checking);
  }
}

TEST_F(CycleTest, RingingKeysAndThePassword) {
  struct Case {
    const char *keys, *password;  // password nullptr: none
    bool stopped;
    const char* row3;  // "[...": the prompt's field; "": not looked at
  };
  const char* const Esc = "Press ESC to abort";
  const char* const Empty = "[                ]";
  const char* const Sorry = "Sorry, fella. Reset will help ya ;) Joking.. Press ESC.";
  // clang-format off
  const Case cases[] = {
      {"\033", nullptr, true, Esc},            {"`", nullptr, false, Esc},
      {"abc\r~", "abc", false, Esc},           {"\033", "abc", false, Empty},
      {"\033abd\r", "abc", false, Sorry},      {"\033\r", "abc", false, Sorry},
      {"\033ab\r", "abc", false, Sorry},       {"\033ABC\r", "abc", false, Sorry},
      {"\033abcd\b\r", "abc", true, ""},      {"\033\b", "abc", false, Empty},
      {"\033abd\r\033", "abc", false, Empty}, {"\033abd\r\033abc\r", "abc", true, ""},
      {"\033\033~abc\r", "abc", true, "[abc             ]"},
      {"tsp12345\033ab", "abc", false, "[ab              ]"},
      {"\0330123456789abcdefX\r", "0123456789abcdef", true, "[0123456789abcdef]"},
      {"\033a b\r", "a b", true, "[a_b             ]"}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    StartApp();  // 12:00:00: an alarm at 12:00 rings on the first pass
    PrepareWaiting(c.password != nullptr, 12, 0);
    if (c.password != nullptr) {
      std::copy_n(Padded(c.password).begin(), PasswordLength, AlarmState.Password);
    }
    Press(c.keys);
    fake::StopAt(1000);
    EXPECT_EQ(RunApp(RunWaitingPhase), c.stopped ? Outcome::Returned : Outcome::Waiting);
    EXPECT_EQ(AlarmState.SleepTime, 50);
    EXPECT_TRUE(AlarmState.ScreenOutput);
    EXPECT_EQ(AlarmState.PasswordChecking, c.password != nullptr);
    if (c.row3[0] == '[') {
      EXPECT_EQ(fake::Row(3),
                std::string("I'll shut up only if you enter the password: ") + c.row3);
      EXPECT_EQ(fake::AttrAt(47, 3), c.row3[1] == ' ' ? 7 : 15);
    } else if (c.row3[0] != 0) {
      EXPECT_EQ(fake::Row(3), c.row3);
    }
    EXPECT_EQ(fake::AttrAt(1, 3), 7);
  }
}

TEST_F(CycleTest, TimesOnTheFirstPass) {
  struct Case {
    int hour, minute, second, alarmHour, alarmMinute;
    const char *current, *remaining;
  };
  // At 12:00:00 the second read equals the last one (0): nothing is shown.
  const Case cases[] = {
      {12, 0, 1, 7, 30, "12:00:01", "19:29:59"}, {9, 29, 59, 9, 30, "09:29:59", "00:00:01"},
      {7, 31, 5, 7, 30, "07:31:05", "23:58:55"}, {23, 59, 30, 0, 0, "23:59:30", "00:00:30"},
      {12, 0, 0, 7, 30, "        ", "        "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.current);
    StartApp({.Hour = c.hour, .Minute = c.minute, .Second = c.second});
    PrepareWaiting(false, c.alarmHour, c.alarmMinute);
    fake::StopAt(400);
    EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
    EXPECT_EQ(fake::Row(2), Label("Current time", c.current));
    EXPECT_EQ(fake::Row(3), Label("Remaining time", c.remaining));
    EXPECT_EQ(fake::AttrAt(37, 2), c.current[0] == ' ' ? 7 : 15);
  }
}

TEST_F(CycleTest, RingsOnTheFirstPassInTheMinuteAndSoundsFromTheNext) {
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    StartApp({.Platform = platform, .Hour = 7, .Minute = 29, .Second = 59});
    PrepareWaiting(false);
    fake::SetPort61(0xFC);  // the speaker off; the other bits must stay
    fake::StopAt(2000);
    EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
    // Passes at 0, 500 and 1000 ms; the last reads 07:30:00 and rings.
    EXPECT_EQ(AlarmState.RemainingSeconds, 86400);
    EXPECT_EQ(fake::Row(1), "Come on, sleepy head! Get up!");
    EXPECT_EQ(fake::Row(2), "");
    EXPECT_EQ(fake::Row(3), "Press ESC to abort");
    EXPECT_EQ(fake::AttrAt(1, 1), 15);
    EXPECT_EQ(fake::AttrAt(1, 3), 7);
    EXPECT_EQ(fake::Titles().back(), "Rousel - ringing...");
    EXPECT_EQ(fake::PriorityClasses().back(), HighPriorityClass);
    if (platform == VER_PLATFORM_WIN32_WINDOWS) {
      // Timer channel 2 in square-wave mode, divisor 1193181 / 2000 = 596 =
      // 0x0254, the speaker gated on, and off again after the tone.
      const std::vector<std::string> tone = {"in 61",     "out 61 FF", "out 43 B6", "out 42 54",
                                             "out 42 02", "in 61",     "out 61 FC"};
      ASSERT_GE(fake::PortLog().size(), 14u);
      EXPECT_EQ(std::vector(fake::PortLog().begin(), fake::PortLog().begin() + 7), tone);
      EXPECT_EQ(std::vector(fake::PortLog().begin() + 7, fake::PortLog().begin() + 14), tone);
      EXPECT_TRUE(fake::Beeps().empty());
      continue;
    }
    const auto& beeps = fake::Beeps();
    ASSERT_GE(beeps.size(), 5u);
    for (size_t i = 0; i < beeps.size(); ++i) {
      EXPECT_EQ(std::tuple(beeps[i].Frequency, beeps[i].Duration, beeps[i].AtMs),
                std::tuple(2000u, 100u, 1050 + 150 * i));  // 100 ms tone, 50 ms pause
    }
  }
}

TEST_F(CycleTest, ScreenOutputOffFreezesTheTimesButNotTheAlarm) {
  StartApp({.Hour = 7, .Minute = 29, .Second = 50});
  PrepareWaiting(false);
  Press("s");
  std::string frozen;
  fake::PushAt(9900, [&] { frozen = fake::Row(2) + fake::Row(3); });
  fake::StopAt(10200);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  EXPECT_EQ(frozen, Label("Current time", "07:29:50") + Label("Remaining time", "00:00:10"));
  EXPECT_EQ(fake::Row(1), "Come on, sleepy head! Get up!");
}

TEST_F(CycleTest, KeysDuringALongSleepAreHandledInOrderAfterIt) {
  // "5" is read after the first pass's 500 ms; the second pass sleeps 30 s.
  for (const auto& [stop, sleep, output] :
       {std::tuple{30400, 30000, true}, std::tuple{30600, 100, false}}) {
    StartApp();
    PrepareWaiting(false);
    Press("5");
    fake::PushAt(1000, [] { Press("s4tt"); });  // off, 10 s, 30 s, 0.1 s
    fake::StopAt(stop);
    EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
    EXPECT_EQ(AlarmState.SleepTime, sleep);
    EXPECT_EQ(AlarmState.ScreenOutput, output);
  }
}

TEST_F(CycleTest, EscWhileWaitingBringsBackTheTimeEntryWithHalfASecond) {
  Press("0730\r\r3\033");
  EXPECT_EQ(RunApp([] {
              for (;;) AlarmSequence();
            }),
            Outcome::Waiting);
  EXPECT_EQ(AlarmState.SleepTime, 500);
  EXPECT_EQ(fake::Row(1), "Enter alarm time or press ALT-X to exit: [  :  ]");
  EXPECT_EQ(fake::PriorityClasses(), (std::vector<DWORD>{0x20, 0x40, 0x20}));
}

}  // namespace

namespace {

// A clock step during the wait: it rings when the step carried the clock
// forward past the start of the alarm minute, and only then.
TEST_F(CycleTest, RingsWhenTheClockStepsOverTheAlarmMinute) {
  constexpr int64_t Minute = 60 * 1000;
  struct Case {
    const char* name;
    int hour, minute, second;  // the clock when the wait starts
    int alarmHour, alarmMinute;
    int64_t stepBy;  // at 1 s, after the passes at 0 and 500 ms
    bool rings;
  };
  // clang-format off
  const Case cases[] = {
      {"seven minutes forward over it",   6, 59, 42,  7,  0,  7 * Minute,      true},
      {"across midnight",                23, 59, 50,  0,  0,  5 * Minute,      true},
      {"summer time, an hour forward",    2,  0,  0,  2, 30,  60 * Minute,     true},
      {"a suspended night",              23,  0,  0,  7,  0,  9 * 60 * Minute, true},
      {"forward, short of the minute",    5,  0,  0,  7,  0,  60 * Minute,     false},
      {"forward, from just past it",      7,  1,  5,  7,  0,  3 * Minute,      false},
      {"back over it",                    7,  5,  0,  7,  0, -10 * Minute,     false},
      {"back an hour, summer time ends",  3,  0,  0,  2, 30, -60 * Minute,     false},
      {"the minute just gone, no step",   7,  0,  5,  6, 59,  0,               false},
      {"a whole day forward",             6, 59, 42,  7,  0,  24 * 60 * Minute, false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartApp({.Hour = c.hour, .Minute = c.minute, .Second = c.second});
    PrepareWaiting(false, c.alarmHour, c.alarmMinute);
    AlarmState.SleepTime = 500;
    if (c.stepBy != 0) fake::PushAt(1000, [&c] { fake::StepClock(c.stepBy); });
    fake::StopAt(2500);
    EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
    EXPECT_EQ(fake::Titles().back(), c.rings ? "Rousel - ringing..." : "Rousel - waiting...");
    EXPECT_EQ(fake::Beeps().empty(), !c.rings);
  }
}

// A new wait does not take the previous wait's last reading for its own: an
// alarm set for the minute just gone waits for tomorrow even when the clock
// passed that minute since the previous wait ended.
TEST_F(CycleTest, EachWaitStartsWithoutAPreviousReading) {
  StartApp({.Hour = 6, .Minute = 0, .Second = 0});
  PrepareWaiting(false, 6, 30);
  fake::StopAt(200);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  fake::StepClock(60 * 60 * 1000);  // 07:00: 06:30 is gone
  fake::StopAt(1500);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  EXPECT_TRUE(fake::Beeps().empty());
}

}  // namespace
