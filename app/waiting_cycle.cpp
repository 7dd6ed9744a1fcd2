#include "app/waiting_cycle.h"

#include <algorithm>
#include <cstring>

#include "app/alarm_state.h"
#include "app/speaker_tone.h"
#include "app/status_screen.h"
#include "console/clock.h"
#include "console/console_output.h"
#include "console/keyboard.h"
#include "console/power.h"
#include "console/text.h"

namespace {

constexpr uint16_t AlarmFrequency = 2000;
constexpr uint16_t AlarmToneLength = 100;
constexpr uint16_t RingingSleepTime = 50;
constexpr int32_t SecondsPerDay = 86400;
constexpr uint8_t PromptRow = 3;
constexpr uint8_t PromptFieldColumn = 47;

// The sleep times the "T" key steps through, and the one each of the keys
// "1".."5" picks.
constexpr uint16_t SleepTimes[] = {100, 500, 1000, 10000, 30000};

// Cyrillic letters of code page 866 on the same keys of the Russian layout:
// small and capital IE on T, YERU on S, ZE on P.
bool IsSleepTimeKey(uint8_t key) {
  return key == 't' || key == 'T' || key == 0xA5 || key == 0x85;
}
bool IsScreenOutputKey(uint8_t key) {
  return key == 's' || key == 'S' || key == 0xEB || key == 0x9B;
}
bool IsPasswordCheckingKey(uint8_t key) {
  return key == 'p' || key == 'P' || key == 0xA7 || key == 0x87;
}

uint16_t NextSleepTime(uint16_t current) {
  const auto* found = std::find(std::begin(SleepTimes), std::end(SleepTimes), current);
  if (found == std::end(SleepTimes)) return current;
  ++found;
  return found == std::end(SleepTimes) ? SleepTimes[0] : *found;
}

void StartRinging() {
  SetTitle("ringing...");
  SetPriorityClass(AlarmState.ProcessHandle, HIGH_PRIORITY_CLASS);
  ClrScr();
  WriteLn("Come on, sleepy head! Get up!");
  WriteLn();
  TextColor(7);
  Write("Press ESC to abort");
  AlarmState.Ringing = true;
  AlarmState.PromptOpen = false;
  AlarmState.SleepTime = RingingSleepTime;
}

// The previous pass's clock reading (seconds of the day), or NoReading
// before the first pass of a waiting phase.
constexpr int32_t NoReading = -1;
int32_t PassReading = NoReading;

// A step forward longer than this is taken for a step back: a pass reads the
// clock at most every 30 s, so only a clock step or a suspended machine moves
// it further, and a time of day alone cannot tell a step forward from one
// back.  Half a day splits the cases evenly.
constexpr int32_t LongestStepForward = SecondsPerDay / 2;

// Whether the clock moved forward past the start of the alarm minute between
// the previous pass and this one (midnight included): a clock step or a
// resumed machine that lands after the minute must still ring.  A pass in
// the minute itself rings anyway; a step back, or the first pass of a
// waiting phase, never counts.
bool SteppedOverAlarm(int32_t now) {
  if (PassReading == NoReading) return false;
  const int32_t moved = (now - PassReading + SecondsPerDay) % SecondsPerDay;
  if (moved == 0 || moved > LongestStepForward) return false;
  const int32_t untilAlarm =
      (AlarmState.AlarmSeconds - PassReading + SecondsPerDay) % SecondsPerDay;
  return untilAlarm > 0 && untilAlarm <= moved;
}

// Reads the clock, redraws the times on a new second, and starts ringing in
// the alarm minute whether or not the screen is being updated.
void FollowClock() {
  AlarmState.PrevSecond = AlarmState.CurSecond;
  GetTime(AlarmState.CurHour, AlarmState.CurMinute, AlarmState.CurSecond);
  const int32_t now = SecondsOfDay(AlarmState.CurHour, AlarmState.CurMinute, AlarmState.CurSecond);
  const bool steppedOver = SteppedOverAlarm(now);
  PassReading = now;
  if (AlarmState.ScreenOutput && AlarmState.CurSecond != AlarmState.PrevSecond) {
    AlarmState.CurSeconds =
        SecondsOfDay(AlarmState.CurHour, AlarmState.CurMinute, AlarmState.CurSecond);
    AlarmState.DayOffset = AlarmState.AlarmSeconds > AlarmState.CurSeconds ? 0 : SecondsPerDay;
    AlarmState.RemainingSeconds =
        AlarmState.DayOffset + AlarmState.AlarmSeconds - AlarmState.CurSeconds;
    ShowTimes();
  }
  if (steppedOver || (AlarmState.CurHour == AlarmState.AlarmHour &&
                      AlarmState.CurMinute == AlarmState.AlarmMinute)) {
    StartRinging();
  }
}

void OpenPrompt() {
  AlarmState.PromptOpen = true;
  std::fill(std::begin(AlarmState.TypedPassword), std::end(AlarmState.TypedPassword), FillerChar);
  AlarmState.EntryIndex = 0;
  GotoXY(1, PromptRow);
  ClrEol();
  Write("I'll shut up only if you enter the password: [                ]");
  GotoXY(PromptFieldColumn, PromptRow);
}

void RejectPassword() {
  AlarmState.PromptOpen = false;
  GotoXY(1, PromptRow);
  ClrEol();
  TextColor(7);
  Write("Sorry, fella. Reset will help ya ;) Joking.. Press ESC.");
}

}  // namespace

