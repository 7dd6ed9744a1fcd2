// The tone: its samples checked by the numbers, and Beep checked end to end
// on the test sound card, sample by sample.  A card that hangs is the
// session tests'.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <numbers>
#include <span>
#include <thread>
#include <vector>

#include "standin/terminal/sound/alsa.h"
#include "standin/terminal/sound/synth.h"
#include "standin/terminal/sound/tone.h"
#include "tests/fake/fake_asound.h"
#include "win32/win32.h"

namespace {

using namespace std::chrono_literals;

// How many times longer a step may take in this build (see CMakeLists.txt).
constexpr int Slowdown = ROUSEL_TIME_SCALE;
using sound::Clock;
using sound::FramesOf;
using sound::ToneSpan;
using Millis = std::chrono::duration<double, std::milli>;

// Every rendered sample is the formula's, rendered at once or piece by piece
// by one renderer that keeps its tables from tone to tone (pieces that start
// mid-tone are also the card test's), and the tone has its pitch and level,
// fades in and out without a click, and leaves silence around it.  A pitch
// the rate cannot carry is silence, not an alias.  Pitches whose steady part
// repeats after 24 frames, after 441, only after a second (37 Hz: worked out
// per sample, or tabled whole when that part is short), and tones that are
// all fade.
TEST(ToneTest, PitchLevelFadesAndSilenceAround) {
  struct Case {
    uint32_t Rate, Frequency, Millis;
    double Tolerance;  // relative; a tone that is all fade measures coarser
  };
  const double peak = sound::ToneLevel * 32767.0;
  sound::ToneRenderer kept;
  for (const Case c :
       {Case{48000, 2000, 100, 0.001}, Case{44100, 440, 250, 0.001}, Case{48000, 2000, 4, 0.01},
        Case{48000, 24000, 100, -1}, Case{44100, 2000, 100, 0.001}, Case{48000, 37, 270, 0.01},
        Case{48000, 37, 81, 0.1}, Case{48000, 2000, 6, 0.01}, Case{48000, 2000, 100, 0.001}}) {
    SCOPED_TRACE(testing::Message() << c.Frequency << " Hz, " << c.Millis << " ms at " << c.Rate);
    const int64_t margin = 100;
    const ToneSpan span{margin, FramesOf(c.Millis, c.Rate), c.Frequency};
    std::vector<int16_t> out(static_cast<size_t>(span.End() + margin), 1);
    sound::RenderFrames(out, 0, {span}, c.Rate);
    for (size_t i = 0; i < out.size(); ++i) {
      const int64_t k = static_cast<int64_t>(i) - margin;
      ASSERT_EQ(out[i], sound::ToneSample(span, k, c.Rate)) << "at frame " << i;
      EXPECT_TRUE(out[i] == 0 || (k >= 0 && k < span.Frames && c.Tolerance > 0)) << i;
      // No step steeper than the sine's and the fade's together: no click.
      const double fade = static_cast<double>(std::min(FramesOf(3, c.Rate), span.Frames / 2));
      const double steepest =
          peak * (2.0 * std::numbers::pi * c.Frequency / c.Rate + std::numbers::pi / 2 / fade);
      ASSERT_LE(std::abs(out[i] - out[std::max<size_t>(i, 1) - 1]), steepest + 1) << i;
    }
    std::vector<int16_t> pieces(out.size() + 1, 1);
    for (size_t at = 0, step = 0; at < out.size(); ++step) {
      const size_t n =
          std::min<size_t>(out.size() - at, std::array{1, 7, 97, 1000, 4801}[step % 5]);
      kept.Render(std::span(pieces).subspan(at, n), static_cast<int64_t>(at), {span}, c.Rate);
      at += n;
    }
    EXPECT_TRUE(std::equal(out.begin(), out.end(), pieces.begin())) << "rendered in pieces";
    EXPECT_EQ(pieces.back(), 1) << "written past the last piece";
    if (c.Tolerance < 0) continue;
    const auto tone = std::span<const int16_t>(out).subspan(margin, span.Frames);
    // The pitch from the first and last rising zero crossings, each placed
    // between its two samples.
    std::vector<double> crossings;
    for (size_t i = 1; i < tone.size(); ++i)
      if (tone[i - 1] < 0 && tone[i] >= 0)
        crossings.push_back(double(i - 1) - tone[i - 1] / double(tone[i] - tone[i - 1]));
    ASSERT_GE(crossings.size(), 2u);
    const double cycles = static_cast<double>(crossings.size() - 1);
    EXPECT_NEAR(cycles * c.Rate / (crossings.back() - crossings.front()), c.Frequency,
                c.Frequency * c.Tolerance);
    const auto [low, high] = std::minmax_element(tone.begin(), tone.end());
    EXPECT_NEAR(std::max(-*low, +*high), peak, peak * 0.01);
    EXPECT_LT(std::abs(tone.front()) + std::abs(tone.back()), peak * 0.1) << "faded";
  }
}

// A tone begins one lead after its call, but never over frames already
// handed to the card nor over the tone before it; its caller returns one
// lead before its end is heard, and never sooner than its length after the
// call (a card slow to start).
TEST(ToneTest, PlacesTonesAndReturnsOneLeadBeforeTheirEndIsHeard) {
  const int64_t lead = 960, natural = FramesOf(150, 48000) + lead;  // for a call at 150 ms
  struct Case {
    Clock::duration Call;  // after the stream's start; the first between two frames
    int64_t Handed, PreviousEnd, Start;
  };
  for (const Case c :
       {Case{150ms + 10us, natural - 100, 0, natural}, Case{150ms, natural + 500, 0, natural + 500},
        Case{150ms, natural - 100, natural + 300, natural + 300}, Case{-30ms, 0, 0, 0}}) {
    const Clock::time_point t0{1000h}, call = t0 + c.Call;
    sound::Timeline clock(48000, lead);
    clock.Start(t0);
    clock.Advance(c.Handed);
    const int64_t start = clock.PlaceTone(call, c.PreviousEnd);
    EXPECT_EQ(start, c.Start) << c.Start;
    const Clock::time_point back = clock.ReturnTime(call, start, 100);
    EXPECT_GE(back, call + 100ms) << c.Start;
    EXPECT_NEAR(Millis(clock.TimeOf(start + FramesOf(100, 48000)) - back).count(), 20, 0.03)
        << c.Start;
  }
}

// Pitches the rate carries sound, from 1 Hz up to below half the rate; no
// pitch and those from half the rate on are silence, not an alias.
TEST(ToneTest, OnlyPitchesBelowHalfTheRateSound) {
  for (const auto& [frequency, sounds] : {std::pair{0u, false}, std::pair{1u, true},
                                          std::pair{20000u, true}, std::pair{30000u, false}}) {
    const ToneSpan span{0, 48000, frequency};
    bool heard = false;
    for (int64_t k = 0; k < span.Frames && !heard; ++k)
      heard = sound::ToneSample(span, k, 48000) != 0;
    EXPECT_EQ(heard, sounds) << frequency << " Hz";
  }
}

// The frame clock, 100 ms handed over and 50 ms heard: a device that holds
// less than the model says takes a quarter of the difference into the
// anchor, unless the difference is within the deadband; after an underrun
// the next frame is heard now.  Times are the first nanosecond a frame is
// heard, before the anchor too; what is owed keeps one lead queued.
TEST(ToneTest, TheFrameClockFollowsTheDeviceByAQuarter) {
  const Clock::time_point t0{1000h};
  const auto nanos = [t0](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t - t0).count();
  };
  for (const auto& [queued, shift] : {std::pair{2400, 0}, std::pair{2160, 0},
                                      std::pair{2159, -1'250'000}, std::pair{3600, 6'250'000}}) {
    sound::Timeline clock(48000, 960);
    clock.Start(t0);
    clock.Advance(4800);
    clock.Follow(t0 + 50ms, queued, 240);
    EXPECT_EQ(nanos(clock.TimeOf(0)), shift) << queued;
  }
  sound::Timeline clock(48000, 960);
  clock.Start(t0);
  EXPECT_EQ(nanos(clock.TimeOf(3)), 62'500);
  EXPECT_EQ(nanos(clock.TimeOf(-1)), -20'833);
  EXPECT_EQ(clock.FrameAt(t0 - 1ns), -1);
  EXPECT_EQ(clock.FrameAt(t0 + 1ns), 0);
  clock.Advance(4800);
  EXPECT_EQ(clock.Due(t0 + 50ms), 0) << "more than a lead is queued";
  EXPECT_EQ(clock.Due(t0 + 100ms), 960);
  clock.Resync(t0 + 1s);
  EXPECT_EQ(nanos(clock.TimeOf(4800)), 1'000'000'000);
}

void WaitWhileStreaming() {
  for (int i = 0; i < 500 && sound::SoundCardStreamingForTesting(); ++i)
    std::this_thread::sleep_for(10ms);
}

// The ringing alarm's passes (a
// 100 ms tone, a 50 ms pause) on a card that takes a write in pieces of at
// most 1000 frames: every sample of every tone arrives, none lost or doubled
// between the writes, and the tones are as far apart as the calls, however
// late the sleeps woke.
TEST(ToneTest, RingingPassesReachTheSoundCardWhole) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  sound::Shutdown();
  fakeasound::Card pieces;
  pieces.MostPerWrite = 1000;
  fakeasound::Set(pieces);
  sound::SetIdleStopForTesting(200ms);
  constexpr size_t Passes = 4;
  std::vector<Clock::time_point> calls;
  for (size_t pass = 0; pass <= Passes; ++pass) {
    // Silent for the idle time, the writer stops; the next tone starts it.
    if (pass == Passes) WaitWhileStreaming();
    calls.push_back(Clock::now());
    ASSERT_EQ(Beep(2000, 100), TRUE);
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(sound::ActiveDevice(), sound::Device::SoundCard);
  WaitWhileStreaming();
  sound::Shutdown();
  EXPECT_FALSE(sound::SoundCardStreamingForTesting()) << "a later Beep would start no writer";
  const fakeasound::Card card = fakeasound::Get();
  EXPECT_EQ(card.Opened, card.Closed);
  // Where each tone's sound begins: after at least 5 ms of zeros (a sine
  // has single zero samples at its crossings, never a run of them).
  const std::vector<int16_t>& got = card.Samples;
  std::vector<size_t> starts;
  for (size_t i = 0, zeros = 240; i < got.size(); ++i) {
    if (got[i] != 0 && zeros >= 240) starts.push_back(i);
    zeros = got[i] == 0 ? zeros + 1 : 0;
  }
  ASSERT_EQ(starts.size(), Passes + 1);
  const ToneSpan tone{0, FramesOf(100, 48000), 2000};
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t first = starts[i] - 1;  // the sine's first sample is zero
    ASSERT_LE(first + static_cast<size_t>(tone.Frames), got.size());
    for (int64_t k = 0; k < tone.Frames; ++k)
      ASSERT_EQ(got[first + static_cast<size_t>(k)], sound::ToneSample(tone, k, 48000))
          << "tone " << i << ", sample " << k;
    if (i + 1 >= Passes) continue;  // the last pause waited for the writer to stop
    const double apart = 1000.0 * static_cast<double>(starts[i + 1] - starts[i]) / 48000;
    EXPECT_NEAR(apart, Millis(calls[i + 1] - calls[i]).count(), 2.0) << "pause " << i;
  }
}

// Underruns on the way (a busy machine) are recovered, three in a row at
// most, and the tone reaches the card whole; a card that underruns for good
// is given up, with nothing of the tone half written.
TEST(ToneTest, UnderrunsAreRecoveredAFewTimesInARow) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  for (const int underruns : {3, 4}) {
    sound::Shutdown();
    fakeasound::Card card;
    card.Underruns = underruns;
    fakeasound::Set(card);
    sound::SetIdleStopForTesting(50ms);
    ASSERT_EQ(Beep(2000, 20), TRUE);
    WaitWhileStreaming();
    sound::Shutdown();
    const fakeasound::Card after = fakeasound::Get();
    EXPECT_FALSE(after.Loud) << "the reason went to the terminal";
    const std::vector<int16_t>& got = after.Samples;
    const auto first = std::find_if(got.begin(), got.end(), [](int16_t s) { return s != 0; });
    if (underruns == 4) {
      EXPECT_TRUE(got.empty()) << underruns;
      continue;
    }
    const ToneSpan tone{0, FramesOf(20, 48000), 2000};
    ASSERT_GE(got.end() - first, tone.Frames);
    for (int64_t k = 1; k < tone.Frames; ++k)
      ASSERT_EQ(first[k - 1], sound::ToneSample(tone, k, 48000)) << "sample " << k;
  }
}

// Without a sound card the alarm still sounds: on the PC speaker where the
// user may use it, else as the terminal's bell.  A card that opens but will
// not play is opened once more (a resumed laptop's stream) and then left.
TEST(ToneTest, WithoutAWorkingSoundCardFallsToTheSpeakerOrTheBell) {
  for (const bool absent : {true, false}) {
    sound::Shutdown();
    fakeasound::Card card;
    card.Absent = absent;
    card.Broken = !absent;
    fakeasound::Set(card);
    // The tones of a ringing alarm do not open it again each time.
    for (int tone = 0; tone < 5; ++tone) EXPECT_EQ(Beep(2000, 10), TRUE);
    EXPECT_NE(sound::ActiveDevice(), sound::Device::SoundCard);
    EXPECT_NE(sound::ActiveDevice(), sound::Device::Undecided);
    sound::Shutdown();
    const fakeasound::Card after = fakeasound::Get();
    EXPECT_EQ(after.Opened, absent || !sound::alsa::Compiled() ? 0 : 2);
    EXPECT_EQ(after.Closed, after.Opened);
  }
}

// A sound card whose open hangs (a stuck sound server) costs the first tone
// a quarter of a second and no later tone anything: they sound elsewhere,
// no second open is started while the first hangs, and once the card opens
// after all the next tone is the card's.
TEST(ToneTest, ACardWhoseOpenHangsHoldsNoToneUp) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "a build without ALSA";
  sound::Shutdown();
  fakeasound::Card card;
  card.OpenHangs = true;
  fakeasound::Set(card);
  for (int tone = 0; tone < 4; ++tone) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Beep(2000, 100), TRUE);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, (tone == 0 ? 350ms + 250ms : 100ms + 150ms) * Slowdown) << tone;
    EXPECT_NE(sound::ActiveDevice(), sound::Device::SoundCard) << tone;
  }
  card.OpenHangs = false;
  fakeasound::Set(card);  // the open that hung goes through now
  const auto opened = std::chrono::steady_clock::now() + 2s;
  while (fakeasound::Get().Opened == 0 && std::chrono::steady_clock::now() < opened)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(Beep(2000, 100), TRUE);
  EXPECT_EQ(sound::ActiveDevice(), sound::Device::SoundCard);
  EXPECT_EQ(fakeasound::Get().Opened, 1);
  sound::Shutdown();
}

}  // namespace
