#include "bench/tone_analysis.h"

#include <algorithm>
#include <cmath>

namespace bench {

std::vector<Burst> FindBursts(std::span<const int16_t> samples, uint32_t rate,
                              int64_t minGapSamples) {
  std::vector<Burst> bursts;
  const auto size = static_cast<int64_t>(samples.size());
  int64_t first = -1;
  int64_t last = -1;
  const auto close = [&] {
    if (first >= 0) bursts.push_back(Burst{first, last, FrequencyOf(samples, first, last, rate)});
    first = -1;
  };
  for (int64_t i = 0; i < size; ++i) {
    if (samples[static_cast<size_t>(i)] == 0) continue;
    if (first >= 0 && i - last > minGapSamples) close();
    if (first < 0) first = i;
    last = i;
  }
  close();
  // A tone already sounding when the recording began, or still sounding when
  // it stopped, has no known start or end.
  std::erase_if(bursts, [&](const Burst& b) {
    return b.First <= minGapSamples || size - 1 - b.Last <= minGapSamples;
  });
  return bursts;
}

double FrequencyOf(std::span<const int16_t> samples, int64_t first, int64_t last, uint32_t rate) {
  double firstCrossing = -1;
  double lastCrossing = -1;
  int64_t crossings = 0;
  for (int64_t i = std::max<int64_t>(first, 1); i <= last; ++i) {
    const double before = samples[static_cast<size_t>(i - 1)];
    const double now = samples[static_cast<size_t>(i)];
    // Rising through zero: from below to at-or-above.
    if (!(before < 0 && now >= 0)) continue;
    const double at = static_cast<double>(i - 1) + (-before) / (now - before);
    if (crossings == 0) firstCrossing = at;
    lastCrossing = at;
    ++crossings;
  }
  if (crossings < 2 || lastCrossing <= firstCrossing) return 0;
  return static_cast<double>(crossings - 1) * rate / (lastCrossing - firstCrossing);
}

Summary Summarise(std::vector<double> values) {
  Summary s;
  s.Count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  s.Median = values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  s.Min = values.front();
  s.Max = values.back();
  double sum = 0;
  for (const double v : values) sum += v;
  const double mean = sum / static_cast<double>(values.size());
  double squares = 0;
  for (const double v : values) squares += (v - mean) * (v - mean);
  s.StdDev = std::sqrt(squares / static_cast<double>(values.size()));
  return s;
}

RingingFigures Analyse(std::span<const Burst> bursts, uint32_t rate) {
  std::vector<double> periods;
  std::vector<double> tones;
  std::vector<double> pitches;
  const double msPerSample = 1000.0 / rate;
  for (size_t i = 0; i < bursts.size(); ++i) {
    const Burst& b = bursts[i];
    tones.push_back(static_cast<double>(b.Last - b.First + 1) * msPerSample);
    if (b.FrequencyHz > 0) pitches.push_back(b.FrequencyHz);
    if (i > 0) periods.push_back(static_cast<double>(b.First - bursts[i - 1].First) * msPerSample);
  }
  return RingingFigures{Summarise(periods), Summarise(tones), Summarise(pitches)};
}

}  // namespace bench
