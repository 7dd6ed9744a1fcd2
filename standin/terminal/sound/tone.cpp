#include "standin/terminal/sound/tone.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "standin/terminal/sound/alsa.h"
#include "standin/terminal/sound/speaker.h"

namespace sound {

namespace {

// Tones one at a time; the chosen device is kept under it as well.
std::timed_mutex& ToneMutex() {
  static std::timed_mutex* const Mutex = new std::timed_mutex;
  return *Mutex;
}

// Longer than any tone of the ringing alarm, short enough not to hold up an
// exit noticeably.
constexpr std::chrono::milliseconds ShutdownPatience{300};

std::atomic<Device> Chosen{Device::Undecided};

// Set on the way out: the program's thread may still be ringing meanwhile,
// and a tone it started now would outlive the exit step (the speaker's input
// device sounding on after the process is gone), so none starts.
std::atomic<bool> Ending{false};

// A card that opens but will not play is asked again only after a pause, not
// at every tone of a ringing alarm.  Under the tone lock.
constexpr std::chrono::seconds CardRetryPause{30};
bool CardFailed = false;
Clock::time_point CardFailedAt{};

// The first usable device at or below `from` in the order PC speaker, bell
// (the sound card is asked before, see Play).  The bell is always there.
Device Probe(Device from) {
  if (from == Device::Speaker || from == Device::ConsoleSpeaker) {
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
  return failed == Device::SoundCard || failed == Device::Undecided ? Device::Speaker
                                                                    : Device::Bell;
}

// Sounds one tone on `device`; false when the device has failed (or is the
// bell), in which case nothing was waited for.
bool SoundOn(Device device, uint32_t frequency, uint32_t millis, Clock::time_point call) {
  switch (device) {
    case Device::SoundCard: {
      const std::optional<Clock::time_point> end = alsa::Play(frequency, millis, call);
      if (!end) return false;
      std::this_thread::sleep_until(*end);
      return true;
    }
    case Device::Speaker:
    case Device::ConsoleSpeaker:
      if (!speaker::Start(frequency, millis)) return false;
      std::this_thread::sleep_until(call + std::chrono::milliseconds(millis));
      speaker::Stop();
      return true;
    case Device::Bell:
    case Device::Undecided:
      break;
  }
  return false;
}

}  // namespace

bool Play(uint32_t frequency, uint32_t millis, Clock::time_point call) {
  std::lock_guard lock(ToneMutex());
  if (Ending.load()) {
    std::this_thread::sleep_until(call + std::chrono::milliseconds(millis));
    return true;
  }
  Device device = Chosen.load();
  // The sound card is asked again whenever it is not the device: its open
  // may have finished late (a sound server that was stuck), or it may be
  // back.  It never makes a tone wait twice for a device that hangs, and
  // paces its own retries.
  const bool cardRested = !CardFailed || Clock::now() - CardFailedAt >= CardRetryPause;
  if (device != Device::SoundCard && cardRested && alsa::Open()) {
    device = Device::SoundCard;
  } else if (device == Device::Undecided) {
    device = Probe(Device::Speaker);
  }
  Chosen.store(device);
  bool reopened = false;
  while (device != Device::Bell && !SoundOn(device, frequency, millis, call)) {
    if (device == Device::SoundCard) {
      // A suspend and resume, a restarted sound server or a replugged
      // headset leave the stream unusable but the card there: open it once
      // more before settling for less.
      alsa::Close();
      if (!reopened && alsa::Open()) {
        reopened = true;
        continue;
      }
      CardFailed = true;
      CardFailedAt = Clock::now();
    }
    device = Probe(NextDown(device));
    Chosen.store(device);
  }
  return device != Device::Bell;
}

Device ActiveDevice() {
  return Chosen.load();
}

void Shutdown() {
  // A tone may be under way on another thread (the program's, while the
  // signal thread leaves): without the lock, switch the speaker off and
  // leave the rest to the process's end.
  std::unique_lock lock(ToneMutex(), ShutdownPatience);
  if (!lock.owns_lock()) {
    speaker::Stop();
    return;
  }
  speaker::Close();
  alsa::Close();
  Chosen.store(Device::Undecided);
  CardFailed = false;
}

void EndForGood() {
  Ending.store(true);
  Shutdown();
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
