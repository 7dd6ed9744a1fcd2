// The PC speaker on Linux.
#include "standin/terminal/sound/speaker.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <string>
#include <vector>

#include <linux/input.h>
#include <linux/kd.h>

#include "win32/speaker_ports.h"

namespace sound::speaker {

namespace {

// Both are read by Stop(), which may run in a signal handler; lock-free
// atomics are safe there.
std::atomic<int> SpeakerFd{-1};
std::atomic<Kind> SpeakerKind{Kind::None};

std::vector<std::string> Glob(const char* pattern) {
  std::vector<std::string> paths;
  glob_t found{};
  if (glob(pattern, 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
  }
  globfree(&found);
  return paths;
}

bool CanPlayTones(int fd) {
  constexpr size_t BitsPerLong = sizeof(unsigned long) * CHAR_BIT;
  unsigned long bits[(SND_MAX + BitsPerLong) / BitsPerLong] = {};
  if (ioctl(fd, EVIOCGBIT(EV_SND, sizeof(bits)), bits) < 0) return false;
  return ((bits[SND_TONE / BitsPerLong] >> (SND_TONE % BitsPerLong)) & 1UL) != 0;
}

// The kernel's pcspkr driver is an input device that takes EV_SND/SND_TONE
// events; udev names it .../by-path/*-event-spkr.  Other event devices are
// asked for the capability too, in case the link is missing.
int OpenInputSpeaker() {
  std::vector<std::string> candidates = Glob("/dev/input/by-path/*-event-spkr");
  for (std::string& path : Glob("/dev/input/event*")) candidates.push_back(std::move(path));
  for (const std::string& path : candidates) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    if (CanPlayTones(fd)) return fd;
    close(fd);
  }
  return -1;
}

// The tone ioctls work on a Linux virtual console, for the process whose
// controlling terminal it is.  KDGKBTYPE answers only on a virtual console;
// switching the sound off is the harmless test of the permission.
int OpenConsoleSpeaker() {
  const int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  char keyboardType = 0;
  if (ioctl(fd, KDGKBTYPE, &keyboardType) == 0 && ioctl(fd, KIOCSOUND, 0UL) == 0) return fd;
  close(fd);
  return -1;
}

bool SendTone(int fd, uint32_t frequency) noexcept {
  input_event events[2] = {};
  events[0].type = EV_SND;
  events[0].code = SND_TONE;
  events[0].value = static_cast<int>(frequency);
  events[1].type = EV_SYN;
  events[1].code = SYN_REPORT;
  return write(fd, events, sizeof(events)) == static_cast<ssize_t>(sizeof(events));
}

}  // namespace

Kind Open() {
  if (SpeakerKind.load() != Kind::None) return SpeakerKind.load();
  // On a virtual console the tone ioctl comes first: it drives the same
  // speaker, and its tones stop by themselves, also when the process is
  // stopped or killed in the middle of one.
  int fd = OpenConsoleSpeaker();
  Kind kind = Kind::Console;
  if (fd < 0) {
    fd = OpenInputSpeaker();
    kind = Kind::InputDevice;
  }
  if (fd < 0) return Kind::None;
  SpeakerFd.store(fd);
  SpeakerKind.store(kind);
  return kind;
}

bool Start(uint32_t frequency, uint32_t millis) {
  const int fd = SpeakerFd.load();
  if (fd < 0 || frequency == 0) return false;
  switch (SpeakerKind.load()) {
    case Kind::InputDevice:
      return SendTone(fd, frequency);
    case Kind::Console: {
      // The divisor is 16 bits wide; Beep lets no frequency below 37 Hz
      // through, which keeps it in range.
      const unsigned long divisor = std::min<unsigned long>(TimerClockHz / frequency, 0xFFFF);
      // KDMKTONE switches itself off after its duration (up to 65535 ms), so
      // even a killed process leaves no endless whistle behind.
      if (millis <= 0xFFFF)
        return ioctl(fd, KDMKTONE, (static_cast<unsigned long>(millis) << 16) | divisor) == 0;
      return ioctl(fd, KIOCSOUND, divisor) == 0;
    }
    case Kind::None:
      break;
  }
  return false;
}

void Stop() noexcept {
  const int fd = SpeakerFd.load();
  if (fd < 0) return;
  switch (SpeakerKind.load()) {
    case Kind::InputDevice:
      SendTone(fd, 0);
      break;
    case Kind::Console:
      ioctl(fd, KIOCSOUND, 0UL);
      break;
    case Kind::None:
      break;
  }
}

void Close() {
  Stop();
  const int fd = SpeakerFd.exchange(-1);
  SpeakerKind.store(Kind::None);
  if (fd >= 0) close(fd);
}

}  // namespace sound::speaker
