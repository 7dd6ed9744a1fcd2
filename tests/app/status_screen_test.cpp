// The waiting screen of app/status_screen.cpp: its rows, with and without
// the password row, and a whole day remaining.
#include <string>
#include <vector>

#include "app/status_screen.h"
#include "tests/app/app_test_support.h"

namespace {

using StatusScreenTest = AppTest;

TEST_F(StatusScreenTest, RowsWithAndWithoutThePasswordRow) {
  // The second drawing clears what the first left.
  for (const bool checking : {true, false}) {
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

// The alarm minute read at its first second is a whole day away; every
// field has two digits, ten and nine alike.
TEST_F(StatusScreenTest, DurationsInTwoDigitsEachARemainingDayAs24Hours) {
  for (const auto& [seconds, shown] : {std::pair{86400, "24:00:00"}, {36550, "10:09:10"}}) {
    GotoXY(1, 1);
    WriteDuration(seconds);
    EXPECT_EQ(testend::Row(1), shown);
  }
}

}  // namespace
