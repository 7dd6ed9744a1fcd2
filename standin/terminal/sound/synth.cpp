#include "standin/terminal/sound/synth.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

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

// Where a pitch takes more frames than this to come round, the steady part
// is not tabled (see ToneRenderer).
constexpr int64_t MaxCycleFrames = 4096;
// The steady part is tabled as whole cycles of about this many frames, so
// that it goes out in a few long copies rather than many short ones.
constexpr int64_t SteadyStretchFrames = 2048;

int64_t FadeFrames(int64_t frames, uint32_t rate) {
  return std::min(FramesOf(FadeMillis, rate), frames / 2);
}

bool Audible(uint32_t frequency, uint32_t rate) {
  return frequency != 0 && uint64_t{frequency} * 2 < rate;
}

double Envelope(int64_t k, int64_t frames, uint32_t rate) {
  const int64_t fade = FadeFrames(frames, rate);
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
  if (!Audible(span.Frequency, rate) || k < 0 || k >= span.Frames) return 0;
  // (frequency * k) mod rate is the phase in 1/rate of a cycle, exact in
  // integers however long the tone has been running.
  const uint64_t phase = (uint64_t{span.Frequency} * static_cast<uint64_t>(k)) % rate;
  const double angle = 2.0 * std::numbers::pi * static_cast<double>(phase) / rate;
  const double value = ToneLevel * 32767.0 * Envelope(k, span.Frames, rate) * std::sin(angle);
  return static_cast<int16_t>(std::lround(value));
}

void RenderFrames(std::span<int16_t> out, int64_t first, const std::deque<ToneSpan>& spans,
                  uint32_t rate) {
  ToneRenderer renderer;
  renderer.Render(out, first, spans, rate);
}

void ToneRenderer::Render(std::span<int16_t> out, int64_t first, const std::deque<ToneSpan>& spans,
                          uint32_t rate) {
  const int64_t last = first + static_cast<int64_t>(out.size());
  int64_t filled = first;  // every frame before this one is written
  const auto at = [&](int64_t frame) { return out.data() + (frame - first); };
  for (const ToneSpan& span : spans) {
    if (span.Start >= last) break;
    const int64_t from = std::max(filled, span.Start);
    const int64_t to = std::min(last, span.End());
    if (from >= to) continue;
    std::fill(at(filled), at(from), int16_t{0});
    if (Audible(span.Frequency, rate)) {
      Prepare(span, rate);
      RenderPiece(at(from), span, from - span.Start, to - span.Start);
    } else {
      std::fill(at(from), at(to), int16_t{0});
    }
    filled = to;
  }
  std::fill(at(filled), at(last), int16_t{0});
}

void ToneRenderer::Prepare(const ToneSpan& span, uint32_t rate) {
  if (span.Frequency == frequency_ && span.Frames == frames_ && rate == rate_) return;
  frequency_ = span.Frequency;
  frames_ = span.Frames;
  rate_ = rate;
  const ToneSpan shape{0, span.Frames, span.Frequency};
  fade_ = FadeFrames(span.Frames, rate);
  head_.resize(static_cast<size_t>(fade_));
  tail_.resize(static_cast<size_t>(fade_));
  for (int64_t k = 0; k < fade_; ++k) {
    head_[static_cast<size_t>(k)] = ToneSample(shape, k, rate);
    tail_[static_cast<size_t>(k)] = ToneSample(shape, span.Frames - fade_ + k, rate);
  }
  // Between the fades a sample depends only on its phase, (frequency * k)
  // mod rate, which comes round again after rate / gcd(frequency, rate)
  // frames: 24 for 2000 Hz at 48 kHz, 441 at 44.1 kHz.
  steady_.clear();
  cycle_ = 0;
  const int64_t steadyFrames = span.Frames - 2 * fade_;
  const int64_t cycle = rate / std::gcd(span.Frequency, rate);
  const int64_t known = std::min(cycle, steadyFrames);
  if (known <= 0 || known > MaxCycleFrames) return;
  cycle_ = cycle;
  int64_t stretch = known;
  if (cycle < steadyFrames) {
    const int64_t cycles = std::min(std::max<int64_t>(1, SteadyStretchFrames / cycle),
                                    (steadyFrames + cycle - 1) / cycle);
    stretch = cycles * cycle;
  }
  steady_.resize(static_cast<size_t>(stretch));
  for (int64_t i = 0; i < known; ++i)
    steady_[static_cast<size_t>(i)] = ToneSample(shape, fade_ + i, rate);
  for (int64_t i = known; i < stretch; ++i)
    steady_[static_cast<size_t>(i)] = steady_[static_cast<size_t>(i - cycle)];
}

void ToneRenderer::RenderPiece(int16_t* out, const ToneSpan& span, int64_t from, int64_t to) const {
  const int64_t steadyEnd = span.Frames - fade_;
  int64_t k = from;
  if (k < fade_) {
    const int64_t n = std::min(to, fade_) - k;
    out = std::copy_n(head_.begin() + k, n, out);
    k += n;
  }
  const int64_t steadyTo = std::min(to, steadyEnd);
  if (steady_.empty()) {
    for (; k < steadyTo; ++k) *out++ = ToneSample(span, k, rate_);
  }
  while (k < steadyTo) {
    const int64_t index = (k - fade_) % cycle_;
    const int64_t n = std::min(steadyTo - k, static_cast<int64_t>(steady_.size()) - index);
    out = std::copy_n(steady_.begin() + index, n, out);
    k += n;
  }
  if (k < to) std::copy_n(tail_.begin() + (k - steadyEnd), to - k, out);
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
