#include "standin/terminal/sound/synth.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

namespace sound {

namespace {

constexpr int64_t NanosPerSecond = 1'000'000'000;

// Floor division, also for negative numerators.
int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Whole seconds and the rest are scaled apart, so that days of stream time
// at 48 kHz stay far from int64 overflow.
int64_t FramesOfNanos(int64_t nanos, uint32_t rate) {
  const int64_t seconds = FloorDiv(nanos, NanosPerSecond);
  const int64_t rest = nanos - seconds * NanosPerSecond;
  return seconds * rate + rest * rate / NanosPerSecond;
}

// The first nanosecond at which `frames` frames have passed (rounded up).
int64_t NanosOfFrames(int64_t frames, uint32_t rate) {
  const int64_t seconds = FloorDiv(frames, rate);
  const int64_t rest = frames - seconds * rate;
  return seconds * NanosPerSecond + (rest * NanosPerSecond + rate - 1) / rate;
}

double Envelope(int64_t k, int64_t frames, uint32_t rate) {
  const int64_t fade = std::min(FramesOf(FadeMillis, rate), frames / 2);
  const int64_t fromEdge = std::min(k, frames - 1 - k);
  if (fromEdge >= fade) return 1.0;
  return 0.5 - 0.5 * std::cos(std::numbers::pi * (static_cast<double>(fromEdge) + 0.5) /
                              static_cast<double>(fade));
}

}  // namespace

int64_t FramesOf(uint64_t millis, uint32_t rate) {
  return static_cast<int64_t>(millis / 1000 * rate + millis % 1000 * rate / 1000);
}

int16_t ToneSample(const ToneSpan& span, int64_t k, uint32_t rate) {
  if (span.Frequency == 0 || uint64_t{span.Frequency} * 2 >= rate || k < 0 || k >= span.Frames)
    return 0;
  // (frequency * k) mod rate is the phase in 1/rate of a cycle, exact in
  // integers however long the tone has been running.
  const uint64_t phase = (uint64_t{span.Frequency} * static_cast<uint64_t>(k)) % rate;
  const double angle = 2.0 * std::numbers::pi * static_cast<double>(phase) / rate;
  const double value = ToneLevel * 32767.0 * Envelope(k, span.Frames, rate) * std::sin(angle);
  return static_cast<int16_t>(std::lround(value));
}

void RenderFrames(std::span<int16_t> out, int64_t first, const std::deque<ToneSpan>& spans,
                  uint32_t rate) {
  std::fill(out.begin(), out.end(), int16_t{0});
  const int64_t last = first + static_cast<int64_t>(out.size());
  std::vector<int16_t> cycle;
  for (const ToneSpan& span : spans) {
    const int64_t from = std::max(first, span.Start);
    const int64_t to = std::min(last, span.End());
    if (from >= to) continue;
    // Between the fades a sample depends only on its phase, which takes
    // rate / gcd(frequency, rate) values (24 for 2000 Hz at 48 kHz): when
    // the piece is longer than that, each value is worked out once.  The
    // samples come out the same as ToneSample's.
    const int64_t fade = std::min(FramesOf(FadeMillis, rate), span.Frames / 2);
    const uint32_t step = std::gcd(span.Frequency, rate);
    const int64_t cycleLength = step == 0 ? 0 : rate / step;
    const bool audible = span.Frequency != 0 && uint64_t{span.Frequency} * 2 < rate;
    if (!audible || cycleLength == 0 || cycleLength >= to - from) {
      for (int64_t f = from; f < to; ++f)
        out[static_cast<size_t>(f - first)] = ToneSample(span, f - span.Start, rate);
      continue;
    }
    cycle.resize(static_cast<size_t>(cycleLength));
    for (int64_t i = 0; i < cycleLength; ++i) {
      const double angle = 2.0 * std::numbers::pi * static_cast<double>(i * step) / rate;
      cycle[static_cast<size_t>(i)] =
          static_cast<int16_t>(std::lround(ToneLevel * 32767.0 * 1.0 * std::sin(angle)));
    }
    uint64_t phase = (uint64_t{span.Frequency} * static_cast<uint64_t>(from - span.Start)) % rate;
    for (int64_t f = from; f < to; ++f) {
      const int64_t k = f - span.Start;
      out[static_cast<size_t>(f - first)] = k < fade || k >= span.Frames - fade
                                                ? ToneSample(span, k, rate)
                                                : cycle[static_cast<size_t>(phase / step)];
      phase += span.Frequency;
      if (phase >= rate) phase -= rate;
    }
  }
}

void Timeline::Start(Clock::time_point now) {
  anchor_ = now;
  handed_ = 0;
}

int64_t Timeline::FrameAt(Clock::time_point t) const {
  return FramesOfNanos(std::chrono::nanoseconds(t - anchor_).count(), rate_);
}

Clock::time_point Timeline::TimeOf(int64_t frame) const {
  return anchor_ + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::nanoseconds(NanosOfFrames(frame, rate_)));
}

int64_t Timeline::Due(Clock::time_point now) const {
  return std::max<int64_t>(0, FrameAt(now) + lead_ - handed_);
}

int64_t Timeline::PlaceTone(Clock::time_point call, int64_t previousEnd) const {
  return std::max({handed_, FrameAt(call) + lead_, previousEnd});
}

Clock::time_point Timeline::ReturnTime(Clock::time_point call, int64_t start,
                                       uint32_t millis) const {
  const auto duration = std::chrono::milliseconds(millis);
  return std::max(call + duration, TimeOf(start - lead_) + duration);
}

void Timeline::Follow(Clock::time_point now, int64_t queued, int64_t deadband) {
  const int64_t modelled = handed_ - FrameAt(now);
  const int64_t error = modelled - queued;
  if (std::abs(error) <= deadband) return;
  // The device has played `error` frames more than the model says: move the
  // anchor earlier so that more is owed, by a quarter to ride out jitter.
  const int64_t step = error / 4;
  const int64_t nanos = step * NanosPerSecond / rate_;
  anchor_ -= std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanos));
}

void Timeline::Resync(Clock::time_point now) {
  anchor_ = now - std::chrono::duration_cast<Clock::duration>(
                      std::chrono::nanoseconds(NanosOfFrames(handed_, rate_)));
}

}  // namespace sound