bool PasswordMatches() {
  return std::memcmp(AlarmState.TypedPassword, AlarmState.Password, PasswordLength) == 0;
}

void HandleWaitingKey(uint8_t key) {
  if (AlarmState.PrevKey == 0) {
    // The scan code of a key without a character.
    if (key == ScanAltX) ExitProgram(0);
    return;
  }
  if (IsSleepTimeKey(key)) {
    AlarmState.SleepTime = NextSleepTime(AlarmState.SleepTime);
    ShowSleepTime();
  } else if (IsScreenOutputKey(key)) {
    AlarmState.ScreenOutput = !AlarmState.ScreenOutput;
    ShowScreenOutput();
  } else if (IsPasswordCheckingKey(key)) {
    if (!AlarmState.PasswordSet) return;
    AlarmState.PasswordChecking = !AlarmState.PasswordChecking;
    ShowPasswordChecking();
  } else if (key >= '1' && key <= '5') {
    AlarmState.SleepTime = SleepTimes[key - '1'];
    ShowSleepTime();
  } else if (key == KeyEsc) {
    AlarmState.AbortWait = true;
  }
}

void HandleRingingKey(uint8_t key) {
  // No scan code counts while ringing, Alt+X included: the alarm cannot be
  // quit, only stopped.
  if (AlarmState.PrevKey == 0) return;
  if (key == KeyEsc) {
    if (!AlarmState.PasswordChecking) {
      AlarmState.AbortWait = true;
    } else if (!AlarmState.PromptOpen) {
      OpenPrompt();
    }
    return;
  }
  if (!AlarmState.PromptOpen) return;
  if (key == KeyEnter) {
    if (PasswordMatches()) {
      AlarmState.AbortWait = true;
    } else {
      RejectPassword();
    }
  } else {
    EditPasswordField(AlarmState.TypedPassword, key);
  }
}

void WaitingPass() {
  if (AlarmState.Ringing) {
    Tone(AlarmFrequency, AlarmToneLength, AlarmState.Platform);
  } else {
    FollowClock();
  }
  Delay(AlarmState.SleepTime);
  // Every key that came in during the sleep is handled now, in order, even
  // after one of them has finished the alarm.
  while (KeyPressed()) {
    AlarmState.Key = ReadKey();
    if (AlarmState.Ringing) {
      HandleRingingKey(AlarmState.Key);
    } else {
      HandleWaitingKey(AlarmState.Key);
    }
    AlarmState.PrevKey = AlarmState.Key;
  }
}

void RunWaitingPhase() {
  DrawStatusScreen();
  SetTitle("waiting...");
  SetPriorityClass(AlarmState.ProcessHandle, IDLE_PRIORITY_CLASS);
  AlarmState.AbortWait = false;
  AlarmState.ScreenOutput = true;
  AlarmState.Ringing = false;
  PassReading = NoReading;
  TextColor(15);
  // The computer stays awake while the alarm is set.  Esc, the password and
  // the Esc that stops the ringing let it sleep again below; every other way
  // out (Alt+X, the console closed, the session ending) ends the process,
  // which takes its execution state and its wake timer with it.
  StayAwake(AlarmState.AlarmHour, AlarmState.AlarmMinute);
  do {
    WaitingPass();
  } while (!AlarmState.AbortWait);
  AllowSleep();
}
