// The tone: samples and the frame clock checked by the numbers, and Beep
// checked end to end on the test sound card, sample by sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <span>
#include <thread>
#include <vector>

#include "console/win32.h"
#include "posix/sound/alsa.h"
#include "posix/sound/synth.h"
#include "posix/sound/tone.h"
#include "tests/fake/fake_asound.h"

namespace {

using namespace std::chrono_literals;
using sound::Clock;
using sound::FramesOf;
using sound::Timeline;
using sound::ToneSpan;

constexpr double Peak = sound::ToneLevel * 32767.0;

// Frequency from the first and last rising zero crossings, each placed
// between its two samples.
double MeasureFrequency(std::span<const int16_t> s, uint32_t rate) {
  std::vector<double> crossings;
  for (size_t i = 1; i < s.size(); ++i)
    if (s[i - 1] < 0 && s[i] >= 0)
      crossings.push_back(static_cast<double>(i - 1) + -s[i - 1] / double(s[i] - s[i - 1]));
  if (crossings.size() < 2) return 0.0;
  return static_cast<double>(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
}

TEST(ToneSamples, PitchLevelFadesAndSilenceAround) {
  struct Case {
    uint32_t Rate, Frequency, Millis;
    double Tolerance;  // relative; a tone that is all fade measures coarser
  };
  for (const Case c : {Case{48000, 2000, 100, 0.001}, Case{44100, 440, 250, 0.001},
                       Case{48000, 2000, 4, 0.01}, Case{48000, 24000, 100, -1}}) {
    SCOPED_TRACE(testing::Message() << c.Frequency << " Hz, " << c.Millis << " ms at " << c.Rate);
    const int64_t margin = 100;
    const int64_t frames = FramesOf(c.Millis, c.Rate);
    std::vector<int16_t> out(static_cast<size_t>(frames + 2 * margin), 1);
    sound::RenderFrames(out, 0, {ToneSpan{margin, frames, c.Frequency}}, c.Rate);
    const auto tone = std::span<const int16_t>(out).subspan(margin, static_cast<size_t>(frames));
    const auto silent = [](int16_t s) { return s == 0; };
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + margin, silent));
    EXPECT_TRUE(std::all_of(out.end() - margin, out.end(), silent));
    if (c.Tolerance < 0) {  // at or above half the rate: silence, not an alias
      EXPECT_TRUE(std::all_of(tone.begin(), tone.end(), silent));
      continue;
    }
    EXPECT_NEAR(MeasureFrequency(tone, c.Rate), c.Frequency, c.Frequency * c.Tolerance);
    int peak = 0;
    for (const int16_t s : tone) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_NEAR(peak, Peak, Peak * 0.01);
    // Faded at both ends, and no step steeper than the sine's own: no click.
    EXPECT_LT(std::abs(tone.front()), Peak * 0.05);
    EXPECT_LT(std::abs(tone.back()), Peak * 0.05);
    const double steepest = Peak * 2.0 * std::numbers::pi * c.Frequency / c.Rate;
    for (size_t i = 1; i < out.size(); ++i)
      ASSERT_LE(std::abs(out[i] - out[i - 1]), steepest * 1.05 + 1) << "at frame " << i;
  }
}

TEST(ToneSamples, RenderedPiecesAreTheToneSampleForSample) {
  // The writer's fast path against the sample formula: pieces starting in a
  // fade, in the body, on odd phases, reaching into the closing fade, and
  // days into a tone (2000 Hz at 48 kHz repeats every 24 frames exactly).
  struct Case {
    uint32_t Rate, Frequency;
    int64_t First, Frames;
  };
  const int64_t days = int64_t{3} * 86400 * 48000;
  for (const Case c : {Case{48000, 2000, 0, 4800}, Case{48000, 1600, 4477, 7500},
                       Case{44100, 440, 77, 20000}, Case{48000, 37, 5000, 600},
                       Case{48000, 23999, 10, 500}, Case{48000, 2000, days + 1013, 48}}) {
    const ToneSpan span{100, c.First < days ? 12000 : int64_t{1} << 42, c.Frequency};
    std::vector<int16_t> out(static_cast<size_t>(c.Frames));
    sound::RenderFrames(out, c.First, {span}, c.Rate);
    for (int64_t i = 0; i < c.Frames; ++i) {
      const int64_t k = c.First + i - span.Start;
      ASSERT_EQ(out[static_cast<size_t>(i)], sound::ToneSample(span, k, c.Rate))
          << c.Frequency << " Hz at " << c.Rate << ", frame " << c.First + i;
      if (c.First > days) {
        ASSERT_EQ(out[static_cast<size_t>(i)], sound::ToneSample(span, k - days, 48000));
      }
    }
  }
}

