// The alarm application's global state and the sequence every alarm goes
// through: start-up, the alarm-time field, the password field, the hand-over
// to the waiting phase, and the one way out with its exit banner.
#pragma once

#include <cstdint>
#include <string_view>

#include "win32/win32.h"

// All fields start at zero: numbers 0, flags false, characters code 0.
// Password and TypedPassword are filled with FillerChar where nothing was
// typed; their positions are 1..16, so position p lives at index p - 1.
struct TAlarmState {
  int32_t CurHour;
  int32_t CurMinute;
  int32_t CurSecond;
  int32_t PrevSecond;
  int32_t AlarmHour;
  int32_t AlarmMinute;
  int32_t CurSeconds;
  int32_t AlarmSeconds;
  int32_t RemainingSeconds;
  int32_t DayOffset;
  uint16_t SleepTime;
  uint8_t Platform;
  uint8_t EntryIndex;
  uint8_t TimeDigits[4];
  uint8_t Password[16];
  uint8_t TypedPassword[16];
  uint8_t Key;
  uint8_t PrevKey;
  uint8_t DigitLimit;
  bool AbortWait;
  bool Ringing;
  bool TimeEntered;
  bool ScreenOutput;
  bool PasswordChecking;
  bool PromptOpen;
  bool PasswordSet;
  HANDLE ProcessHandle;
};

extern TAlarmState AlarmState;

constexpr int PasswordLength = 16;
// Marks a password position nothing was typed into; typed characters are
// never below 32, so a filler can never match a typed one.
constexpr uint8_t FillerChar = 1;

// Key bytes the fields and the cycle react to.
constexpr uint8_t KeyBackspace = 8;
constexpr uint8_t KeyEnter = 13;
constexpr uint8_t KeyEsc = 27;
// The scan code that follows a 0 for Alt+X.
constexpr uint8_t ScanAltX = 45;

// (hours * 60 + minutes) * 60 + seconds.
int32_t SecondsOfDay(int32_t hours, int32_t minutes, int32_t seconds);
// Console window title "Rousel - " + text, cut to 255 bytes, no conversion.
void SetTitle(std::string_view text);

// Once per process, after InitConsole: process handle, platform family,
// Ctrl+C off, cursor hidden.
void StartUp();
// One alarm: normal priority, the two fields, then the waiting phase until
// it is finished.  The program repeats it for ever.
void AlarmSequence();

// Backspace and the characters 32..255 of a password field, the entry field
// or the ringing screen's prompt: up to 16 characters at EntryIndex, echoed
// in white, a blank shown as "_"; every other key is left to the caller.
void EditPasswordField(uint8_t (&field)[PasswordLength], uint8_t key);

void TimeEntry();
void PasswordEntry();
// Overwrites the password and what was typed at the ringing prompt with
// fillers, in a way the compiler keeps: once an alarm is over, or the
// program ends, no copy of them stays in the globals.
void WipePasswords();
// Writes the exit banner, shows the cursor again and ends the process.
[[noreturn]] void ExitProgram(uint8_t code);
