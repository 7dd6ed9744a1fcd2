// The tone of app/speaker_tone.cpp: on the Windows 95 family the program
// drives the PC speaker through the interval timer and the speaker gate; the
// port writes are read back as what the hardware would do.
#include <cstdio>
#include <string>

#include "app/speaker_tone.h"
#include "tests/app/app_test_support.h"

namespace {

// What the speaker did over the port writes: the pitch it sounded at while
// both gate bits were set (0: never on), and port 0x61 at the end.
struct Heard {
  unsigned Hertz;
  uint8_t GateAfter;
  bool operator==(const Heard&) const = default;
};

Heard Listen(uint8_t gate) {
  unsigned divisor = 0;
  unsigned hertz = 0;
  bool highNext = false;  // the timer takes the divisor low byte, then high
  for (const std::string& line : testend::PortLog()) {
    unsigned port = 0;
    unsigned value = 0;
    if (std::sscanf(line.c_str(), "out %x %x", &port, &value) != 2) continue;
    if (port == 0x43) highNext = false;
    if (port == 0x42) {
      divisor = highNext ? (divisor & 0xFF) | value << 8 : (divisor & 0xFF00) | value;
      highNext = !highNext;
    }
    if (port == 0x61) gate = static_cast<uint8_t>(value);
    if ((gate & 3) == 3 && divisor != 0 && !highNext) hertz = 1193181 / divisor;
  }
  return Heard{hertz, gate};
}

struct ToneRow {
  const char* Name;
  uint8_t GateBefore;
  unsigned Frequency;
  Heard Expected;
};
using SpeakerToneRows = AppTable<ToneRow>;

// Found off, the speaker is switched on at the tone's pitch (2000 Hz is a
// divisor of 596, 2001.98 Hz) and off again after the tone, the other bits of
// the port as they were; found on, it is only given the pitch.  Found half
// on, the gate is left as it is, so it stays silent.  A pitch the timer
// cannot divide to programs nothing.
TEST_P(SpeakerToneRows, TheSpeakerSoundsForTheToneOnly) {
  const ToneRow& row = GetParam();
  StartApp({.Platform = VER_PLATFORM_WIN32_WINDOWS});
  testend::SetPort61(row.GateBefore);
  const uint64_t start = testend::NowMs();
  Tone(static_cast<uint16_t>(row.Frequency), 100, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_EQ(testend::NowMs() - start, 100u);
  EXPECT_EQ(Listen(row.GateBefore), row.Expected);
  EXPECT_TRUE(testend::Beeps().empty());
}

INSTANTIATE_TEST_SUITE_P(Windows95, SpeakerToneRows,
                         ::testing::Values(ToneRow{"FoundOff", 0xFC, 2000, {2001, 0xFC}},
                                           ToneRow{"FoundOn", 0x03, 2000, {2001, 0x00}},
                                           ToneRow{"FoundHalfOn", 0x01, 2000, {0, 0x00}},
                                           ToneRow{"TooLowForTheTimer", 0x00, 18, {0, 0x00}}),
                         RowName());

using SpeakerToneTest = AppTest;

TEST_F(SpeakerToneTest, ElsewhereTheToneIsBeep) {
  Tone(2000, 100, VER_PLATFORM_WIN32_NT);
  ASSERT_EQ(testend::Beeps().size(), 1u);
  EXPECT_EQ(testend::Beeps()[0].Frequency * 1000 + testend::Beeps()[0].Duration, 2000100u);
  EXPECT_TRUE(testend::PortLog().empty());
}

}  // namespace