const Clock::time_point T0 = Clock::time_point(1000h);

TEST(ToneTimeline, FramesAndTimesRoundTrip) {
  for (const uint32_t rate : {48000U, 44100U}) {
    Timeline clock(rate, 960);
    clock.Start(T0);
    for (const int64_t frame :
         {int64_t{0}, int64_t{rate - 1}, -int64_t{rate} - 1, int64_t{3} * 86400 * rate + 7}) {
      EXPECT_EQ(clock.FrameAt(clock.TimeOf(frame)), frame) << frame << " at " << rate;
      EXPECT_EQ(clock.FrameAt(clock.TimeOf(frame) - 1ns), frame - 1) << frame << " at " << rate;
    }
  }
}

TEST(ToneTimeline, PlacesTonesAndReturnsOneLeadBeforeTheirEndIsHeard) {
  const int64_t lead = 960;
  const int64_t natural = FramesOf(150, 48000) + lead;  // for a call at 150 ms
  struct Case {
    const char* What;
    Clock::duration Call;  // after the stream's start
    int64_t Handed, PreviousEnd, Start;
  };
  for (const Case c :
       {Case{"writer on time", 150ms, natural - 100, 0, natural},
        Case{"writer held up by the device", 150ms, natural + 500, 0, natural + 500},
        Case{"tone before not over", 150ms, natural - 100, natural + 300, natural + 300},
        Case{"device took 30 ms to start", -30ms, 0, 0, 0}}) {
    Timeline clock(48000, lead);
    clock.Start(T0);
    clock.Advance(c.Handed);
    const int64_t start = clock.PlaceTone(T0 + c.Call, c.PreviousEnd);
    EXPECT_EQ(start, c.Start) << c.What;
    const Clock::time_point back = clock.ReturnTime(T0 + c.Call, start, 100);
    EXPECT_GE(back, T0 + c.Call + 100ms) << c.What;
    const auto heardEnd = clock.TimeOf(start + FramesOf(100, 48000));
    const double heardAfter = std::chrono::duration<double, std::micro>(heardEnd - back).count();
    EXPECT_NEAR(heardAfter, 20000, 30) << c.What;
  }
}

TEST(ToneTimeline, FollowsADeviceThatRunsFastOrSlowAQuarterAtATime) {
  for (const int64_t offBy : {200, 600, -600}) {
    Timeline clock(48000, 960);
    clock.Start(T0);
    clock.Advance(960 + FramesOf(100, 48000));
    const int64_t before = clock.FrameAt(T0 + 100ms);
    clock.Follow(T0 + 100ms, 960 - offBy, 240);
    const double expected = offBy == 200 ? 0 : offBy / 4.0;  // within a period: left alone
    EXPECT_NEAR(static_cast<double>(clock.FrameAt(T0 + 100ms) - before), expected, 1.0) << offBy;
  }
}

// Where each stretch of sound in the card's samples begins; stretches are
// apart by at least `minGap` zeros (a sine has single zero samples at its
// crossings, never a run of them).
std::vector<size_t> BurstStarts(const std::vector<int16_t>& samples, size_t minGap) {
  std::vector<size_t> starts;
  size_t zeros = minGap;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] != 0 && zeros >= minGap) starts.push_back(i);
    zeros = samples[i] == 0 ? zeros + 1 : 0;
  }
  return starts;
}

