// The tone through the sound card (ALSA's "default" PCM).  alsa.cpp
// implements it over libasound; in a build without libasound,
// alsa_none.cpp answers that there is no sound card.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "standin/terminal/sound/synth.h"

namespace sound::alsa {

// Whether this build has libasound at all.
bool Compiled();

// Opens and sets up the "default" PCM; once it is open, later calls answer
// from memory.  The open runs on a thread of its own and is waited for at
// most a quarter of a second: false when there is no usable device, and
// also while an open that took longer is still under way (a hung sound
// server); a later call takes its result.  After a failure the next attempt
// waits half a minute.  Nothing is printed either way.
bool Open();

// Puts a tone on the stream, starting the writer thread when it is idle, and
// returns the moment the caller may return (see Timeline::ReturnTime).
// Empty when the stream has failed for good: the caller should fall back.
std::optional<Clock::time_point> Play(uint32_t frequency, uint32_t millis, Clock::time_point call);

// Stops the writer and closes the device; the next Open() starts afresh.
// Takes at most a quarter of a second: a device stuck in a write (a hung
// sound server) is left to itself, open, and a new one is opened next time.
void Close();

// Whether the writer thread is running (it stops itself once the stream
// has been silent for the idle time).
bool Streaming();

// How long the stream keeps going after the last tone before the writer
// stops and the device is stopped.
void SetIdleStop(std::chrono::milliseconds idle);

}  // namespace sound::alsa
