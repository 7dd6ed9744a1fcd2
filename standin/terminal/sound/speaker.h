// The PC speaker, where the system lets a user program sound it: the tone
// ioctls of the Linux virtual console, else the input device of the
// kernel's speaker driver (EV_SND/SND_TONE).
#pragma once

#include <cstdint>

namespace sound::speaker {

enum class Kind { None, InputDevice, Console };

// Looks for a speaker this process may sound, keeps it open, and says which
// one it found.  Nothing sounds while probing.
Kind Open();

// Switches the speaker on at `frequency` hertz; the caller switches it off
// with Stop() once `millis` milliseconds have passed (the console's tone
// also stops by itself then; the input device's does not).  False when the
// speaker refused.
bool Start(uint32_t frequency, uint32_t millis);

// Switches the speaker off.  Only write(2) and ioctl(2) on a descriptor kept
// in an atomic: safe to call from a signal handler.
void Stop() noexcept;

// Stop() and close the device; Open() probes afresh.
void Close();

}  // namespace sound::speaker
