#include "app/status_screen.h"

#include "app/alarm_state.h"
#include "console/clock.h"
#include "console/console_output.h"
#include "console/text.h"

namespace {

constexpr uint8_t ValueColumn = 37;
// The rows of the values that are redrawn in place.
enum : uint8_t {
  CurrentTimeRow = 2,
  RemainingTimeRow = 3,
  SleepTimeRow = 5,
  ScreenOutputRow = 6,
  PasswordCheckingRow = 7,
};
// Blank rows between the last panel row and the help text, plus one.
constexpr uint8_t HelpDistance = 4;

// Seconds with one decimal and the unit, e.g. "0.5s" or "30.0s".
std::string SleepTimeText() {
  return FormatFixed(AlarmState.SleepTime / 1000.0L, 0, 1) + "s";
}

const char* SwitchText(bool on) {
  return on ? "enabled" : "disabled";
}

// A value redrawn in place is followed by its bracket and one blank: the
// blank covers the bracket a one character longer value left behind
// ("10.0s" becoming "0.1s", "disabled" becoming "enabled").
void ShowValue(uint8_t row, const std::string& value) {
  GotoXY(ValueColumn, row);
  TextColor(15);
  Write(value);
  TextColor(7);
  Write("] ");
  TextColor(15);
}

// Label in grey, value in white, closing bracket in grey; the line is not
// ended.
void WriteLabelRow(const char* label, const std::string& value) {
  Write(label);
  TextColor(15);
  Write(value);
  TextColor(7);
  Write("]");
}

}  // namespace

std::string TwoDigits(uint16_t n) {
  std::string text = FormatInteger(n, 0);
  if (n < 10) text.insert(text.begin(), '0');
  return text;
}

void WriteDuration(int32_t seconds) {
  Write(TwoDigits(static_cast<uint16_t>(seconds / 3600)) + ":" +
        TwoDigits(static_cast<uint16_t>(seconds % 3600 / 60)) + ":" +
        TwoDigits(static_cast<uint16_t>(seconds % 60)));
}

void DrawStatusScreen() {
  ClrScr();
  TextColor(7);
  WriteLabelRow("Alarm time.........................[",
                TwoDigits(static_cast<uint16_t>(AlarmState.AlarmHour)) + ":" +
                    TwoDigits(static_cast<uint16_t>(AlarmState.AlarmMinute)));
  WriteLn();
  WriteLn("Current time.......................[        ]");
  WriteLn("Remaining time.....................[        ]");
  WriteLn();
  WriteLabelRow("Sleep time.........................[", SleepTimeText());
  WriteLn();
  // Both switches are drawn on: the waiting phase turns screen output on
  // right after, and the password row exists only while checking is on.
  WriteLabelRow("Screen output......................[", SwitchText(true));
  if (AlarmState.PasswordChecking) {
    WriteLn();
    WriteLabelRow("Password checking..................[", SwitchText(true));
  }
  GotoXY(1, static_cast<uint8_t>(WhereY() + HelpDistance));
  WriteLn("Here's some help:");
  WriteLn();
  WriteLn("[T] toggles sleep time (1..5 keys works either)");
  WriteLn("[S] toggles screen output [enable/disable]");
  if (AlarmState.PasswordChecking) WriteLn("[P] toggles password checking [enable/disable]");
  WriteLn();
  WriteLn("ESC aborts waiting process, ALT-X quits program");
}

void ShowSleepTime() {
  ShowValue(SleepTimeRow, SleepTimeText());
}

void ShowTimes() {
  GotoXY(ValueColumn, CurrentTimeRow);
  Write(TwoDigits(static_cast<uint16_t>(AlarmState.CurHour)) + ":" +
        TwoDigits(static_cast<uint16_t>(AlarmState.CurMinute)) + ":" +
        TwoDigits(static_cast<uint16_t>(AlarmState.CurSecond)));
  GotoXY(ValueColumn, RemainingTimeRow);
  WriteDuration(AlarmState.RemainingSeconds);
}

void ShowScreenOutput() {
  ShowValue(ScreenOutputRow, SwitchText(AlarmState.ScreenOutput));
}

void ShowPasswordChecking() {
  ShowValue(PasswordCheckingRow, SwitchText(AlarmState.PasswordChecking));
}
