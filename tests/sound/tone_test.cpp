// The tone: its samples checked by the numbers, and Beep checked end to end
// on the test sound card, sample by sample, with what the card was asked
// and given.  A card that hangs holding up the program's exit is the
// session tests'.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
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
// repeats after 24 frames, after 441 (also where that part is just over
// one cycle), only after a second (37 Hz: worked out per sample, or tabled
// whole when that part is short), and tones that are all fade.
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
        Case{48000, 37, 81, 0.1}, Case{48000, 2000, 6, 0.01}, Case{48000, 2000, 100, 0.001},
        Case{44100, 2000, 17, 0.01}}) {
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

// The tone's envelope, read off a pitch of a quarter of the rate, whose odd
// samples are the sine's crests (+, -, + ...) scaled by it: a raised cosine
// over the first and the last 3 ms, or over each half of a tone shorter
// than 6 ms, full level between; silence before the first frame and from
// the last on.
TEST(ToneTest, FadesAreRaisedCosinesOfThreeMilliseconds) {
  struct Case {
    uint32_t Rate;
    int64_t Frames, Fade;
  };
  const double peak = sound::ToneLevel * 32767.0;
  for (const Case c : {Case{48000, 4800, 144}, Case{44100, 4410, 132}, Case{48000, 192, 96},
                       Case{48000, 195, 97}, Case{48000, 3, 1}}) {
    SCOPED_TRACE(testing::Message() << c.Frames << " frames at " << c.Rate);
    const ToneSpan span{0, c.Frames, c.Rate / 4};
    for (int64_t k = -4; k < c.Frames + 4; ++k) {
      const int16_t got = sound::ToneSample(span, k, c.Rate);
      if (k < 0 || k >= c.Frames || k % 2 == 0) {
        EXPECT_EQ(got, 0) << "at frame " << k;
        continue;
      }
      const auto fromEdge = static_cast<double>(std::min(k, c.Frames - 1 - k));
      const double fade = static_cast<double>(c.Fade);
      const double level =
          fromEdge >= fade ? 1.0 : 0.5 - 0.5 * std::cos(std::numbers::pi * (fromEdge + 0.5) / fade);
      EXPECT_EQ(got, std::lround((k % 4 == 1 ? peak : -peak) * level)) << "at frame " << k;
    }
  }
}

// One renderer kept from tone to tone, as the writer keeps it, renders each
// tone afresh when its pitch, its length or the rate differs from the last
// one's; and a piece that ends inside a tone writes nothing past its end,
// also where the tone is worked out sample by sample (37 Hz, a long one).
TEST(ToneTest, AKeptRendererFollowsEveryChangeOfTone) {
  struct Case {
    uint32_t Rate, Frequency;
    int64_t Frames;
  };
  sound::ToneRenderer kept;
  for (const Case c : {Case{48000, 2000, 4800}, Case{48000, 440, 4800}, Case{44100, 440, 4800},
                       Case{44100, 440, 4410}, Case{48000, 37, 13000}}) {
    SCOPED_TRACE(testing::Message()
                 << c.Frequency << " Hz, " << c.Frames << " frames at " << c.Rate);
    const ToneSpan span{10, c.Frames, c.Frequency};
    std::vector<int16_t> out(static_cast<size_t>(span.End() + 10), 1);
    kept.Render(out, 0, {span}, c.Rate);
    for (size_t i = 0; i < out.size(); ++i)
      ASSERT_EQ(out[i], sound::ToneSample(span, static_cast<int64_t>(i) - 10, c.Rate)) << i;
  }
  const ToneSpan slow{0, 13000, 37};
  for (const size_t end : {1, 200, 5000, 12000}) {
    std::vector<int16_t> out(end + 1, 1);
    kept.Render(std::span(out).first(end), 0, {slow}, 48000);
    EXPECT_EQ(out[end - 1], sound::ToneSample(slow, static_cast<int64_t>(end) - 1, 48000)) << end;
    EXPECT_EQ(out.back(), 1) << "written past a piece ending at " << end;
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
    // Asked once; the stream of the card that opens tried on each opening.
    EXPECT_EQ(after.OpenAttempts, !sound::alsa::Compiled() ? 0 : absent ? 1 : 2);
    EXPECT_EQ(after.Prepares, absent || !sound::alsa::Compiled() ? 0 : 2);
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

// Where the first tone of the card's stream begins: the frame before its
// first sound (a sine's first sample is zero), if the samples from there are
// the tone's; -1 if they are not.
int64_t ToneStart(const std::vector<int16_t>& got, const ToneSpan& tone, uint32_t rate) {
  const auto sound = std::ranges::find_if(got, [](int16_t s) { return s != 0; });
  if (sound == got.end() || sound == got.begin()) return -1;
  const auto first = static_cast<size_t>(sound - got.begin()) - 1;
  if (first + static_cast<size_t>(tone.Frames) > got.size()) return -1;
  for (int64_t k = 0; k < tone.Frames; ++k)
    if (got[first + static_cast<size_t>(k)] != sound::ToneSample(tone, k, rate)) return -1;
  return static_cast<int64_t>(first);
}

// Underruns on the way (a busy machine), or writes that take nothing, are
// tried again, three in a row at most, and the tone reaches the card whole;
// a card that keeps failing is given up, with nothing of the tone half
// written.
TEST(ToneTest, UnderrunsAreRecoveredAFewTimesInARow) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  for (const auto& [failures, underruns] :
       {std::pair{3, true}, std::pair{4, true}, std::pair{3, false}, std::pair{4, false}}) {
    SCOPED_TRACE(testing::Message() << failures << (underruns ? " underruns" : " empty writes"));
    sound::Shutdown();
    fakeasound::Card card;
    (underruns ? card.Underruns : card.ZeroWrites) = failures;
    fakeasound::Set(card);
    sound::SetIdleStopForTesting(50ms);
    ASSERT_EQ(Beep(2000, 20), TRUE);
    WaitWhileStreaming();
    sound::Shutdown();
    const fakeasound::Card after = fakeasound::Get();
    EXPECT_FALSE(after.Loud) << "the reason went to the terminal";
    if (failures == 4) {
      EXPECT_TRUE(after.Samples.empty());
      continue;
    }
    EXPECT_GE(ToneStart(after.Samples, {0, FramesOf(20, 48000), 2000}, 48000), 0);
  }
}

// What the card is asked for, and what the writer makes of what it grants:
// 16-bit mono at 48 kHz, else 44.1 kHz, converted by the library where the
// card needs it; blocking writes; playback starting once a lead is queued
// (180 ms, shortened to leave a period free in a small buffer, never less
// than a period) and writes of at least 5 ms.  A card that refuses a step
// of that, or grants no buffer, no period or a rate below 8 kHz, is let go
// and not asked again at every tone.  The library's own messages are
// silenced, and every handle and parameter block is given back.
TEST(ToneTest, TheSoundCardIsSetUpFromWhatItGrants) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  struct Case {
    const char* Name;
    fakeasound::Card Card;
    std::vector<unsigned> RatesAsked;
    unsigned Rate;  // 0: the card is not used
    long StartThreshold = 0, AvailMin = 0;
    size_t SmallestWrite = 0;
  };
  const Case cases[] = {
      {"48 kHz", {}, {48000}, 48000, 8640, 2400, 240},
      {"44.1 kHz", {.Rates = {44100}}, {48000, 44100}, 44100, 7938, 2400, 220},
      {"a small buffer",
       {.BufferFrames = 4800, .PeriodFrames = 1200},
       {48000},
       48000,
       3600,
       1200,
       240},
      {"two periods", {.BufferFrames = 1000, .PeriodFrames = 500}, {48000}, 48000, 500, 500, 240},
      {"8 kHz, a period more than the lead", {.ReportedRate = 8000}, {48000}, 8000, 2400, 2400, 40},
      {"a one-frame buffer", {.BufferFrames = 1, .PeriodFrames = 1}, {48000}, 48000, 1, 1, 1},
      {"no rate taken", {.Rates = {}}, {48000, 44100}, 0},
      {"below 8 kHz", {.ReportedRate = 7999}, {48000}, 0},
      {"no buffer", {.BufferFrames = 0}, {48000}, 0},
      {"no period", {.PeriodFrames = 0}, {48000}, 0},
      {"no blocking writes", {.Fails = "snd_pcm_nonblock"}, {}, 0},
      {"no sizes", {.Fails = "snd_pcm_get_params"}, {48000}, 0},
      {"no hardware parameter block", {.Fails = "snd_pcm_hw_params_malloc"}, {48000}, 0},
      {"no software parameter block", {.Fails = "snd_pcm_sw_params_malloc"}, {48000}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    sound::Shutdown();
    fakeasound::Set(c.Card);
    sound::SetIdleStopForTesting(50ms);
    for (int tone = 0; tone < 3; ++tone) EXPECT_EQ(Beep(2000, 10), TRUE);
    EXPECT_EQ(sound::ActiveDevice() == sound::Device::SoundCard, c.Rate != 0);
    WaitWhileStreaming();
    sound::Shutdown();
    const fakeasound::Card card = fakeasound::Get();
    EXPECT_EQ(card.OpenAttempts, 1);
    EXPECT_EQ(card.Closed, card.Opened);
    EXPECT_EQ(card.Misuses, 0);
    EXPECT_EQ(card.ParameterBlocks, 0);
    EXPECT_TRUE(card.Quiet);
    EXPECT_EQ(card.RatesAsked, c.RatesAsked);
    if (c.Rate == 0) {
      EXPECT_TRUE(card.Samples.empty());
      continue;
    }
    EXPECT_EQ(card.Resample, 1);
    EXPECT_TRUE(card.Blocking);
    EXPECT_EQ(card.StartThreshold, c.StartThreshold);
    EXPECT_EQ(card.AvailMin, c.AvailMin);
    EXPECT_GE(ToneStart(card.Samples, {0, FramesOf(10, c.Rate), 2000}, c.Rate), 0);
    for (const fakeasound::Write& write : card.Writes) ASSERT_GE(write.Frames, c.SmallestWrite);
  }
}

// The writer keeps one lead queued by the frame clock, as the times the
// card took the first two writes show: a sink that takes everything at once
// gets what the clock says has played (and a tick's worth at a time, not a
// spinning writer's crumbs), as does a card that holds what the clock says.
// A card that has played more than that (its crystal fast) has a quarter of
// the difference taken into the clock, a full one (its crystal slow) gives
// a quarter back, and after an underrun, which leaves the card empty, a
// whole lead is queued again at once.
TEST(ToneTest, TheWriterFollowsWhatTheCardHolds) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  struct Case {
    const char* Name;
    fakeasound::Card Card;
    double Shift;  // frames written beyond what the clock says has played since the first write
  };
  const Case cases[] = {
      {"a sink", {}, 0},
      {"a card holding the lead", {.Avail = {12000 - 8640}}, 0},
      {"a card that holds next to nothing", {.Avail = {11999}}, 2159},  // a quarter of 8639
      {"a full card", {.Avail = {0}}, -840},                            // of 8640 - 12000
      {"an underrun", {.Underruns = 1}, 8640},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    sound::Shutdown();
    fakeasound::Set(c.Card);
    sound::SetIdleStopForTesting(300ms);
    EXPECT_EQ(Beep(2000, 100), TRUE);
    WaitWhileStreaming();
    sound::Shutdown();
    const std::vector<fakeasound::Write> writes = fakeasound::Get().Writes;
    ASSERT_GE(writes.size(), 3u);
    const double played =
        std::chrono::duration<double>(writes[1].At - writes[0].At).count() * 48000;
    // Within 10 ms: the writer reads its clock a moment before the card
    // notes the write, a moment a busy machine may stretch.
    EXPECT_NEAR(static_cast<double>(writes[1].Frames) - played, c.Shift, 480);
    if (c.Shift != 0) continue;
    for (size_t i = 1; i < writes.size(); ++i) EXPECT_GE(writes[i].Frames, 7200u / 2) << i;
  }
}

// Once the stream has been quiet for the idle time (here well below the
// engine's own second) the writer stops the card and ends; the next tone
// prepares the card again and starts another.
TEST(ToneTest, AQuietStreamIsStoppedAndTheNextToneStartsItAgain) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  sound::Shutdown();
  fakeasound::Set({});
  sound::SetIdleStopForTesting(50ms);
  for (int run = 1; run <= 2; ++run) {
    EXPECT_EQ(Beep(2000, 20), TRUE);
    WaitWhileStreaming();
    const fakeasound::Card card = fakeasound::Get();
    EXPECT_EQ(card.Prepares, run);
    EXPECT_EQ(card.Drops, run);
    EXPECT_LT(card.Samples.size(), 48000u * static_cast<size_t>(run)) << "a run of a second";
  }
  sound::Shutdown();
  const fakeasound::Card card = fakeasound::Get();
  EXPECT_EQ(card.Opened, 1);
  EXPECT_EQ(card.Closed, 1);
  EXPECT_EQ(card.Misuses, 0);
}

