#include "app/alarm_state.h"

#include <algorithm>
#include <cstring>

#include "app/waiting_cycle.h"
#include "console/console_output.h"
#include "console/keyboard.h"
#include "console/process.h"
#include "console/text.h"

TAlarmState AlarmState = {};

namespace {

constexpr uint8_t TimeFieldColumn = 43;
constexpr uint8_t PasswordFieldColumn = 55;
constexpr uint8_t PasswordRow = 3;
// Byte 250 is a small centred dot in code page 866.
constexpr uint8_t Bullet = 250;

bool IsDigit(uint8_t key) {
  return key >= '0' && key <= '9';
}

// The highest digit the time field takes at its current position, so that
// only 00:00 to 23:59 can be typed.  The hour units depend on the hour tens
// as they stand when the units are typed.
uint8_t TimeDigitLimit(uint8_t position) {
  switch (position) {
    case 1:
      return '2';
    case 2:
      return AlarmState.TimeDigits[0] < '2' ? '9' : '3';
    case 3:
      return '5';
    default:
      return '9';
  }
}

int32_t TwoDigitNumber(uint8_t tens, uint8_t units) {
  return (tens - '0') * 10 + (units - '0');
}

void FillPassword(uint8_t (&password)[PasswordLength]) {
  std::fill(std::begin(password), std::end(password), FillerChar);
}

// SecureZeroMemory first: a plain store to memory that is not read again
// could be dropped as dead.
void WipeField(uint8_t (&field)[PasswordLength]) {
  SecureZeroMemory(field, sizeof field);
  FillPassword(field);
}

// One key of the time field that is not a scan code.
void TimeEntryKey(uint8_t key) {
  if (IsDigit(key)) {
    if (AlarmState.EntryIndex >= 5) return;
    AlarmState.DigitLimit = TimeDigitLimit(AlarmState.EntryIndex);
    if (key > AlarmState.DigitLimit) return;
    AlarmState.TimeDigits[AlarmState.EntryIndex - 1] = key;
    Write(key);
    // Step over the colon between hours and minutes.
    if (AlarmState.EntryIndex == 2) GotoXY(static_cast<uint8_t>(WhereX() + 1), WhereY());
    AlarmState.EntryIndex++;
  } else if (key == KeyBackspace) {
    if (AlarmState.EntryIndex <= 1) return;
    const uint8_t back = AlarmState.EntryIndex == 3 ? 2 : 1;
    GotoXY(static_cast<uint8_t>(WhereX() - back), WhereY());
    // Space then backspace blanks the cell and leaves the cursor on it.
    Write(' ', static_cast<uint8_t>(KeyBackspace));
    AlarmState.EntryIndex--;
  } else if (key == KeyEnter) {
    if (AlarmState.EntryIndex <= 4) return;
    const uint8_t* digits = AlarmState.TimeDigits;
    AlarmState.AlarmHour = TwoDigitNumber(digits[0], digits[1]);
    AlarmState.AlarmMinute = TwoDigitNumber(digits[2], digits[3]);
    AlarmState.AlarmSeconds = SecondsOfDay(AlarmState.AlarmHour, AlarmState.AlarmMinute, 0);
    AlarmState.TimeEntered = true;
  }
}

// One key of the password field that is not a scan code.
void PasswordEntryKey(uint8_t key) {
  if (key == KeyEsc) {
    // Whatever was typed goes with it: no half-typed password stays behind.
    AlarmState.PasswordChecking = false;
    FillPassword(AlarmState.Password);
  } else if (key == KeyEnter) {
    if (AlarmState.EntryIndex > 0) {
      AlarmState.PasswordSet = true;
    } else {
      AlarmState.PasswordChecking = false;
    }
  } else {
    EditPasswordField(AlarmState.Password, key);
  }
}

// One key of an entry field: Alt+X leaves the program; any other scan code
// is passed over, and a character goes to the field.
void EntryFieldKey(void (*fieldKey)(uint8_t)) {
  AlarmState.Key = ReadKey();
  if (AlarmState.PrevKey == 0) {
    if (AlarmState.Key == ScanAltX) ExitProgram(0);
  } else {
    fieldKey(AlarmState.Key);
  }
  AlarmState.PrevKey = AlarmState.Key;
}

}  // namespace

