// The alarm sequence of app/alarm_state.cpp: the two entry fields, the way
// out with its banner, and the passwords wiped once they have done their work.
#include <string>
#include <tuple>
#include <vector>

#include "standin/model/control.h"
#include "tests/app/app_test_support.h"

namespace {

using AlarmStateTest = AppTest;

struct TimeRow {
  const char* Name;
  const char* Keys;
  const char* Field;  // as shown
  int Column;         // of the cursor after the keys
  int Alarm;          // AlarmSeconds once accepted; -1: the field stays open
};
using AlarmStateRows = Table<AppTest, TimeRow>;

// "@^": the scan codes 48 and 49 are no digits; "-" is 45 but no scan code.
// The field is typed in white; the password prompt that follows is grey.
TEST_P(AlarmStateRows, TheTimeFieldTakesOnlyTimesOfDay) {
  const TimeRow& row = GetParam();
  Press(row.Keys);
  EXPECT_EQ(RunApp(TimeEntry), row.Alarm < 0 ? Outcome::Waiting : Outcome::Returned);
  EXPECT_EQ(Shown(1), std::string("Enter alarm time or press ALT-X to exit: ") + row.Field);
  EXPECT_EQ(WhereX(), row.Column);
  EXPECT_EQ(TextAttr, row.Alarm < 0 ? 15 : 7);
  EXPECT_EQ(AlarmState.TimeEntered ? AlarmState.AlarmSeconds : -1, row.Alarm);
}

INSTANTIATE_TEST_SUITE_P(
    TimeField, AlarmStateRows,
    ::testing::Values(TimeRow{"CorrectedHour", "07\b830\r", "[{08}:{30}]", 48, 30600},
                      TimeRow{"TheLastMinute", "2359\r", "[{23}:{59}]", 48, 86340},
                      TimeRow{"NoHourTensAbove2", "3", "[  :  ]", 43, -1},
                      TimeRow{"HourUnitsUpTo3After2", "2436", "[{23}:  ]", 46, -1},
                      TimeRow{"BackspaceOnEmptyAndOverADigit", "\b1\b29", "[{2} :  ]", 44, -1},
                      TimeRow{"EnterWaitsForFourDigits", "073\r", "[{07}:{3} ]", 47, -1},
                      TimeRow{"NoFifthDigit", "07305\b", "[{07}:{3} ]", 47, -1},
                      TimeRow{"OtherKeysIgnored", "a-. @^12", "[{12}:  ]", 46, -1}),
    RowName());

// Control keys are ignored, Ctrl+A (the filler byte) and Ctrl+_ (31) included;
// one character is a password.
TEST_F(AlarmStateTest, PasswordFieldStoresWhatWasTyped) {
  // Keys, the password stored ("": none), the field as shown.
  for (const auto& [keys, stored, field] :
       std::vector<std::tuple<const char*, std::string, const char*>>{
           {"\ba\001\037 b\bc\r", "a c", "[{a_c}             ]"},
           {"x\r", "x", "[{x}               ]"},
           {"0123456789abcde\xAFg\r", "0123456789abcde\xAF", "[{0123456789abcde\xAF}]"},
           {"\r", "", "[                ]"},
           {"abc\033", "", "[{abc}             ]"}}) {
    SCOPED_TRACE(keys);
    StartApp();
    Press(keys);
    EXPECT_EQ(RunApp(PasswordEntry), Outcome::Returned);
    EXPECT_EQ(std::pair(AlarmState.PasswordSet, AlarmState.PasswordChecking),
              std::pair(!stored.empty(), !stored.empty()));
    EXPECT_EQ(Stored(AlarmState.Password), Padded(stored));
    EXPECT_EQ(Shown(3),
              std::string("Enter the password (or nothing for nopassword mode): ") + field);
  }
}

// Ctrl+C does not end the program; Alt+X does, from either field: the banner
// in grey, the cursor shown again.
TEST_F(AlarmStateTest, AltXInEitherFieldWritesTheBannerAndEndsWithZero) {
  for (const auto& field : {TimeEntry, PasswordEntry}) {
    StartApp();
    EXPECT_FALSE(testend::Console().CursorInfo.bVisible);
    EXPECT_TRUE(model::DispatchCtrlEvent(CTRL_C_EVENT));
    Press("-1~");
    UINT code = 99;
    EXPECT_EQ(RunApp(field, &code), Outcome::Exited);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Shown(1).starts_with("Rousel 1.0 - alarm clock for the text console;")) << Shown(1);
    EXPECT_EQ(Shown(4), "\372quote: cool, eh? ;)");
    EXPECT_EQ(testend::Console().Title, "Rousel - exiting...");
    EXPECT_TRUE(testend::Console().CursorInfo.bVisible);
  }
}

const auto RunForEver = [] {
  for (;;) AlarmSequence();
};

TEST_F(AlarmStateTest, EscWhileWaitingBringsBackTheTimeEntryWithHalfASecond) {
  Press("0730\r\r3\033");
  EXPECT_EQ(RunApp(RunForEver), Outcome::Waiting);
  EXPECT_EQ(AlarmState.SleepTime, 500);
  EXPECT_EQ(Shown(1), "Enter alarm time or press ALT-X to exit: [  :  ]");
  EXPECT_EQ(testend::CallsStarting({"SetPriorityClass"}),
            (std::vector<std::string>{"SetPriorityClass 32", "SetPriorityClass 64",
                                      "SetPriorityClass 32"}));
}

// Once the alarm is over, or the program ends, the password is gone from
// the globals and from the screen.
TEST_F(AlarmStateTest, PasswordsAreWipedWhenTheAlarmStopsAndOnExit) {
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

}  // namespace
