// The tone: samples and the frame clock checked by the numbers, and Beep
// checked end to end by routing ALSA's "default" device into a file and
// measuring what arrives there.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "console/win32.h"
#include "posix/sound/alsa.h"
#include "posix/sound/synth.h"
#include "posix/sound/tone.h"

namespace {

using namespace std::chrono_literals;
using sound::Clock;
using sound::FramesOf;
using sound::Timeline;
using sound::ToneSpan;

constexpr double kPeak = sound::ToneLevel * 32767.0;

// Frequency from the rising zero crossings, each placed between its two
// samples by linear interpolation.
double MeasureFrequency(std::span<const int16_t> samples, uint32_t rate) {
  std::vector<double> crossings;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      const double before = samples[i - 1];
      const double after = samples[i];
      crossings.push_back(static_cast<double>(i - 1) + (-before) / (after - before));
    }
  }
  if (crossings.size() < 2) return 0.0;
  return static_cast<double>(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
}

// A stretch of sound: first and last non-zero sample, inclusive.
struct Burst {
  size_t first = 0;
  size_t last = 0;
  size_t Length() const { return last - first + 1; }
};

// Sound separated by at least `minGap` zero samples.  A sine has single zero
// samples at its crossings, never a run of them.
std::vector<Burst> FindBursts(std::span<const int16_t> samples, size_t minGap) {
  std::vector<Burst> bursts;
  size_t zeros = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] == 0) {
      ++zeros;
      continue;
    }
    if (bursts.empty() || zeros >= minGap)
      bursts.push_back(Burst{i, i});
    else
      bursts.back().last = i;
    zeros = 0;
  }
  return bursts;
}

double Millis(size_t frames, uint32_t rate) {
  return 1000.0 * static_cast<double>(frames) / rate;
}

double Millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<int16_t> Render(const std::deque<ToneSpan>& spans, int64_t frames, uint32_t rate) {
  std::vector<int16_t> out(static_cast<size_t>(frames));
  sound::RenderFrames(out, 0, spans, rate);
  return out;
}

// --- The samples --------------------------------------------------------------

TEST(ToneSamples, PitchLevelFadesAndSilenceAround) {
  struct Case {
    uint32_t rate;
    uint32_t frequency;
    uint32_t millis;
    double pitchTolerance;  // relative; a tone that is all fade measures coarser
  };
  for (const Case c :
       {Case{48000, 2000, 100, 0.001}, Case{44100, 440, 250, 0.001}, Case{48000, 2000, 4, 0.01}}) {
    SCOPED_TRACE(testing::Message() << c.frequency << " Hz, " << c.millis << " ms at " << c.rate);
    const int64_t margin = 100;
    const int64_t frames = FramesOf(c.millis, c.rate);
    const std::vector<int16_t> out =
        Render({ToneSpan{margin, frames, c.frequency}}, frames + 2 * margin, c.rate);
    const std::span<const int16_t> tone =
        std::span<const int16_t>(out).subspan(margin, static_cast<size_t>(frames));

    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + margin, [](int16_t s) { return s == 0; }));
    EXPECT_TRUE(std::all_of(out.end() - margin, out.end(), [](int16_t s) { return s == 0; }));
    EXPECT_NEAR(MeasureFrequency(tone, c.rate), c.frequency, c.frequency * c.pitchTolerance);
    int peak = 0;
    for (int16_t s : tone) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_NEAR(peak, kPeak, kPeak * 0.01);
    // Faded at both ends, so neither edge clicks.
    EXPECT_LT(std::abs(tone.front()), kPeak * 0.05);
    EXPECT_LT(std::abs(tone.back()), kPeak * 0.05);
    // No sample jumps further than the steepest slope of the sine itself.
    const double steepest = kPeak * 2.0 * std::numbers::pi * c.frequency / c.rate;
    for (size_t i = 1; i < out.size(); ++i)
      ASSERT_LE(std::abs(out[i] - out[i - 1]), steepest * 1.05 + 1) << "at frame " << i;
  }
}

