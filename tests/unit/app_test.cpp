// The alarm application on the in-memory console: the two entry fields, the
// status screen, the waiting and ringing keys, the clock, the way out and
// the command line.  Screens are compared as shown, colours included.
#include <string>
#include <tuple>
#include <vector>

#include "app/status_screen.h"
#include "app/waiting_cycle.h"
#include "tests/unit/app_test_support.h"

namespace {

using AppFlowTest = AppTest;

// "@^": the scan codes 48 and 49 are no digits; "-" is 45 but no scan code.
TEST_F(AppFlowTest, TimeFieldTakesOnlyTimesOfDay) {
  // Keys, the field as shown, the cursor's column, the alarm (-1: still open).
  for (const auto& [keys, field, column, alarm] :
       std::vector<std::tuple<const char*, const char*, int, int>>{
           {"0730\r", "[{07}:{30}]", 48, 27000},
           {"2359\r", "[{23}:{59}]", 48, 86340},
           {"3\b2436", "[{23}:  ]", 46, -1},
           {"1\b29", "[{2} :  ]", 44, -1},
           {"073\r", "[{07}:{3} ]", 47, -1},
           {"07305\b", "[{07}:{3} ]", 47, -1},
           {"07\b830\r", "[{08}:{30}]", 48, 30600},
           {"a-. @^12", "[{12}:  ]", 46, -1}}) {
    SCOPED_TRACE(keys);
    StartApp();
    Press(keys);
    EXPECT_EQ(RunApp(TimeEntry), alarm < 0 ? Outcome::Waiting : Outcome::Returned);
    EXPECT_EQ(Shown(1), std::string("Enter alarm time or press ALT-X to exit: ") + field);
    EXPECT_EQ(WhereX(), column);
    if (alarm < 0) continue;
    EXPECT_EQ(TextAttr, 7);  // the password prompt that follows is grey
    EXPECT_EQ(AlarmState.AlarmSeconds, alarm);
  }
}

// Control keys are ignored, Ctrl+A (the filler byte) included.
TEST_F(AppFlowTest, PasswordFieldStoresWhatWasTyped) {
  // Keys, the password stored ("": none), the field as shown.
  for (const auto& [keys, stored, field] :
       std::vector<std::tuple<const char*, std::string, const char*>>{
           {"\ba\001 b\bc\r", "a c", "[{a_c}             ]"},
           {"0123456789abcde\xAFg\r", "0123456789abcde\xAF", "[{0123456789abcde\xAF}]"},
           {"\r", "", "[                ]"},
           {"abc\033", "", "[{abc}             ]"}}) {
    SCOPED_TRACE(keys);
    StartApp();
    Press(keys);
    EXPECT_EQ(RunApp(PasswordEntry), Outcome::Returned);
    EXPECT_EQ(AlarmState.PasswordSet && AlarmState.PasswordChecking, !stored.empty());
    EXPECT_EQ(AlarmState.PasswordSet || AlarmState.PasswordChecking, !stored.empty());
    EXPECT_EQ(Stored(AlarmState.Password), Padded(stored));
    EXPECT_EQ(Shown(3),
              std::string("Enter the password (or nothing for nopassword mode): ") + field);
  }
}

TEST_F(AppFlowTest, AltXInEitherFieldWritesTheBannerAndEndsWithZero) {
  for (const auto& field : {TimeEntry, PasswordEntry}) {
    StartApp();
    EXPECT_FALSE(testend::Console().CursorInfo.bVisible);
    Press("-1~");
    UINT code = 99;
    EXPECT_EQ(RunApp(field, &code), Outcome::Exited);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(testend::Row(1).rfind("Rousel 1.0 - alarm clock", 0), 0u);
    EXPECT_EQ(testend::Row(3).rfind("\xFA"
                                    "compiled",
                                    0),
              0u);
    for (const int row : {1, 2, 3, 4}) EXPECT_EQ(Shown(row), testend::Row(row)) << row;
    EXPECT_EQ(testend::Titles().back(), "Rousel - exiting...");
    EXPECT_TRUE(testend::Console().CursorInfo.bVisible);
  }
}

TEST_F(AppFlowTest, StatusScreenWithAndWithoutThePasswordRow) {
  for (const bool checking : {false, true}) {
    StartApp();
    PrepareWaiting(checking, 7, 5);
    DrawStatusScreen();
    std::vector<std::string> rows = {Label("Alarm time", "{07:05}"),
                                     Label("Current time", "        "),
                                     Label("Remaining time", "        "),
                                     "",
                                     Label("Sleep time", "{0.5s}"),
                                     Label("Screen output", "{enabled}"),
                                     Label("Password checking", "{enabled}"),
                                     "",
                                     "",
                                     "",
                                     "Here's some help:",
                                     "",
                                     "[T] toggles sleep time (1..5 keys works either)",
                                     "[S] toggles screen output [enable/disable]",
                                     "[P] toggles password checking [enable/disable]",
                                     "",
                                     "ESC aborts waiting process, ALT-X quits program",
                                     ""};
    if (!checking) rows.erase(rows.begin() + 14), rows.erase(rows.begin() + 6);
    for (size_t row = 1; row <= rows.size(); ++row)
      EXPECT_EQ(Shown(static_cast<int>(row)), rows[row - 1]) << "row " << row;
  }
}

// The keys, then the times of the next second.  Scan codes equal to command bytes do nothing;
// keys after ESC still count; Alt+X ends the program.
TEST_F(AppFlowTest, WaitingKeys) {
  // Keys, whether a password is set, the sleep time, screen output and
  // password checking as shown ("": no such row).
  for (const auto& [keys, password, sleep, output, checking] :
       std::vector<std::tuple<std::string, bool, const char*, const char*, const char*>>{
           {"T\x85\xA5", true, "30.0s", "enabled", "enabled"},
           {"ttttt", true, "0.5s", "enabled", "enabled"},
           {"1", true, "0.1s", "enabled", "enabled"},
           {"sS\x9B\xEB\x9B", true, "0.5s", "disabled", "enabled"},
           {"pP\x87\xA7\x87", true, "0.5s", "enabled", "disabled"},
           {"pP", false, "0.5s", "enabled", ""},
           {"069x- \r\b{}|^`", true, "0.5s", "enabled", "enabled"},
           {"\0335", true, "30.0s", "enabled", "enabled"},
           {"~", true, "", "", ""}}) {
    SCOPED_TRACE(keys);
    StartApp();
    PrepareWaiting(password);
    Press(keys);
    testend::StopAt(1200);  // past the next second, whose times follow the keys
    UINT code = 99;
    const Outcome outcome = RunApp(RunWaitingPhase, &code);
    if (*sleep == 0) {
      EXPECT_EQ(outcome, Outcome::Exited);
      EXPECT_EQ(code, 0u);
      continue;
    }
    EXPECT_EQ(outcome, keys[0] == '\033' ? Outcome::Returned : Outcome::Waiting);
    EXPECT_EQ(Shown(5), Label("Sleep time", std::string("{") + sleep + "}"));
    EXPECT_EQ(Shown(6), Label("Screen output", std::string("{") + output + "}"));
    EXPECT_EQ(Shown(7),
              *checking == 0 ? "" : Label("Password checking", std::string("{") + checking + "}"));
    EXPECT_EQ(AlarmState.PasswordChecking, std::string(checking) == "enabled");
    // The times drawn after a changed value are still white.
    if (std::string(output) == "enabled" && std::string(sleep) != "30.0s") {
      EXPECT_TRUE(Shown(2).starts_with("Current time.......................[{")) << Shown(2);
      EXPECT_EQ(Shown(2).find('?'), std::string::npos) << Shown(2);
    }
  }
}

TEST_F(AppFlowTest, RingingKeysAndThePassword) {
  const char* const Esc = "Press ESC to abort";
  const char* const Sorry = "Sorry, fella. Reset will help ya ;) Joking.. Press ESC.";
  // Keys, the password ("": none), whether they stop it, row 3 ("[": the
  // prompt with its field).
  for (const auto& [keys, password, stops, row3] :
       std::vector<std::tuple<const char*, std::string, bool, const char*>>{
           {"\033", "", true, Esc},
           {"`", "", false, Esc},
           {"abc\r~", "abc", false, Esc},
           {"\033", "abc", false, "[                ]"},
           {"\033abd\r", "abc", false, Sorry},
           {"\033ab\r", "abc", false, Sorry},
           {"\033abcd\b\r", "abc", true, "[{abc}             ]"},
           {"\033abd\r\033abc\r", "abc", true, "[{abc}             ]"},
           {"\033\033~abc\r", "abc", true, "[{abc}             ]"},
           {"tsp12345\033ab", "abc", false, "[{ab}              ]"}}) {
    SCOPED_TRACE(keys);
    StartApp();  // 12:00:00: an alarm at 12:00 rings on the first pass
    PrepareWaiting(!password.empty(), 12, 0);
    std::copy_n(Padded(password).begin(), PasswordLength, AlarmState.Password);
    Press(keys);
    testend::StopAt(1000);
    EXPECT_EQ(RunApp(RunWaitingPhase), stops ? Outcome::Returned : Outcome::Waiting);
    EXPECT_EQ(AlarmState.SleepTime, 50);
    EXPECT_EQ(AlarmState.PasswordChecking, !password.empty());
    EXPECT_EQ(Shown(3), (*row3 == '[' ? "I'll shut up only if you enter the password: " : "") +
                            std::string(row3));
  }
}

// The alarm is at 07:30.  At 12:00:00 the second read equals the last one
// (0): nothing is shown.
TEST_F(AppFlowTest, TimesOnTheFirstPass) {
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
// a clock step back out of the minute, until ESC.
TEST_F(AppFlowTest, RingsInItsMinuteKeepingTheRhythmUntilStopped) {
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    SCOPED_TRACE(platform);
    StartApp({.Platform = platform, .Hour = 7, .Minute = 29, .Second = 59});
    PrepareWaiting(false);
    testend::SetPort61(0xFC);  // the speaker off; the other bits must stay
    // Passes at 0, 500 and 1000 ms; the last reads 07:30:00 and rings.
    constexpr uint64_t Rings = 1000;
    constexpr uint64_t StopAt = Rings + Hour;
    testend::PushAt(Rings + Hour / 2, [] { testend::StepClock(-Hour); });
    testend::PushAt(StopAt, [] { Press("\033"); });
    EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Returned);
    EXPECT_EQ(AlarmState.RemainingSeconds, 86400);
    EXPECT_EQ(Shown(1), "{Come on, sleepy head! Get up!}");
    EXPECT_EQ(Shown(2) + Shown(3), "Press ESC to abort");
    EXPECT_EQ(testend::Titles().back() + char(testend::PriorityClasses().back()),
              "Rousel - ringing...\x80");
    const uint64_t tones = (StopAt - Rings - 50) / 150 + 1;
    if (platform == VER_PLATFORM_WIN32_WINDOWS) {
      // Timer channel 2 in square-wave mode, divisor 1193181 / 2000 = 596 =
      // 0x0254, the speaker gated on, and off again after the tone.
      const std::vector<std::string> tone = {"in 61",     "out 61 FF", "out 43 B6", "out 42 54",
                                             "out 42 02", "in 61",     "out 61 FC"};
      ASSERT_EQ(testend::PortLog().size(), 7 * tones);
      EXPECT_EQ(std::vector(testend::PortLog().end() - 7, testend::PortLog().end()), tone);
      EXPECT_TRUE(testend::Beeps().empty());
      continue;
    }
    ASSERT_EQ(testend::Beeps().size(), tones);
    size_t off = 0;
    for (size_t i = 0; i < tones; ++i) {
      const testend::Tone& beep = testend::Beeps()[i];
      off += beep.Frequency != 2000 || beep.Duration != 100 || beep.AtMs != Rings + 50 + 150 * i;
    }
    EXPECT_EQ(off, 0u) << "tones out of rhythm";
  }
}

