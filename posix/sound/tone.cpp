// Beep and MessageBeep on a POSIX system.
#include "posix/sound/tone.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "console/win32.h"
#include "posix/session/exit.h"
#include "posix/session/session.h"
#include "posix/sound/alsa.h"
#include "posix/sound/speaker.h"
#include "posix/sound/synth.h"

namespace sound {

namespace {

// The frequencies Beep accepts on Windows; others fail without a sound.
constexpr DWORD LowestFrequency = 37;
constexpr DWORD HighestFrequency = 32767;

// Beeps one at a time; the chosen device is kept under it as well.
std::timed_mutex& BeepMutex() {
  static std::timed_mutex* const Mutex = new std::timed_mutex;
  return *Mutex;
}

// Longer than any tone of the ringing alarm, short enough not to hold up an
// exit noticeably.
constexpr std::chrono::milliseconds ShutdownPatience{300};

std::atomic<Device> Chosen{Device::Undecided};
bool ExitStepRegistered = false;
// Set by the exit step: the process is on its way out, and the program's
// thread may still be ringing meanwhile.  A tone it started now would
// outlive the step (the speaker's input device sounding on after the
// process is gone), so none starts.
std::atomic<bool> Ending{false};

void ExitStep() {
  Ending.store(true);
  Shutdown();
}

// The first usable device at or below `from` in the order sound card, PC
// speaker, bell.  The bell is always there.
Device Probe(Device from) {
  if (from == Device::SoundCard && alsa::Open()) return Device::SoundCard;
  if (from == Device::SoundCard || from == Device::Speaker || from == Device::ConsoleSpeaker) {
    switch (speaker::Open()) {
      case speaker::Kind::InputDevice:
        return Device::Speaker;
      case speaker::Kind::Console:
        return Device::ConsoleSpeaker;
      case speaker::Kind::None:
        break;
    }
  }
  return Device::Bell;
}

// The device below a failed one.
Device NextDown(Device failed) {
  switch (failed) {
    case Device::Undecided:
    case Device::SoundCard:
      return Device::Speaker;
    case Device::Speaker:
    case Device::ConsoleSpeaker:
    case Device::Bell:
      break;
  }
  return Device::Bell;
}

void SleepUntil(Clock::time_point until) {
  std::this_thread::sleep_until(until);
}

// Sounds one tone on `device`; false when the device has failed, in which
// case nothing was waited for.
bool SoundOn(Device device, DWORD frequency, DWORD millis, Clock::time_point call) {
  const auto until = call + std::chrono::milliseconds(millis);
  switch (device) {
    case Device::SoundCard: {
      const std::optional<Clock::time_point> end = alsa::Play(frequency, millis, call);
      if (!end) return false;
      SleepUntil(*end);
      return true;
    }
    case Device::Speaker:
    case Device::ConsoleSpeaker:
      if (!speaker::Start(frequency, millis)) return false;
      SleepUntil(until);
      speaker::Stop();
      return true;
    case Device::Bell:
    case Device::Undecided:
      break;
  }
  // A terminal bell has no pitch and no length of its own: one ring per
  // tone, and the caller waits out the duration as with a real tone.
  session::RingBell();
  SleepUntil(until);
  return true;
}

}  // namespace

Device ActiveDevice() {
  return Chosen.load();
}

void Shutdown() {
  // An exit step may run while a Beep is under way on another thread, or
  // (wrongly, but it must not hang) on the very thread inside Beep.  Without
  // the lock, switch the speaker off and leave the rest to the process's end.
  std::unique_lock lock(BeepMutex(), ShutdownPatience);
  if (!lock.owns_lock()) {
    speaker::Stop();
    return;
  }
  speaker::Close();
  alsa::Close();
  Chosen.store(Device::Undecided);
}

void SilenceSpeaker() noexcept {
  speaker::Stop();
}

void SetIdleStopForTesting(std::chrono::milliseconds idle) {
  alsa::SetIdleStop(idle);
}

bool SoundCardStreamingForTesting() {
  return alsa::Streaming();
}

}  // namespace sound

BOOL WINAPI Beep(DWORD dwFreq, DWORD dwDuration) {
  using sound::Device;
  const sound::Clock::time_point call = sound::Clock::now();
  if (dwFreq < sound::LowestFrequency || dwFreq > sound::HighestFrequency) return FALSE;
  if (dwDuration == 0) return TRUE;

  std::unique_lock lock(sound::BeepMutex());
  if (sound::Ending.load()) {
    lock.unlock();
    sound::SleepUntil(call + std::chrono::milliseconds(dwDuration));
    return TRUE;
  }
  Device device = sound::Chosen.load();
  if (device == Device::Undecided) {
    if (!sound::ExitStepRegistered) {
      // The speaker must not be left sounding.  The terminal's exit steps
      // cover its ways out; atexit() covers a process that never took the
      // terminal over.  Shutdown() may run twice.
      session::AtTerminalExit(sound::ExitStep);
      std::atexit(sound::ExitStep);
      sound::ExitStepRegistered = true;
    }
    device = sound::Probe(Device::SoundCard);
    sound::Chosen.store(device);
  }
  bool reopened = false;
  while (!sound::SoundOn(device, dwFreq, dwDuration, call)) {
    if (device == Device::SoundCard) {
      // A suspend and resume, a restarted sound server or a replugged
      // headset leave the stream unusable but the card there: open it once
      // more before settling for less.
      sound::alsa::Close();
      if (!reopened && sound::alsa::Open()) {
        reopened = true;
        continue;
      }
    }
    device = sound::Probe(sound::NextDown(device));
    sound::Chosen.store(device);
  }
  return TRUE;
}

BOOL WINAPI MessageBeep(UINT /*uType*/) {
  session::RingBell();
  return TRUE;
}
