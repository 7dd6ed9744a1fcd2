// The PC speaker (standin/terminal/sound/speaker.cpp) on the test devices:
// which speaker is found and how it is probed, and the tones each one is
// given; and the tone (tone.cpp) falling to it from the test sound card.
#include "standin/terminal/sound/speaker.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "standin/terminal/sound/tone.h"
#include "tests/fake/fake_asound.h"
#include "tests/fake/fake_devices.h"

namespace {

using namespace std::chrono_literals;
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

// Where the sound card does not sound, the tone goes to the PC speaker
// (switched off once its length has passed, which the caller waits out),
// and where the speaker refuses too, or there is none, to the terminal's
// bell, for good; a card that opens but will not play gives way to the
// speaker as well.
TEST(ToneTest, WithoutASoundCardTheSpeakerSoundsAndThenTheBell) {
  struct Row {
    const char* Name;
    fakeasound::Card Card;
    fakedevices::Devices Devices;
    bool Sounded;
    sound::Device Chosen;
    Log Did;
  };
  const std::string on = "event 18 2 ";      // EV_SND, SND_TONE
  const std::string report = "event 0 0 0";  // EV_SYN, SYN_REPORT
  const std::vector<Row> rows = {
      {"the console",
       {.Absent = true},
       {.VirtualConsole = true},
       true,
       sound::Device::ConsoleSpeaker,
       {TtyOpen, "KDGKBTYPE", "KIOCSOUND 0", "KDMKTONE 20 596", "KIOCSOUND 0"}},
      {"a card that will not play, then the console",
       {.Broken = true},
       {.VirtualConsole = true},
       true,
       sound::Device::ConsoleSpeaker,
       {TtyOpen, "KDGKBTYPE", "KIOCSOUND 0", "KDMKTONE 20 596", "KIOCSOUND 0"}},
      {"the input device",
       {.Absent = true},
       {.Inputs = {{Spkr, true}}},
       true,
       sound::Device::Speaker,
       {TtyOpen, "KDGKBTYPE", InputOpen(Spkr), "EVIOCGBIT", on + "2000", report, on + "0", report}},
      {"an input device that refuses the tone",
       {.Absent = true},
       {.Inputs = {{Spkr, true}}, .ShortWrites = true},
       false,
       sound::Device::Bell,
       {TtyOpen, "KDGKBTYPE", InputOpen(Spkr), "EVIOCGBIT", on + "2000", report}},
      {"no speaker", {.Absent = true}, {.Tty = false}, false, sound::Device::Bell, {TtyOpen}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    sound::Shutdown();
    fakeasound::Set(row.Card);
    fakedevices::Set(row.Devices);
    for (int tone = 0; tone < 2; ++tone) {
      const auto call = std::chrono::steady_clock::now();
      EXPECT_EQ(sound::Play(2000, 20, call), row.Sounded);
      if (row.Sounded) {
        EXPECT_GE(std::chrono::steady_clock::now() - call, 20ms) << "waited out";
      }
      EXPECT_EQ(sound::ActiveDevice(), row.Chosen);
      if (tone == 0) {
        EXPECT_EQ(fakedevices::Get().Log, row.Did);
      }
    }
  }
  sound::Shutdown();
}

// A tone under way on another thread: the speaker can be switched off at
// once (a fatal signal's handler), and a shutdown that cannot wait for the
// tone switches it off; one that can closes it.
TEST(ToneTest, TheSpeakerIsSilencedWhileATonePlays) {
  const std::string off = "event 18 2 0";
  for (const bool signal : {true, false}) {
    SCOPED_TRACE(signal ? "silenced" : "shut down");
    sound::Shutdown();
    fakeasound::Set({.Absent = true});
    fakedevices::Set({.Inputs = {{Spkr, true}}});
    std::thread ringing([] { sound::Play(2000, 1000, std::chrono::steady_clock::now()); });
    const auto sounding = [] {
      const Log log = fakedevices::Get().Log;
      return std::find(log.begin(), log.end(), "event 18 2 2000") != log.end();
    };
    for (int wait = 0; wait < 2000 && !sounding(); ++wait) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(sounding()) << "no tone on the speaker";
    const size_t before = fakedevices::Get().Log.size();
    if (signal) {
      sound::SilenceSpeaker();
    } else {
      sound::Shutdown();  // gives up on the tone's lock after 300 ms
    }
    const Log since = Since(before);
    EXPECT_NE(std::find(since.begin(), since.end(), off), since.end());
    ringing.join();
  }
  sound::Shutdown();
  EXPECT_FALSE(fakedevices::StillOpen(Spkr)) << "closed";
}

}  // namespace