// It rings in the first pass (every 30 s here) whose reading falls in the
// alarm minute, or that a step forward of less than half a day carried past
// the minute's start; never earlier, whatever the clock does.
TEST_F(AppFlowTest, RingsInTheFirstPassOfItsMinuteOrOnceAStepForwardPassesIt) {
  struct Case {
    const char* name;
    int hour, minute, second;  // the clock when the wait starts
    int alarmHour, alarmMinute;
    int64_t stepAt, stepBy;  // virtual ms
    int64_t ringsAt;         // virtual ms of the ringing pass; -1: not today
  };
  // clang-format off
  const Case cases[] = {
      {"an hour and a half ahead",       22,  0,  0, 23, 30, 0, 0,                5400500},
      {"a minute ago: tomorrow",          7,  1,  0,  7,  0, 0, 0,                86340500},
      {"summer time steps over it",       1, 59,  0,  2, 30, Minute, Hour,        60500},
      {"stepped back before it",          3,  0,  0,  3, 10, 5 * Minute, -Hour,   4200500},
      {"stepped over across midnight",   23, 58, 50,  0,  0, 1000, 5 * Minute,    30500},
      {"a suspended night",              23,  0,  0,  7,  0, 1000, 9 * Hour,      30500},
      {"stepped forward from past it",    7,  1,  5,  7,  0, 1000, 3 * Minute,    -1},
      {"stepped back over it",            7,  5,  0,  7,  0, 1000, -10 * Minute,  300500},
      {"13 hours forward is a step back", 6,  0,  0,  7,  0, 1000, 13 * Hour,     43200500},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartApp({.Hour = c.hour, .Minute = c.minute, .Second = c.second});
    PrepareWaiting(false, c.alarmHour, c.alarmMinute);
    Press("5");
    if (c.stepBy != 0) testend::PushAt(c.stepAt, [&c] { testend::StepClock(c.stepBy); });
    testend::StopAt(static_cast<uint64_t>(c.ringsAt < 0 ? 2 * Hour : c.ringsAt + 1000));
    EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
    const int64_t rang =
        testend::Beeps().empty() ? -1 : static_cast<int64_t>(testend::Beeps()[0].AtMs) - 50;
    EXPECT_EQ(rang, c.ringsAt);
  }
}

