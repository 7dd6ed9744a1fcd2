// Sound for the terminal stand-in: Beep and MessageBeep, and the steps that
// the rest of the stand-in takes on the way out.
//
// Beep chooses its device once, at the first call: the sound card through
// ALSA's "default" PCM, else the PC speaker, else the terminal bell.  It
// always returns only when its duration has passed on the monotonic clock.
#pragma once

#include <chrono>

namespace sound {

enum class Device { Undecided, SoundCard, Speaker, ConsoleSpeaker, Bell };

// The device the first Beep chose (Undecided before it); it changes later
// only if the chosen device fails, to the next one down.
Device ActiveDevice();

// Stops any sound, ends the sound card's writer thread and closes the
// devices; the next Beep chooses afresh.  Registered with atexit() at the
// first Beep; call it yourself before leaving by _exit() or exec.
void Shutdown();

// Switches the PC speaker off and nothing else: async-signal-safe, for a
// fatal-signal handler.  (The sound card stops with the process anyway; the
// speaker would go on sounding.)
void SilenceSpeaker() noexcept;

// For the tests: how long the sound card's stream goes on after the last
// tone before it is stopped, and whether its writer thread is running.
void SetIdleStopForTesting(std::chrono::milliseconds idle);
bool SoundCardStreamingForTesting();

}  // namespace sound
