// The tone: the sound card through ALSA's "default" PCM, else the PC speaker.
// The device is chosen at the first tone and kept; a device that fails hands
// over to the next one down.  Where neither sounds, Play says so and the
// caller rings the terminal's bell instead.
#pragma once

#include <chrono>
#include <cstdint>

#include "standin/terminal/sound/synth.h"

namespace sound {

enum class Device { Undecided, SoundCard, Speaker, ConsoleSpeaker, Bell };

// Sounds `frequency` hertz for `millis` ms, asked for at `call`, and returns
// when it is time for the caller to go on (the tone's length after the
// call).  False at once, with nothing sounded, when no device is left: the
// bell's turn.
bool Play(uint32_t frequency, uint32_t millis, Clock::time_point call);

// The device the first tone chose (Undecided before it); it changes later
// only if the chosen device fails, to the next one down.
Device ActiveDevice();

// Stops any sound, ends the sound card's writer thread and closes the
// devices; the next tone chooses afresh.  Waits at most 300 ms for a tone
// under way on another thread; then it only silences the speaker.
void Shutdown();

// Shutdown, on the way out of the process: no tone sounds from now on (a
// call to Play only waits out its length).
void EndForGood();

// Switches the PC speaker off and nothing else: async-signal-safe, for a
// fatal-signal handler.  (The sound card stops with the process anyway; the
// speaker would go on sounding.)
void SilenceSpeaker() noexcept;

// For the tests: how long the sound card's stream goes on after the last
// tone before it is stopped, and whether its writer thread is running.
void SetIdleStopForTesting(std::chrono::milliseconds idle);
bool SoundCardStreamingForTesting();

}  // namespace sound
