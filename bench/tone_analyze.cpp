// Figures of a recorded ringing alarm: raw signed 16-bit little-endian mono
// samples in, one "name median min max stddev count" line per figure out.
//
//   rousel_tone_analyze FILE [RATE]      (RATE defaults to 48000)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "bench/tone_analysis.h"

namespace {

void Print(const char* name, const bench::Summary& s) {
  std::printf("%s %.3f %.3f %.3f %.3f %zu\n", name, s.Median, s.Min, s.Max, s.StdDev, s.Count);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FILE [RATE]\n", argv[0]);
    return 2;
  }
  const long rate = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 48000;
  if (rate < 8000) {
    std::fprintf(stderr, "%s: a rate of at least 8000 is needed\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 1;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto low = static_cast<uint8_t>(bytes[2 * i]);
    const auto high = static_cast<uint8_t>(bytes[2 * i + 1]);
    samples[i] = static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
  }
  const auto urate = static_cast<uint32_t>(rate);
  // One millisecond of silence parts two tones; a sine at any audible pitch
  // is never that long at zero.
  const std::vector<bench::Burst> bursts = bench::FindBursts(samples, urate, urate / 1000);
  const bench::RingingFigures figures = bench::Analyse(bursts, urate);
  std::printf("samples %zu\n", samples.size());
  Print("period_ms", figures.PeriodMs);
  Print("tone_ms", figures.ToneMs);
  Print("frequency_hz", figures.FrequencyHz);
  return 0;
}
