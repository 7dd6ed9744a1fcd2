// The devices a PC speaker can be sounded through, for the tests (see
// fake_devices.cpp): the controlling terminal and the input event devices.
#pragma once

#include <string>
#include <vector>

namespace fakedevices {

struct InputDevice {
  std::string Path;         // under /dev/input/
  bool PlaysTones = false;  // has EV_SND/SND_TONE
  bool OpenFails = false;
  bool Answers = true;  // EVIOCGBIT answers (not every device is an event device)
};

struct Devices {
  bool Tty = true;                   // a controlling terminal to open
  bool VirtualConsole = false;       // it answers KDGKBTYPE
  bool ConsoleRefusesSound = false;  // KIOCSOUND fails (no permission)
  std::vector<InputDevice> Inputs{};
  bool ShortWrites = false;  // an input device takes part of a write
  // What the program did: "open PATH FLAGS", "KDGKBTYPE", "KIOCSOUND n",
  // "KDMKTONE ms divisor", "EVIOCGBIT", "event type code value".
  std::vector<std::string> Log{};
};

// Fakes only the paths above; every other path and descriptor is the
// system's.
void Set(const Devices& devices);
Devices Get();
// Whether the descriptor the program opened for a path is still open.
bool StillOpen(const std::string& path);

}  // namespace fakedevices
