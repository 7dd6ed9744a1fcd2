// An alarm nobody answers for hours, on the in-memory console's virtual
// clock: the tone keeps its rhythm to the millisecond (a 100 ms tone every
// 150 ms, never drifting), keys that do not stop it change nothing, clock
// steps do not matter once it rings, and the password still stops it within
// one pass at the end.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/app_test_support.h"

namespace {

constexpr uint64_t Second = 1000;
constexpr uint64_t Hour = 3600 * Second;

using LongRingingTest = AppTest;

TEST_F(LongRingingTest, HoursOfRingingKeepTheRhythmAndStillStop) {
  struct Case {
    DWORD platform;
    const char* password;  // nullptr: ESC alone stops it
    uint64_t hours;
  };
  const Case cases[] = {
      {VER_PLATFORM_WIN32_NT, "wake", 4},
      {VER_PLATFORM_WIN32_NT, nullptr, 1},
      {VER_PLATFORM_WIN32_WINDOWS, "wake", 1},  // the speaker ports instead of Beep
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hours);
    StartApp({.Platform = c.platform, .Hour = 6, .Minute = 59, .Second = 59});
    Press(std::string("0700\r") + (c.password != nullptr ? c.password : "") + "\r");
    // It rings at the pass that reads 07:00:00, one second in.  Meanwhile:
    // keys that never stop it, a wrong password, clock steps either way.
    const uint64_t rings = Second;
    fake::PushAt(rings + Hour / 6, [] { Press("ts5p~x"); });
    // A wrong password (without one, the same keys with the prompt closed).
    fake::PushAt(rings + Hour / 2,
                 [&c] { Press(c.password != nullptr ? "\033nope\r" : "nope\r"); });
    fake::PushAt(rings + Hour / 2 + 1, [] { fake::StepClock(-static_cast<int64_t>(Hour)); });
    fake::PushAt(rings + Hour / 2 + 2, [] { fake::StepClock(static_cast<int64_t>(Hour)); });
    // The stop, and where the program must be just after it.
    const uint64_t stopAt = rings + c.hours * Hour;
    fake::PushAt(stopAt, [&c] {
      Press(c.password != nullptr ? "\033" + std::string(c.password) + "\r" : "\033");
    });
    std::string phaseAfter;
    fake::PushAt(stopAt + 200, [&phaseAfter] {
      phaseAfter = fake::Titles().back();
      fake::PushAltX();
    });
    UINT code = 99;
    EXPECT_EQ(RunApp(
                  [] {
                    for (;;) AlarmSequence();
                  },
                  &code),
              Outcome::Exited);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(phaseAfter, "Rousel - time input") << "the alarm did not stop";
    EXPECT_EQ(fake::PriorityClasses(), (std::vector<DWORD>{0x20, 0x40, 0x80, 0x20}));

    // Tones: from 50 ms after the ringing pass, one every 150 ms, until the
    // pass that read the stop.
    const uint64_t expected = (stopAt - rings - 50) / 150 + 1;
    if (c.platform == VER_PLATFORM_WIN32_WINDOWS) {
      // Each tone: gate on (read, write), timer mode, two divisor bytes,
      // gate off (read, write).
      EXPECT_EQ(fake::PortLog().size(), 7 * expected);
      EXPECT_TRUE(fake::Beeps().empty());
      continue;
    }
    const auto& beeps = fake::Beeps();
    ASSERT_EQ(beeps.size(), expected);
    size_t off = 0;
    for (size_t i = 0; i < beeps.size(); ++i) {
      if (beeps[i].Frequency != 2000 || beeps[i].Duration != 100 ||
          beeps[i].AtMs != rings + 50 + 150 * i) {
        ++off;
      }
    }
    EXPECT_EQ(off, 0u) << "tones out of rhythm";
  }
}

}  // namespace
