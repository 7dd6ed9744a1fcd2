// The ringing as a recording shows it: raw 16-bit mono samples cut into
// tones (bursts of sound between stretches of exact silence), and the
// figures the benchmarks report about them.  Pure arithmetic, no I/O.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace bench {

// One tone: the first and the last sample that are not silent, and its pitch.
struct Burst {
  int64_t First = 0;
  int64_t Last = 0;  // inclusive
  double FrequencyHz = 0;
};

// Bursts of non-zero samples; silence shorter than `minGapSamples` inside a
// tone (a sine passes through zero on its way) does not split it.  A burst
// that touches either end of the samples may be cut short and is left out.
std::vector<Burst> FindBursts(std::span<const int16_t> samples, uint32_t rate,
                              int64_t minGapSamples);

// Pitch of samples [first, last] from their rising zero crossings, each placed
// between two samples by linear interpolation; 0 with fewer than two.
double FrequencyOf(std::span<const int16_t> samples, int64_t first, int64_t last, uint32_t rate);

// Median, extremes and spread (population standard deviation) of a series.
struct Summary {
  size_t Count = 0;
  double Median = 0;
  double Min = 0;
  double Max = 0;
  double StdDev = 0;
};
Summary Summarise(std::vector<double> values);

// Start-to-start periods and tone lengths in milliseconds, pitches in hertz.
struct RingingFigures {
  Summary PeriodMs;
  Summary ToneMs;
  Summary FrequencyHz;
};
RingingFigures Analyse(std::span<const Burst> bursts, uint32_t rate);

}  // namespace bench
