#include <cstdint>
#include <iterator>
#include <string>
#include <tuple>

#include "tests/unit/app_test_support.h"

namespace {

using EntryTest = AppTest;

TEST_F(EntryTest, TimeFieldTakesOnlyTimesOfDay) {
  struct Case {
    const char *keys, *field;
    int column, hour, minute;  // hour -1: the field is still open
  };
  // "@^": scan codes 48 and 49 are no digits; "-" is 45 but no scan code.
  const Case cases[] = {
      {"0730\r", "[07:30]", 48, 7, 30},  {"2359\r", "[23:59]", 48, 23, 59},
      {"0000\r", "[00:00]", 48, 0, 0},   {"24", "[2 :  ]", 44, -1, 0},
      {"3", "[  :  ]", 43, -1, 0},       {"1\b29", "[2 :  ]", 44, -1, 0},
      {"236", "[23:  ]", 46, -1, 0},     {"073\r", "[07:3 ]", 47, -1, 0},
      {"07305\b", "[07:3 ]", 47, -1, 0}, {"07\b830\r", "[08:30]", 48, 8, 30},
      {"\b\b12", "[12:  ]", 46, -1, 0},  {"a-. 12", "[12:  ]", 46, -1, 0},
      {"@^2", "[2 :  ]", 44, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    StartApp();
    Press(c.keys);
    EXPECT_EQ(RunApp(TimeEntry), c.hour < 0 ? Outcome::Waiting : Outcome::Returned);
    EXPECT_EQ(fake::Row(1), std::string("Enter alarm time or press ALT-X to exit: ") + c.field);
    EXPECT_EQ(WhereX(), c.column);
    // Typed digits white, the prompt and the field's brackets grey.
    std::string digits = Marks(c.field, 0, 7);
    digits[0] = digits[3] = digits[6] = '.';
    EXPECT_EQ(Colours(1), Marks("Enter alarm time or press ALT-X to exit: ") + digits);
    if (c.hour < 0) continue;
    EXPECT_EQ(TextAttr, 7);  // the password prompt that follows is grey
    EXPECT_EQ(std::tuple(AlarmState.AlarmHour, AlarmState.AlarmMinute, AlarmState.AlarmSeconds),
              std::tuple(c.hour, c.minute, c.hour * 3600 + c.minute * 60));
  }
}

TEST_F(EntryTest, PasswordFieldStoresWhatWasTyped) {
  struct Case {
    const char *keys, *stored, *field;  // stored nullptr: no password
  };
  // Control keys are ignored, Ctrl+A (the filler byte) included.
  // clang-format off
  const Case cases[] = {
      {"secret\r", "secret", "[secret          ]"},   {"\r", nullptr, "[                ]"},
      {"abc\033", nullptr, "[abc             ]"},    {"a b\r", "a b", "[a_b             ]"},
      {"\bab\bc\r", "ac", "[ac              ]"},     {"a\001\032b\r", "ab", "[ab              ]"},
      {"0123456789abcdefg\r", "0123456789abcdef", "[0123456789abcdef]"},
      {"\xAF\xA0\x9F\r", "\xAF\xA0\x9F", "[\xAF\xA0\x9F             ]"}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    StartApp();
    Press(c.keys);
    EXPECT_EQ(RunApp(PasswordEntry), Outcome::Returned);
    EXPECT_EQ(AlarmState.PasswordSet, c.stored != nullptr);
    EXPECT_EQ(AlarmState.PasswordChecking, c.stored != nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(AlarmState.Password), PasswordLength),
              Padded(c.stored != nullptr ? c.stored : ""));
    EXPECT_EQ(RawRow(3),
              std::string("Enter the password (or nothing for nopassword mode): ") + c.field);
    EXPECT_EQ(Colours(3), Marks(RawRow(3), 54, PasswordLength));
  }
}

TEST_F(EntryTest, AltXInEitherFieldWritesTheBannerAndEndsWithZero) {
  for (const auto& field : {TimeEntry, PasswordEntry}) {
    StartApp();
    EXPECT_FALSE(fake::Console().CursorInfo.bVisible);
    Press("-1~");
    UINT code = 99;
    EXPECT_EQ(RunApp(field, &code), Outcome::Exited);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(fake::Row(1).rfind("Rousel 1.0 - alarm clock", 0), 0u);
    EXPECT_EQ(fake::Row(2), "");
    for (const int row : {1, 3, 4}) EXPECT_EQ(Colours(row), Marks(fake::Row(row))) << row;
    EXPECT_EQ(fake::Titles().back(), "Rousel - exiting...");
    EXPECT_TRUE(fake::Console().CursorInfo.bVisible);
  }
}

}  // namespace

namespace {

using WipeTest = AppTest;

// Once the alarm is over, or the program ends, the password is gone from
// the globals and from the screen.
TEST_F(WipeTest, PasswordsAreWipedWhenTheAlarmStopsAndOnExit) {
  struct Case {
    const char* what;
    uint64_t altXAt;  // ms on the virtual clock; the alarm rings at 1000
    bool stopFirst;
  };
  const Case cases[] = {{"Alt+X while waiting", 500, false},
                        {"the alarm stopped with the password", 3000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartApp({.Platform = VER_PLATFORM_WIN32_NT, .Hour = 6, .Minute = 59, .Second = 59});
    Press("0700\rs3cret\r");
    bool wipedAfterStop = false;
    if (c.stopFirst) {
      fake::PushAt(2000, [] { Press("\033s3cret\r"); });
      fake::PushAt(2600, [&wipedAfterStop] {
        wipedAfterStop = Padded("") == std::string(std::begin(AlarmState.Password),
                                                   std::end(AlarmState.Password)) &&
                         Padded("") == std::string(std::begin(AlarmState.TypedPassword),
                                                   std::end(AlarmState.TypedPassword));
      });
    }
    fake::PushAt(c.altXAt, [] { fake::PushAltX(); });
    UINT code = 99;
    EXPECT_EQ(RunApp(
                  [] {
                    for (;;) AlarmSequence();
                  },
                  &code),
              Outcome::Exited);
    if (c.stopFirst) {
      EXPECT_TRUE(wipedAfterStop) << "still there at the next time entry";
    }
    EXPECT_EQ(std::string(std::begin(AlarmState.Password), std::end(AlarmState.Password)),
              Padded(""));
    EXPECT_EQ(std::string(std::begin(AlarmState.TypedPassword), std::end(AlarmState.TypedPassword)),
              Padded(""));
    for (int row = 1; row <= 25; ++row) EXPECT_EQ(RawRow(row).find("s3cret"), std::string::npos);
  }
}

}  // namespace