TEST(ToneSamples, RenderedStreamIsToneSampleForEverySample) {
  // The writer's fast path (one sine per phase) against the sample formula,
  // for pieces that start inside a fade, inside the body and on odd phases,
  // and into the closing fade, whose first sample lies within one step of
  // the bare sine (at 1600 Hz and 48 kHz it rounds to another value).
  struct Case {
    uint32_t rate;
    uint32_t frequency;
    int64_t first;
    int64_t frames;
  };
  for (const Case c :
       {Case{48000, 2000, 0, 4800}, Case{48000, 1600, 4477, 7500}, Case{44100, 440, 77, 20000},
        Case{48000, 37, 5000, 600}, Case{48000, 23999, 10, 500}}) {
    const ToneSpan span{100, 12000, c.frequency};
    std::vector<int16_t> out(static_cast<size_t>(c.frames));
    sound::RenderFrames(out, c.first, {span}, c.rate);
    for (int64_t i = 0; i < c.frames; ++i) {
      ASSERT_EQ(out[static_cast<size_t>(i)],
                sound::ToneSample(span, c.first + i - span.Start, c.rate))
          << c.frequency << " Hz at " << c.rate << ", frame " << c.first + i;
    }
  }
}

TEST(ToneSamples, FrequenciesTheRateCannotCarryAreSilent) {
  struct Case {
    uint32_t rate;
    uint32_t frequency;
    bool audible;
  };
  for (const Case c : {Case{48000, 24000, false}, Case{48000, 23999, true}}) {
    const std::vector<int16_t> out = Render({ToneSpan{0, 4000, c.frequency}}, 4000, c.rate);
    const bool any = std::any_of(out.begin(), out.end(), [](int16_t s) { return s != 0; });
    EXPECT_EQ(any, c.audible) << c.frequency << " Hz at " << c.rate;
  }
}

TEST(ToneSamples, PhaseStaysExactAfterDaysOfRinging) {
  // 2000 Hz at 48 kHz repeats every 24 frames exactly.
  const ToneSpan span{0, int64_t{1} << 42, 2000};
  const int64_t days = int64_t{3} * 86400 * 48000;
  for (int64_t k : {int64_t{1000}, int64_t{1013}, int64_t{1019}})
    EXPECT_EQ(sound::ToneSample(span, days + k, 48000), sound::ToneSample(span, k, 48000)) << k;
}

// --- The frame clock ----------------------------------------------------------

const Clock::time_point kT0 = Clock::time_point(1000h);

TEST(ToneTimeline, FramesAndTimesRoundTrip) {
  for (uint32_t rate : {48000U, 44100U}) {
    Timeline clock(rate, 960);
    clock.Start(kT0);
    for (int64_t frame : {int64_t{0}, int64_t{rate - 1}, int64_t{-1}, -int64_t{rate} - 1,
                          int64_t{3} * 86400 * rate + 7}) {
      const Clock::time_point t = clock.TimeOf(frame);
      EXPECT_EQ(clock.FrameAt(t), frame) << frame << " at " << rate;
      EXPECT_EQ(clock.FrameAt(t - 1ns), frame - 1) << frame << " at " << rate;
    }
  }
}

TEST(ToneTimeline, PlacesTonesAndReturnTimes) {
  const int64_t lead = 960;
  const int64_t natural = FramesOf(150, 48000) + lead;  // for a call at 150 ms
  struct Case {
    const char* what;
    Clock::duration call;  // after the stream's start
    int64_t handed;
    int64_t previousEnd;
    int64_t start;
  };
  for (const Case c :
       {Case{"writer on time", 150ms, natural - 100, 0, natural},
        Case{"writer held up by the device", 150ms, natural + 500, 0, natural + 500},
        Case{"tone before not yet over", 150ms, natural - 100, natural + 300, natural + 300},
        Case{"first tone of the stream", 0ms, 0, 0, lead},
        Case{"device took 30 ms to start", -30ms, 0, 0, 0}}) {
    Timeline clock(48000, lead);
    clock.Start(kT0);
    clock.Advance(c.handed);
    const Clock::time_point call = kT0 + c.call;
    const int64_t start = clock.PlaceTone(call, c.previousEnd);
    EXPECT_EQ(start, c.start) << c.what;
    const Clock::time_point back = clock.ReturnTime(call, start, 100);
    EXPECT_GE(back, call + 100ms) << c.what;
    // The caller returns one lead before the end of the tone is heard, so
    // the pause it then sleeps is the pause heard before the next tone.
    const Clock::time_point heardEnd = clock.TimeOf(start + FramesOf(100, 48000));
    EXPECT_NEAR(Millis(heardEnd - back), Millis(static_cast<size_t>(lead), 48000), 0.03) << c.what;
  }
}

