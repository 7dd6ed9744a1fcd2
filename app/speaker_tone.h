// The alarm's tone: on the Windows 95 family (platform 1) the program drives
// the PC speaker itself, through the interval timer's channel 2 and the
// speaker gate; elsewhere it asks Beep.
#pragma once

#include <cstdint>

// Sounds the speaker for `duration` ms and returns when it has ended.
void Tone(uint16_t frequency, uint16_t duration, uint8_t platform);