TEST_F(AppFlowTest, ScreenOutputOffFreezesTheTimesButNotTheAlarm) {
  StartApp({.Hour = 7, .Minute = 29, .Second = 50});
  PrepareWaiting(false);
  Press("s");
  std::string frozen;
  testend::PushAt(9900, [&] { frozen = testend::Row(2) + testend::Row(3); });
  testend::StopAt(10200);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  EXPECT_EQ(frozen, Label("Current time", "07:29:50") + Label("Remaining time", "00:00:10"));
  EXPECT_EQ(testend::Row(1), "Come on, sleepy head! Get up!");
}

TEST_F(AppFlowTest, EscWhileWaitingBringsBackTheTimeEntryWithHalfASecond) {
  Press("0730\r\r3\033");
  EXPECT_EQ(RunApp(RunForEver), Outcome::Waiting);
  EXPECT_EQ(AlarmState.SleepTime, 500);
  EXPECT_EQ(testend::Row(1), "Enter alarm time or press ALT-X to exit: [  :  ]");
  EXPECT_EQ(testend::PriorityClasses(), (std::vector<DWORD>{0x20, 0x40, 0x20}));
}

// A new wait does not take the previous wait's last reading for its own: an
// alarm set for the minute just gone waits for tomorrow even when the clock
// passed that minute since the previous wait ended.
TEST_F(AppFlowTest, EachWaitStartsWithoutAPreviousReading) {
  StartApp({.Hour = 6, .Minute = 0, .Second = 0});
  PrepareWaiting(false, 6, 30);
  testend::StopAt(200);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  testend::StepClock(Hour);  // 07:00: 06:30 is gone
  testend::StopAt(1500);
  EXPECT_EQ(RunApp(RunWaitingPhase), Outcome::Waiting);
  EXPECT_TRUE(testend::Beeps().empty());
}