TEST(ToneTimeline, FollowsADeviceThatRunsFastOrSlow) {
  const int64_t lead = 960;
  const int64_t period = 240;
  struct Case {
    const char* what;
    int64_t queued;
    int sign;  // of the change in what is owed
  };
  for (const Case c :
       {Case{"within a period", lead - 200, 0}, Case{"device runs fast", lead - 600, +1},
        Case{"device runs slow", lead + 600, -1}}) {
    Timeline clock(48000, lead);
    clock.Start(kT0);
    clock.Advance(lead + FramesOf(100, 48000));
    const Clock::time_point now = kT0 + 100ms;
    const int64_t before = clock.FrameAt(now);
    clock.Follow(now, c.queued, period);
    const int64_t moved = clock.FrameAt(now) - before;
    if (c.sign == 0) {
      EXPECT_EQ(moved, 0) << c.what;
    } else {
      // A quarter of the difference at a time.
      EXPECT_NEAR(static_cast<double>(moved), c.sign * 600 / 4.0, 1.0) << c.what;
    }
  }
}

// --- Beep -------------------------------------------------------------------

// ALSA reads its configuration at the first open: the capture setup must be in
// the environment before any test beeps.
class CaptureEnvironment : public ::testing::Environment {
 public:
  // Seconds of 48 kHz 16-bit mono are 96 KB each.
  static constexpr rlim_t kCaptureLimit = rlim_t{64} << 20;

  static std::filesystem::path CaptureFile() {
    return std::filesystem::path(::testing::TempDir()) /
           ("rousel_tone_" + std::to_string(getpid()) + ".raw");
  }

  static std::filesystem::path Config(const char* name) {
    return std::filesystem::path(ROUSEL_TEST_DATA_DIR) / "alsa" / name;
  }

  void SetUp() override {
    // A writer that is not paced by the clock fills a file sink as fast as
    // the disk takes it.  Cap the size of files this process writes, and
    // let an oversized write fail (EFBIG) rather than kill the test.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit cap{kCaptureLimit, kCaptureLimit};
    setrlimit(RLIMIT_FSIZE, &cap);
    setenv("ALSA_CONFIG_PATH", Config("asound.conf").c_str(), 1);
    setenv("ROUSEL_TONE_CAPTURE", CaptureFile().c_str(), 1);
  }

  void TearDown() override {
    sound::Shutdown();
    std::error_code ignored;
    std::filesystem::remove(CaptureFile(), ignored);
  }
};

[[maybe_unused]] const auto* const kCaptureEnvironment =
    ::testing::AddGlobalTestEnvironment(new CaptureEnvironment);  // NOLINT: gtest takes ownership

