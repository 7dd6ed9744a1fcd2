// The tone of app/speaker_tone.cpp: on the Windows 95 family the program
// drives the PC speaker through the interval timer and the speaker gate; the
// port writes are read back as what the hardware would do.
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/speaker_tone.h"
#include "tests/app/app_test_support.h"

namespace {

// What the speaker did over the port writes: the pitch it sounded at while
// both gate bits were set (0: never on), and port 0x61 at the end.  The timer
// divides only in the square-wave mode (0xB6), which a speaker found on has.
using Heard = std::pair<unsigned, unsigned>;

Heard Listen(unsigned gate) {
  unsigned divisor = 0;
  unsigned hertz = 0;
  bool highNext = false;  // the timer takes the divisor low byte, then high
  unsigned mode = (gate & 3) == 3 ? 0xB6 : 0;
  for (const std::string& line : testend::CallsStarting({"out "})) {
    char* end = nullptr;
    const unsigned long port = std::strtoul(line.c_str() + 4, &end, 10);
    const unsigned value = static_cast<unsigned>(std::strtoul(end + 1, nullptr, 10));
    if (port == 0x43) mode = value, highNext = false;
    if (port == 0x42) {
      divisor = highNext ? (divisor & 0xFF) | value << 8 : (divisor & 0xFF00) | value;
      highNext = !highNext;
    }
    if (port == 0x61) gate = value;
    if ((gate & 3) == 3 && divisor != 0 && !highNext && mode == 0xB6) hertz = 1193181 / divisor;
  }
  return Heard{hertz, gate};
}

using SpeakerToneTest = AppTest;

// Found off, the speaker is switched on at the tone's pitch (2000 Hz is a
// divisor of 596, 2001.98 Hz) and off again after the tone, the other bits of
// the port as they were; found on, it is only given the pitch.  Found half
// on, the gate is left as it is, so it stays silent.  A pitch the timer
// cannot divide to (below 19 Hz) programs nothing.  On the NT family the tone
// is Beep.
TEST_F(SpeakerToneTest, TheSpeakerSoundsForTheToneOnly) {
  constexpr DWORD Nt = VER_PLATFORM_WIN32_NT;
  constexpr DWORD Win95 = VER_PLATFORM_WIN32_WINDOWS;
  // The platform, the gate found, the pitch asked, what the speaker did.
  for (const auto& [platform, before, frequency, heard] :
       {std::tuple{Win95, 0xFCu, 2000, Heard{2001, 0xFC}},
        {Win95, 0x03u, 2000, Heard{2001, 0}},
        {Win95, 0x01u, 2000, Heard{0, 0}},
        {Win95, 0x00u, 19, Heard{19, 0}},
        {Win95, 0x00u, 18, Heard{0, 0}},
        {Nt, 0x03u, 2000, Heard{0, 0x03}}}) {
    SCOPED_TRACE(testing::Message() << platform << ": " << before << ", " << frequency << " Hz");
    StartApp({.Platform = platform});
    PortWriteByte(0x61, static_cast<uint8_t>(before));
    Tone(static_cast<uint16_t>(frequency), 100, static_cast<uint8_t>(platform));
    EXPECT_EQ(testend::NowMs(), 100u);
    EXPECT_EQ(Listen(before), heard);
    EXPECT_EQ(testend::CallsStarting({"Beep"}),
              std::vector<std::string>(platform == Nt, "Beep 2000,100"));
  }
}

}  // namespace