// Shutdown while a tone streams stops the writer and lets the card go at
// once, however long the stream would have gone on; nothing reaches the
// card after.
TEST(ToneTest, ShutdownEndsAStreamAtOnce) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  sound::Shutdown();
  fakeasound::Set({});
  sound::SetIdleStopForTesting(2s);
  EXPECT_EQ(Beep(2000, 20), TRUE);
  sound::Shutdown();
  EXPECT_FALSE(sound::SoundCardStreamingForTesting());
  const fakeasound::Card card = fakeasound::Get();
  EXPECT_EQ(card.Closed, 1);
  std::this_thread::sleep_for(200ms);
  const fakeasound::Card later = fakeasound::Get();
  EXPECT_EQ(later.Samples.size(), card.Samples.size());
  EXPECT_EQ(later.Misuses, 0);
}

// The card's stream on its own: no tone without an open card; a tone asked
// for longer than a lead ago (a card slow to open) begins with the stream's
// first frame; a stream that has failed, in its prepare or in its writes,
// takes no tone more, and an Open meanwhile says so and lets its own handle
// go.
TEST(ToneTest, TheCardsStreamAnswersForItsFailures) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  sound::Shutdown();
  fakeasound::Set({});
  sound::SetIdleStopForTesting(50ms);
  EXPECT_FALSE(sound::alsa::Play(2000, 20, Clock::now())) << "not open";
  ASSERT_TRUE(sound::alsa::Open());
  EXPECT_TRUE(sound::alsa::Play(2000, 20, Clock::now() - 1s));
  WaitWhileStreaming();
  EXPECT_EQ(ToneStart(fakeasound::Get().Samples, {0, FramesOf(20, 48000), 2000}, 48000), 0);
  sound::Shutdown();
  EXPECT_EQ(fakeasound::Get().Misuses, 0);
  for (const bool writes : {false, true}) {
    SCOPED_TRACE(writes ? "failing writes" : "failing prepare");
    fakeasound::Set(writes ? fakeasound::Card{.WriteError = -EIO}
                           : fakeasound::Card{.Broken = true});
    ASSERT_TRUE(sound::alsa::Open());
    if (writes) {
      EXPECT_TRUE(sound::alsa::Play(2000, 20, Clock::now())) << "the writer finds out";
      WaitWhileStreaming();
    }
    EXPECT_FALSE(sound::alsa::Play(2000, 20, Clock::now()));
    EXPECT_FALSE(sound::alsa::Open());
    fakeasound::Card card = fakeasound::Get();
    EXPECT_EQ(card.Opened, 2);
    EXPECT_EQ(card.Closed, 1) << "the second handle let go";
    sound::Shutdown();
    card = fakeasound::Get();
    EXPECT_EQ(card.Closed, 2);
    EXPECT_EQ(card.Misuses, 0);
  }
}

