// The waiting screen: a panel with the alarm time, the current and remaining
// time, the sleep time and the two switches, then a short help text; and the
// routines that redraw one value of it in place.  Values come from
// AlarmState.  Labels and frames are light grey (7), values white (15).
#pragma once

#include <cstdint>
#include <string>

// Decimal text of n with a leading "0" below 10: 7 gives "07", 24 "24".
std::string TwoDigits(uint16_t n);
// HH:MM:SS at the cursor in the current colour; a whole day is 24:00:00.
void WriteDuration(int32_t seconds);

// Clears the console and draws the whole waiting screen.  The password row
// and its help line appear only while password checking is on.
void DrawStatusScreen();
void ShowSleepTime();
// Current time and RemainingSeconds, in the current colour (white).
void ShowTimes();
void ShowScreenOutput();
void ShowPasswordChecking();
