// The waiting and ringing cycle: the polling loop that follows the clock,
// rings at the alarm minute and takes the keyboard commands of both states,
// including the password that stops a ringing alarm.
#pragma once

#include <cstdint>

// Draws the waiting screen and runs passes until the alarm is finished
// (AbortWait), keeping the computer awake meanwhile; Alt+X while waiting ends
// the process instead.
void RunWaitingPhase();

// One pass of the loop: a tone or a clock reading, the sleep, then every
// key waiting in the queue.
void WaitingPass();
void HandleWaitingKey(uint8_t key);
void HandleRingingKey(uint8_t key);
// Whether the sixteen positions typed at the prompt, fillers included, are
// the password's.
bool PasswordMatches();