std::vector<int16_t> ReadCapture() {
  std::ifstream in(CaptureEnvironment::CaptureFile(), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
  return samples;
}

// Waits for the sound card's writer to stop by itself, or gives up after a
// while far longer than the idle time the test sets.
void WaitForIdle() {
  const Clock::time_point giveUp = Clock::now() + 5s;
  while (sound::SoundCardStreamingForTesting() && Clock::now() < giveUp)
    std::this_thread::sleep_for(10ms);
}

TEST(Beep, RingingPassesOnTheSoundCard) {
  if (!sound::alsa::Compiled())
    GTEST_SKIP() << "built without ALSA (libasound2-dev missing): the sound card path is absent";
  sound::Shutdown();  // choose the device afresh, with the capture configuration
  sound::SetIdleStopForTesting(200ms);

  // Four passes of the ringing alarm: a 100 ms tone, then the 50 ms pause.
  constexpr int kPasses = 4;
  std::vector<Clock::time_point> calls;
  for (int pass = 0; pass < kPasses; ++pass) {
    calls.push_back(Clock::now());
    ASSERT_EQ(Beep(2000, 100), TRUE);
    EXPECT_GE(Clock::now() - calls.back(), 100ms) << "pass " << pass;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(sound::ActiveDevice(), sound::Device::SoundCard)
      << "ALSA did not open the test configuration";

  // Silent for the idle time, the writer stops; the next tone starts it again.
  WaitForIdle();
  EXPECT_FALSE(sound::SoundCardStreamingForTesting());
  const Clock::time_point lastCall = Clock::now();
  ASSERT_EQ(Beep(2000, 100), TRUE);
  EXPECT_GE(Clock::now() - lastCall, 100ms);
  // The writer hands the tail of the tone over after Beep has returned; once
  // it has idled out, closing makes the file sink write out what it holds.
  WaitForIdle();
  EXPECT_FALSE(sound::SoundCardStreamingForTesting());
  sound::Shutdown();
  EXPECT_FALSE(sound::SoundCardStreamingForTesting()) << "a later Beep would start no writer";

  const uint32_t rate = 48000;
  const std::vector<int16_t> captured = ReadCapture();
  const std::vector<Burst> bursts = FindBursts(captured, FramesOf(5, rate));
  ASSERT_EQ(bursts.size(), static_cast<size_t>(kPasses + 1));
  for (size_t i = 0; i < bursts.size(); ++i) {
    const std::span<const int16_t> burst =
        std::span(captured).subspan(bursts[i].first, bursts[i].Length());
    EXPECT_NEAR(Millis(bursts[i].Length(), rate), 100.0, 2.0) << "tone " << i;
    EXPECT_NEAR(MeasureFrequency(burst, rate), 2000.0, 20.0) << "tone " << i;
    // Sample for sample the tone rendered: nothing lost or doubled between
    // the writes to the device.  The sine starts at zero, so the burst's
    // first non-zero sample is the tone's first or second.
    const ToneSpan tone{0, FramesOf(100, rate), 2000};
    bool exact = false;
    for (size_t lead = 0; lead < 2 && !exact && lead <= bursts[i].first; ++lead) {
      exact = bursts[i].first - lead + tone.Frames <= captured.size();
      for (int64_t k = 0; exact && k < tone.Frames; ++k)
        exact = captured[bursts[i].first - lead + static_cast<size_t>(k)] ==
                sound::ToneSample(tone, k, rate);
    }
    EXPECT_TRUE(exact) << "tone " << i;
  }
  // The pauses inside the ringing: at least the 50 ms slept, and exactly the
  // time between the calls less the tone, however late the sleeps woke.
  for (size_t i = 0; i + 1 < static_cast<size_t>(kPasses); ++i) {
    const double gap = Millis(bursts[i + 1].first - bursts[i].last - 1, rate);
    const double expected = Millis(calls[i + 1] - calls[i]) - 100.0;
    EXPECT_GE(gap, 49.5) << "pause " << i;
    EXPECT_NEAR(gap, expected, 2.0) << "pause " << i;
  }
}

// Windows takes 37 to 32767 Hz; a tone of no length is no sound, and done.
TEST(Beep, TakesWhatWindowsTakes) {
  for (const DWORD frequency : {36U, 37U, 32767U, 32768U}) {
    const Clock::time_point call = Clock::now();
    EXPECT_EQ(Beep(frequency, 0), frequency >= 37 && frequency <= 32767 ? TRUE : FALSE)
        << frequency;
    EXPECT_LT(Clock::now() - call, 50ms);
  }
}

TEST(Beep, FallsThroughWhenThereIsNoSoundCard) {
  sound::Shutdown();
  setenv("ALSA_CONFIG_PATH", CaptureEnvironment::Config("no_default.conf").c_str(), 1);
  const Clock::time_point call = Clock::now();
  const BOOL result = Beep(2000, 30);
  const Clock::duration took = Clock::now() - call;
  const sound::Device device = sound::ActiveDevice();
  sound::Shutdown();
  setenv("ALSA_CONFIG_PATH", CaptureEnvironment::Config("asound.conf").c_str(), 1);

  EXPECT_EQ(result, TRUE);
  EXPECT_GE(took, 30ms);
  // The PC speaker where this machine lets us have it, else the bell.
  EXPECT_NE(device, sound::Device::SoundCard);
  EXPECT_NE(device, sound::Device::Undecided);
}

}  // namespace
