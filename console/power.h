// Keeping the computer awake for a pending alarm: an alarm on a machine that
// the power manager puts to sleep while it waits would not ring.  On the NT
// family the system is marked as needed for as long as the alarm is set, and
// a timer due at the alarm minute wakes a machine that went to sleep anyway
// (the lid closed, the user's Sleep), where its power settings allow wake
// timers.
#pragma once

#include <cstdint>

// From now until AllowSleep: the system is needed, and a wake timer is due at
// the next hour:minute of the local clock (this very minute counts as next).
// Asked again, the timer moves to the new minute.
void StayAwake(int32_t hour, int32_t minute);
// The system may sleep again; the wake timer is cancelled.
void AllowSleep();

// Lets go, and forgets the functions looked up and the timer (test
// fixtures).
void ResetPower();
