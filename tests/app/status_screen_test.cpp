// The waiting screen of app/status_screen.cpp: its rows, with and without
// the password row, and the times as they are redrawn.
#include <string>
#include <vector>

#include "app/status_screen.h"
#include "tests/app/app_test_support.h"

namespace {

using StatusScreenTest = AppTest;

TEST_F(StatusScreenTest, RowsWithAndWithoutThePasswordRow) {
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

// Two-digit fields, one of them with hours of a whole day.
TEST_F(StatusScreenTest, TimesShowTwoDigitsAndADayAs24Hours) {
  PrepareWaiting(false);
  DrawStatusScreen();
  TextColor(15);
  for (const auto& [remaining, shown] :
       std::vector<std::pair<int32_t, const char*>>{{86400, "{24:00:00}"}, {3661, "{01:01:01}"}}) {
    AlarmState.CurHour = 9;
    AlarmState.CurMinute = 5;
    AlarmState.CurSecond = 0;
    AlarmState.RemainingSeconds = remaining;
    ShowTimes();
    EXPECT_EQ(Shown(2), Label("Current time", "{09:05:00}"));
    EXPECT_EQ(Shown(3), Label("Remaining time", shown));
  }
}

}  // namespace