void EditPasswordField(uint8_t (&field)[PasswordLength], uint8_t key) {
  if (key == KeyBackspace) {
    if (AlarmState.EntryIndex == 0) return;
    field[AlarmState.EntryIndex - 1] = FillerChar;
    Write(static_cast<uint8_t>(KeyBackspace), ' ', static_cast<uint8_t>(KeyBackspace));
    AlarmState.EntryIndex--;
  } else if (key >= 32) {
    if (AlarmState.EntryIndex >= PasswordLength) return;
    AlarmState.EntryIndex++;
    TextColor(15);
    // A blank would be invisible in the field, so it is shown as "_".
    Write(key == ' ' ? static_cast<uint8_t>('_') : key);
    field[AlarmState.EntryIndex - 1] = key;
  }
}

int32_t SecondsOfDay(int32_t hours, int32_t minutes, int32_t seconds) {
  return (hours * 60 + minutes) * 60 + seconds;
}

void SetTitle(std::string_view text) {
  constexpr std::string_view Prefix = "Rousel - ";
  constexpr size_t MaxTitle = 255;
  char title[MaxTitle + 1] = {};
  const size_t prefixLength = std::min(Prefix.size(), MaxTitle);
  std::memcpy(title, Prefix.data(), prefixLength);
  const size_t textLength = std::min(text.size(), MaxTitle - prefixLength);
  std::memcpy(title + prefixLength, text.data(), textLength);
  SetConsoleTitleA(title);
}

void StartUp() {
  AlarmState.ProcessHandle = GetCurrentProcess();
  AlarmState.Platform = static_cast<uint8_t>(GetPlatform());
  CheckBreak = false;
  HideCursor();
}

void AlarmSequence() {
  SetPriorityClass(AlarmState.ProcessHandle, NORMAL_PRIORITY_CLASS);
  AlarmState.SleepTime = 500;
  // Not 0: the first key of the time field is never taken for a scan code.
  AlarmState.PrevKey = 1;
  TimeEntry();
  PasswordEntry();
  RunWaitingPhase();
  // The alarm is over: the password has done its work.
  WipePasswords();
}

void WipePasswords() {
  WipeField(AlarmState.Password);
  WipeField(AlarmState.TypedPassword);
  // There is no password any more, only fillers.
  AlarmState.PasswordSet = false;
}

void TimeEntry() {
  SetTitle("time input");
  AlarmState.TimeEntered = false;
  ClrScr();
  TextColor(7);
  Write("Enter alarm time or press ALT-X to exit: [  :  ]");
  GotoXY(TimeFieldColumn, 1);
  TextColor(15);
  AlarmState.EntryIndex = 1;
  while (!AlarmState.TimeEntered) EntryFieldKey(TimeEntryKey);
  TextColor(7);
}

void PasswordEntry() {
  SetTitle("password input");
  AlarmState.PasswordSet = false;
  AlarmState.PasswordChecking = true;
  FillPassword(AlarmState.Password);
  GotoXY(1, PasswordRow);
  ClrEol();
  Write("Enter the password (or nothing for nopassword mode): [                ]");
  TextColor(15);
  GotoXY(PasswordFieldColumn, PasswordRow);
  AlarmState.EntryIndex = 0;
  while (!AlarmState.PasswordSet && AlarmState.PasswordChecking) EntryFieldKey(PasswordEntryKey);
  TextColor(7);
}

void ExitProgram(uint8_t code) {
  WipePasswords();
  SetTitle("exiting...");
  TextColor(7);
  ClrScr();
  WriteLn("Rousel 1.0 - alarm clock for the text console; report problems to the authors");
  WriteLn();
  WriteLn(Bullet, "compiled on 25.May.2001 18:42:28");
  WriteLn(Bullet, "quote: cool, eh? ;)");
  RestoreCursor();
  EndProcess(code);
}
