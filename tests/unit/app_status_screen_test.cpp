#include <string>
#include <vector>

#include "app/status_screen.h"
#include "tests/unit/app_test_support.h"

namespace {

using StatusScreenTest = AppTest;

TEST_F(StatusScreenTest, PanelAndHelpWithAndWithoutThePasswordRow) {
  for (const bool checking : {false, true}) {
    StartApp();
    AlarmState.AlarmHour = 7;
    AlarmState.AlarmMinute = 5;
    AlarmState.SleepTime = 500;
    AlarmState.PasswordChecking = checking;
    DrawStatusScreen();
    std::vector<std::string> rows = {"Alarm time.........................[07:05]",
                                     "Current time.......................[        ]",
                                     "Remaining time.....................[        ]",
                                     "",
                                     "Sleep time.........................[0.5s]",
                                     "Screen output......................[enabled]"};
    if (checking) rows.push_back("Password checking..................[enabled]");
    rows.insert(rows.end(), {"", "", "", "Here's some help:", "",
                             "[T] toggles sleep time (1..5 keys works either)",
                             "[S] toggles screen output [enable/disable]"});
    if (checking) rows.push_back("[P] toggles password checking [enable/disable]");
    rows.insert(rows.end(), {"", "ESC aborts waiting process, ALT-X quits program", ""});
    for (size_t row = 1; row <= rows.size(); ++row) {
      EXPECT_EQ(fake::Row(static_cast<int>(row)), rows[row - 1]) << "row " << row;
    }
    // Labels grey, values white, their closing brackets grey again.
    for (size_t row = 1; row <= rows.size(); ++row) {
      const std::string& text = rows[row - 1];
      const bool hasValue = text.size() > 37 && text[35] == '[' && text[36] != ' ';
      EXPECT_EQ(Colours(static_cast<int>(row)), Marks(text, 36, hasValue ? text.size() - 37 : 0))
          << "row " << row;
    }
  }
}

TEST_F(StatusScreenTest, ValuesRedrawnInPlaceAreWhiteWithAGreyBracket) {
  AlarmState.SleepTime = 10000;
  AlarmState.PasswordChecking = true;
  DrawStatusScreen();
  AlarmState.SleepTime = 100;
  AlarmState.ScreenOutput = false;
  ShowSleepTime();
  ShowScreenOutput();
  ShowPasswordChecking();
  // The times are drawn in the colour the last value left: white.
  AlarmState.CurHour = 7;
  AlarmState.RemainingSeconds = 61;
  ShowTimes();
  const struct {
    int row;
    const char* text;
  } rows[] = {{2, "07:00:00]"}, {3, "00:01:01]"}, {5, "0.1s]"}, {6, "disabled]"}, {7, "enabled]"}};
  for (const auto& r : rows) {
    const std::string value = std::string(r.text).substr(0, std::string(r.text).size() - 1);
    EXPECT_EQ(fake::Row(r.row).substr(36), r.text) << "row " << r.row;
    EXPECT_EQ(Colours(r.row), Marks(fake::Row(r.row), 36, value.size())) << "row " << r.row;
  }
}

TEST_F(StatusScreenTest, AWholeDayIsTwentyFourHours) {
  WriteDuration(86400);
  EXPECT_EQ(fake::Row(1), "24:00:00");
}

}  // namespace
