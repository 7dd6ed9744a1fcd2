#include "bench/tone_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Tone {
  double StartMs;
  double LengthMs;
  double FrequencyHz;
};

// A recording: silence (exact zeros) with sine tones, each starting at phase
// 0 as a synthesised tone does, with a short linear fade at both ends.
std::vector<int16_t> Record(const std::vector<Tone>& tones, double totalMs, uint32_t rate) {
  std::vector<int16_t> samples(static_cast<size_t>(totalMs * rate / 1000), 0);
  for (const Tone& t : tones) {
    const auto first = static_cast<int64_t>(std::llround(t.StartMs * rate / 1000));
    const auto frames = static_cast<int64_t>(std::llround(t.LengthMs * rate / 1000));
    const double fade = rate * 0.003;
    for (int64_t k = 0; k < frames; ++k) {
      const auto at = static_cast<size_t>(first + k);
      if (at >= samples.size()) break;
      const double gain = std::min({1.0, (k + 1) / fade, (frames - k) / fade});
      samples[at] = static_cast<int16_t>(
          std::lround(20000 * gain * std::sin(2 * std::numbers::pi * t.FrequencyHz * k / rate)));
    }
  }
  return samples;
}

std::vector<Tone> Ringing(int count, double firstMs, double periodMs, double lengthMs,
                          double frequency) {
  std::vector<Tone> tones;
  for (int i = 0; i < count; ++i) tones.push_back({firstMs + i * periodMs, lengthMs, frequency});
  return tones;
}

struct Case {
  const char* Name;
  std::vector<Tone> Tones;
  double TotalMs;
  uint32_t Rate;
  size_t Bursts;
  double PeriodMs;  // expected median
  double ToneMs;
  double FrequencyHz;
};
// CTest shows the parameter in the test name: the case's name, not its bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.Name;
}

class RingingFiguresTest : public ::testing::TestWithParam<Case> {};

TEST_P(RingingFiguresTest, MeasuresPeriodLengthAndPitch) {
  const Case& c = GetParam();
  const std::vector<int16_t> samples = Record(c.Tones, c.TotalMs, c.Rate);
  const auto bursts = bench::FindBursts(samples, c.Rate, c.Rate / 1000);
  ASSERT_EQ(bursts.size(), c.Bursts);
  const bench::RingingFigures f = bench::Analyse(bursts, c.Rate);
  const double sample = 1000.0 / c.Rate;
  EXPECT_NEAR(f.PeriodMs.Median, c.PeriodMs, 1.01 * sample);
  // The fade's first and last samples may round to silence.
  EXPECT_NEAR(f.ToneMs.Median, c.ToneMs, 2.01 * sample);
  EXPECT_NEAR(f.FrequencyHz.Median, c.FrequencyHz, 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, RingingFiguresTest,
    ::testing::Values(
        // 2000 Hz at 48 kHz passes through exact zeros every 12 samples:
        // they must not split a tone.
        Case{"Alarm48k", Ringing(21, 20, 150, 100, 2000), 3300, 48000, 21, 150, 100, 2000},
        Case{"Alarm44k", Ringing(21, 20, 150, 100, 2000), 3300, 44100, 21, 150, 100, 2000},
        Case{"SlowRhythm", Ringing(6, 20, 180, 120, 1000), 1200, 48000, 6, 180, 120, 1000},
        Case{"LowPitch", Ringing(4, 30, 400, 300, 37), 1700, 48000, 4, 400, 300, 37},
        // Tones cut by the start or the end of the recording are left out.
        Case{"CutAtBothEnds",
             {{0, 100, 2000}, {150, 100, 2000}, {300, 100, 2000}, {450, 100, 2000}},
             520,
             48000,
             2,
             150,
             100,
             2000}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.Name); });

TEST(RingingFiguresTest, UnevenPeriodsGiveMedianAndExtremes) {
  const std::vector<Tone> tones = {
      {20, 100, 2000}, {170, 100, 2000}, {323, 100, 2000}, {470, 100, 2000}, {620, 100, 2000}};
  const auto samples = Record(tones, 800, 48000);
  const auto f = bench::Analyse(bench::FindBursts(samples, 48000, 48), 48000);
  EXPECT_EQ(f.PeriodMs.Count, 4u);
  EXPECT_NEAR(f.PeriodMs.Median, 150, 0.05);  // 150, 153, 147, 150
  EXPECT_NEAR(f.PeriodMs.Min, 147, 0.05);
  EXPECT_NEAR(f.PeriodMs.Max, 153, 0.05);
  EXPECT_GT(f.PeriodMs.StdDev, 1.5);
}

TEST(RingingFiguresTest, SilenceHasNoTones) {
  const std::vector<int16_t> silence(48000, 0);
  EXPECT_TRUE(bench::FindBursts(silence, 48000, 48).empty());
  const auto f = bench::Analyse({}, 48000);
  EXPECT_EQ(f.PeriodMs.Count, 0u);
  EXPECT_EQ(f.ToneMs.Count, 0u);
}

struct SummaryCase {
  std::vector<double> Values;
  double Median;
  double Min;
  double Max;
  double StdDev;
};
void PrintTo(const SummaryCase& c, std::ostream* os) {
  *os << c.Values.size() << " values";
}

class SummaryTest : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(SummaryTest, OrderDoesNotMatter) {
  const SummaryCase& c = GetParam();
  const bench::Summary s = bench::Summarise(c.Values);
  EXPECT_EQ(s.Count, c.Values.size());
  EXPECT_DOUBLE_EQ(s.Median, c.Median);
  EXPECT_DOUBLE_EQ(s.Min, c.Min);
  EXPECT_DOUBLE_EQ(s.Max, c.Max);
  EXPECT_NEAR(s.StdDev, c.StdDev, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Series, SummaryTest,
                         ::testing::Values(SummaryCase{{}, 0, 0, 0, 0},
                                           SummaryCase{{5}, 5, 5, 5, 0},
                                           SummaryCase{{3, 1, 2}, 2, 1, 3, std::sqrt(2.0 / 3)},
                                           SummaryCase{{4, 1, 3, 2}, 2.5, 1, 4, std::sqrt(1.25)}),
                         [](const ::testing::TestParamInfo<SummaryCase>& param) {
                           return std::to_string(param.param.Values.size()) + "Values";
                         });

}  // namespace