// Once the alarm is over, or the program ends, the password is gone from
// the globals and from the screen.
TEST_F(AppFlowTest, PasswordsAreWipedWhenTheAlarmStopsAndOnExit) {
  for (const uint64_t altXAt : {500, 3000}) {           // waiting; after the stop at 2000
    StartApp({.Hour = 6, .Minute = 59, .Second = 59});  // it rings at 1000 ms
    Press("0700\rs3cret\r");
    testend::PushAt(2000, [] { Press("\033s3cret\r"); });
    std::string left = "none";
    testend::PushAt(altXAt, [&] {
      left = Stored(AlarmState.Password) + Stored(AlarmState.TypedPassword);
      testend::PushAltX();
    });
    EXPECT_EQ(RunApp(RunForEver), Outcome::Exited);
    EXPECT_EQ(left == Padded("") + Padded(""), altXAt > 2000) << "wiped when the alarm stopped";
    EXPECT_EQ(Stored(AlarmState.Password) + Stored(AlarmState.TypedPassword),
              Padded("") + Padded(""));
    for (int row = 1; row <= 25; ++row)
      EXPECT_EQ(testend::Row(row).find("s3cret"), std::string::npos);
  }
}

// Only "--help" and "--version" as the first argument are answered, and a
// full disk or a closed pipe is no answer given.
TEST(CommandLineTest, AnswersOnlyTheTwoWordsAsFirstArgument) {
  EXPECT_EQ(AskCommandLine({"--version", "--help"}).second, "Rousel " ROUSEL_TEST_VERSION "\n");
  const auto [status, help] = AskCommandLine({"--help", "--version"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("man rousel"), std::string::npos) << help;
  for (const auto& args : std::vector<std::vector<const char*>>{{}, {"-h"}, {"07:30", "--help"}})
    EXPECT_EQ(AskCommandLine(args), std::pair(-1, std::string())) << args.size();
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(AskCommandLine({"--version"}, full).first, 1);
}

}  // namespace
