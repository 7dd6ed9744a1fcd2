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
    for (const int row : {1, 5, 6}) {
      EXPECT_EQ(fake::AttrAt(36, row), 7);
      EXPECT_EQ(fake::AttrAt(37, row), 15);
    }
    EXPECT_EQ(fake::AttrAt(42, 1), 7);
    EXPECT_EQ(fake::AttrAt(1, checking ? 11 : 10), 7);
  }
}

TEST_F(StatusScreenTest, AWholeDayIsTwentyFourHours) {
  WriteDuration(86400);
  EXPECT_EQ(fake::Row(1), "24:00:00");
}

}  // namespace
