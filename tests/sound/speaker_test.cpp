// The PC speaker (standin/terminal/sound/speaker.cpp) on the test devices:
// which speaker is found and how it is probed, and the tones each one is
// given.
#include "standin/terminal/sound/speaker.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake/fake_devices.h"

namespace {

using sound::speaker::Kind;
using Log = std::vector<std::string>;

const std::string Spkr = "/dev/input/by-path/platform-pcspkr-event-spkr";
const std::string TtyOpen = "open /dev/tty " + std::to_string(O_WRONLY | O_NOCTTY | O_CLOEXEC);
std::string InputOpen(const std::string& path) {
  return "open " + path + " " + std::to_string(O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

// What the program did since the log held `from` entries.
Log Since(size_t from) {
  const Log log = fakedevices::Get().Log;
  return {log.begin() + static_cast<std::ptrdiff_t>(std::min(from, log.size())), log.end()};
}

// The console's tone ioctls come first, probed by switching the sound off;
// a console without them or without permission gives way to the kernel's
// speaker input device, by its name or else by asking every event device.
// Only the device found stays open, and a second look asks nothing.
TEST(SpeakerTest, TheSpeakerFoundIsTheFirstThatMaySound) {
  struct Row {
    const char* Name;
    fakedevices::Devices Devices;
    Kind Found;
    std::string Kept;  // the path left open
    Log Probed;
  };
  const std::vector<Row> rows = {
      {"a virtual console",
       {.VirtualConsole = true},
       Kind::Console,
       "/dev/tty",
       {TtyOpen, "KDGKBTYPE", "KIOCSOUND 0"}},
      {"a console without permission, then the speaker by its name",
       {.VirtualConsole = true,
        .ConsoleRefusesSound = true,
        .Inputs = {{"/dev/input/event0", true}, {Spkr, true}}},
       Kind::InputDevice,
       Spkr,
       {TtyOpen, "KDGKBTYPE", "KIOCSOUND 0", InputOpen(Spkr), "EVIOCGBIT"}},
      {"no virtual console, the speaker among the event devices",
       {.Inputs = {{"/dev/input/event0", false},
                   {"/dev/input/event1", true, true},
                   {"/dev/input/event2", true}}},
       Kind::InputDevice,
       "/dev/input/event2",
       {TtyOpen, "KDGKBTYPE", InputOpen("/dev/input/event0"), "EVIOCGBIT",
        InputOpen("/dev/input/event1"), InputOpen("/dev/input/event2"), "EVIOCGBIT"}},
      {"no terminal and no speaker",
       {.Tty = false,
        .Inputs = {{"/dev/input/event0", false}, {"/dev/input/event1", true, false, false}}},
       Kind::None,
       "",
       {TtyOpen, InputOpen("/dev/input/event0"), "EVIOCGBIT", InputOpen("/dev/input/event1"),
        "EVIOCGBIT"}},
  };
  for (const Row& row : rows) {
    sound::speaker::Close();
    fakedevices::Set(row.Devices);
    EXPECT_EQ(sound::speaker::Open(), row.Found) << row.Name;
    EXPECT_EQ(fakedevices::Get().Log, row.Probed) << row.Name;
    for (const std::string& path : {std::string("/dev/tty"), std::string("/dev/input/event0"), Spkr,
                                    std::string("/dev/input/event2")})
      EXPECT_EQ(fakedevices::StillOpen(path), path == row.Kept) << row.Name << ": " << path;
    const size_t probed = fakedevices::Get().Log.size();
    EXPECT_EQ(sound::speaker::Open(), row.Found) << row.Name;
    if (row.Found != Kind::None) {
      EXPECT_EQ(Since(probed), Log{}) << row.Name;
    }
  }
  sound::speaker::Close();
}

// The console's tone: KDMKTONE, which ends by itself, for any length it can
// hold, else KIOCSOUND; the timer's divisor held to 16 bits.  The input
// device's: a tone event and a report.  No pitch sounds nothing; a device
// that takes part of an event has refused it; a closed speaker sounds no
// more until it is found again.
TEST(SpeakerTest, EachSpeakerGetsItsTone) {
  struct Step {
    uint32_t Frequency;  // 0 stops
    uint32_t Millis;
    bool Started;
    Log Did;
  };
  struct Row {
    const char* Name;
    fakedevices::Devices Devices;
    std::vector<Step> Steps;
    Log Stop;
  };
  const std::string on = "event 18 2 ";      // EV_SND, SND_TONE
  const std::string report = "event 0 0 0";  // EV_SYN, SYN_REPORT
  const std::vector<Row> rows = {
      {"the console",
       {.VirtualConsole = true},
       {{2000, 500, true, {"KDMKTONE 500 596"}},
        {37, 65535, true, {"KDMKTONE 65535 32248"}},
        {2000, 65536, true, {"KIOCSOUND 596"}},
        {10, 100, true, {"KDMKTONE 100 65535"}},
        {0, 0, false, {"KIOCSOUND 0"}}},
       {"KIOCSOUND 0"}},
      {"the input device",
       {.Inputs = {{Spkr, true}}},
       {{2000, 500, true, {on + "2000", report}}, {0, 0, false, {on + "0", report}}},
       {on + "0", report}},
      {"an input device that takes part of an event",
       {.Inputs = {{Spkr, true}}, .ShortWrites = true},
       {{2000, 500, false, {on + "2000", report}}},
       {on + "0", report}},
  };
  for (const Row& row : rows) {
    sound::speaker::Close();
    fakedevices::Set(row.Devices);
    ASSERT_NE(sound::speaker::Open(), Kind::None) << row.Name;
    for (const Step& step : row.Steps) {
      const size_t before = fakedevices::Get().Log.size();
      if (step.Frequency == 0) {
        EXPECT_FALSE(sound::speaker::Start(0, 100)) << row.Name;
        sound::speaker::Stop();
      } else {
        EXPECT_EQ(sound::speaker::Start(step.Frequency, step.Millis), step.Started)
            << row.Name << " " << step.Frequency;
      }
      EXPECT_EQ(Since(before), step.Did) << row.Name << " " << step.Frequency;
    }
    const size_t before = fakedevices::Get().Log.size();
    sound::speaker::Close();
    EXPECT_EQ(Since(before), row.Stop) << row.Name << ": stopped as it closes";
    EXPECT_FALSE(fakedevices::StillOpen(row.Devices.Inputs.empty() ? "/dev/tty" : Spkr));
    EXPECT_FALSE(sound::speaker::Start(2000, 500)) << row.Name;
    sound::speaker::Stop();
    EXPECT_EQ(Since(before), row.Stop) << row.Name << ": closed";
  }
}

}  // namespace