// A process's first tone reaches the card; once the process is on its way
// out, a tone starts nothing, not even the bell, but still takes its
// length.
int FirstToneAndTheEnd() {
  fakeasound::Set({});
  sound::SetIdleStopForTesting(50ms);
  if (Beep(2000, 20) != TRUE) return 1;
  WaitWhileStreaming();
  const fakeasound::Card card = fakeasound::Get();
  if (ToneStart(card.Samples, {0, FramesOf(20, 48000), 2000}, 48000) < 0) return 2;
  sound::EndForGood();
  const Clock::time_point call = Clock::now();
  if (!sound::Play(2000, 100, call)) return 5;  // the bell's turn: it would ring
  if (Clock::now() - call < 100ms) return 3;
  const fakeasound::Card after = fakeasound::Get();
  if (after.Samples.size() != card.Samples.size() || after.Opened != 1) return 4;
  return 0;
}

TEST(ToneTest, AProcessSoundsItsFirstToneAndNoneOnItsWayOut) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(FirstToneAndTheEnd()), testing::ExitedWithCode(0), "");
}

// A card stuck in a write (a hung sound server) is left to its thread at
// shutdown; the next tone opens the card afresh and is heard.
int StuckCardLeftBehind() {
  fakeasound::Set({.Stuck = true});
  sound::SetIdleStopForTesting(50ms);
  Beep(2000, 20);
  sound::Shutdown();
  fakeasound::Card card = fakeasound::Get();
  card.Stuck = false;
  fakeasound::Set(card);
  if (Beep(2000, 20) != TRUE || sound::ActiveDevice() != sound::Device::SoundCard) return 1;
  WaitWhileStreaming();
  card = fakeasound::Get();
  if (card.Opened != 2) return 2;
  if (ToneStart(card.Samples, {0, FramesOf(20, 48000), 2000}, 48000) < 0) return 3;
  return 0;
}

TEST(ToneTest, ACardStuckInAWriteIsLeftAndTheNextToneOpensAfresh) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(StuckCardLeftBehind()), testing::ExitedWithCode(0), "");
}

// A process that may start no thread more (RLIMIT_NPROC, as nobody): a
// tone on the card opened before fails at once for want of a writer, and
// the card, opened again, says it is unusable rather than open.
int NoThreadMore() {
  fakeasound::Set({});
  if (!sound::alsa::Open()) return 1;
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_NPROC, &none) != 0 || setuid(65534) != 0) return 2;
  if (sound::alsa::Play(2000, 20, Clock::now())) return 3;
  if (sound::alsa::Streaming()) return 4;
  if (sound::alsa::Open()) return 5;
  return 0;
}

TEST(ToneTest, WithoutAThreadTheCardFailsAndSaysSo) {
  if (!sound::alsa::Compiled()) GTEST_SKIP() << "built without ALSA: no sound card path";
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to become nobody";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(NoThreadMore()), testing::ExitedWithCode(0), "");
}

}  // namespace