void WaitWhileStreaming() {
  for (int i = 0; i < 500 && sound::SoundCardStreamingForTesting(); ++i)
    std::this_thread::sleep_for(10ms);
}

TEST(Beep, RingingPassesReachTheSoundCardWhole) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  sound::Shutdown();
  // A card that takes a write in pieces of at most 1000 frames: the writer
  // must go on from where the card stopped.
  fakeasound::Card pieces;
  pieces.MostPerWrite = 1000;
  fakeasound::Set(pieces);
  sound::SetIdleStopForTesting(200ms);
  constexpr size_t Passes = 4;  // of the ringing alarm: a 100 ms tone, a 50 ms pause
  std::vector<Clock::time_point> calls;
  for (size_t pass = 0; pass <= Passes; ++pass) {
    // Silent for the idle time, the writer stops; the next tone starts it.
    if (pass == Passes) WaitWhileStreaming();
    calls.push_back(Clock::now());
    ASSERT_EQ(Beep(2000, 100), TRUE);
    EXPECT_GE(Clock::now() - calls.back(), 100ms) << "pass " << pass;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(sound::ActiveDevice(), sound::Device::SoundCard);
  WaitWhileStreaming();
  sound::Shutdown();
  EXPECT_FALSE(sound::SoundCardStreamingForTesting()) << "a later Beep would start no writer";
  const fakeasound::Card card = fakeasound::Get();
  EXPECT_EQ(card.Opened, card.Closed);

  const std::vector<size_t> starts = BurstStarts(card.Samples, FramesOf(5, 48000));
  ASSERT_EQ(starts.size(), Passes + 1);
  const ToneSpan tone{0, FramesOf(100, 48000), 2000};
  size_t silentLead = 0;  // the sine starts at zero
  while (sound::ToneSample(tone, static_cast<int64_t>(silentLead), 48000) == 0) ++silentLead;
  for (size_t i = 0; i < starts.size(); ++i) {
    // Every sample of the tone, none lost or doubled between the writes.
    const size_t first = starts[i] - silentLead;
    ASSERT_LE(first + static_cast<size_t>(tone.Frames), card.Samples.size());
    for (int64_t k = 0; k < tone.Frames; ++k)
      ASSERT_EQ(card.Samples[first + static_cast<size_t>(k)], sound::ToneSample(tone, k, 48000))
          << "tone " << i << ", sample " << k;
    // The tones as far apart as the calls, however late the sleeps woke.
    if (i + 1 >= Passes) continue;
    const double apart = 1000.0 * static_cast<double>(starts[i + 1] - starts[i]) / 48000;
    const double called =
        std::chrono::duration<double, std::milli>(calls[i + 1] - calls[i]).count();
    EXPECT_NEAR(apart, called, 2.0) << "pause " << i;
  }
}

TEST(Beep, TakesWhatWindowsTakesAndFallsThroughWithoutASoundCard) {
  sound::Shutdown();
  fakeasound::Card none;
  none.Absent = true;
  fakeasound::Set(none);
  for (const DWORD frequency : {36U, 37U, 32767U, 32768U}) {  // a tone of no length is done
    const Clock::time_point call = Clock::now();
    EXPECT_EQ(Beep(frequency, 0), frequency >= 37 && frequency <= 32767 ? TRUE : FALSE)
        << frequency;
    EXPECT_LT(Clock::now() - call, 50ms);
  }
  const Clock::time_point call = Clock::now();
  EXPECT_EQ(Beep(2000, 30), TRUE);
  EXPECT_GE(Clock::now() - call, 30ms);
  // The PC speaker where this machine lets us have it, else the bell.
  EXPECT_NE(sound::ActiveDevice(), sound::Device::SoundCard);
  EXPECT_NE(sound::ActiveDevice(), sound::Device::Undecided);
  sound::Shutdown();
}

}  // namespace
