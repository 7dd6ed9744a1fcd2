// The sound-card tone as numbers: the samples of a tone and the frame clock
// that ties the audio stream to the monotonic clock.  Pure arithmetic, no
// I/O, so that both can be checked sample by sample.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace sound {

using Clock = std::chrono::steady_clock;

// One tone placed on the stream: frames [Start, End()) carry a sine at
// Frequency hertz; frames outside every span are silence (exact zeros).
struct ToneSpan {
  int64_t Start = 0;
  int64_t Frames = 0;
  uint32_t Frequency = 0;

  int64_t End() const { return Start + Frames; }
};

// Peak level as a fraction of full scale: loud enough to wake a sleeper,
// with headroom for the overshoot of a resampler between us and the card.
inline constexpr double ToneLevel = 0.6;
// Raised-cosine fade at both ends of a tone; a tone that starts or stops at
// full level clicks.
inline constexpr uint32_t FadeMillis = 3;

// The number of frames that `millis` milliseconds take at `rate` frames per
// second, rounded down.
int64_t FramesOf(uint64_t millis, uint32_t rate);

// Sample `k` (0 <= k < span.Frames) of a span.  The phase is computed from k
// itself rather than accumulated, so a tone of hours keeps its pitch, and a
// frequency the rate cannot carry (Nyquist and above) gives silence instead
// of an aliased pitch.
int16_t ToneSample(const ToneSpan& span, int64_t k, uint32_t rate);

// Fills `out` with the stream frames [first, first + out.size()): the
// spans' samples where they lie, zeros elsewhere.  `spans` are sorted and do
// not overlap.  Works the samples out afresh; a writer that renders a stream
// piece by piece keeps a ToneRenderer instead.
void RenderFrames(std::span<int16_t> out, int64_t first, const std::deque<ToneSpan>& spans,
                  uint32_t rate);

// RenderFrames with the samples of the last tone's shape (frequency, length,
// rate) kept: its fade-in, its fade-out and a stretch of whole cycles of its
// steady part, each sample ToneSample's.  Every tone of a ringing alarm has
// the same shape, so a tone costs a few copies instead of a sine and a
// cosine per sample.  Between the fades a pitch whose cycle takes more
// than a few thousand frames (37 Hz at 48 kHz repeats only after a second)
// is worked out sample by sample, unless the whole steady part is that short.
class ToneRenderer {
 public:
  void Render(std::span<int16_t> out, int64_t first, const std::deque<ToneSpan>& spans,
              uint32_t rate);
  // Makes the tables those of `span`'s shape, as Render does when it meets
  // the span: lets the thread that places a tone pay for them.
  void Prepare(const ToneSpan& span, uint32_t rate);

 private:
  // Writes the span's frames [from, to) (relative to its start) to `out`.
  void RenderPiece(int16_t* out, const ToneSpan& span, int64_t from, int64_t to) const;

  uint32_t frequency_ = 0;
  int64_t frames_ = -1;
  uint32_t rate_ = 0;
  int64_t fade_ = 0;
  int64_t cycle_ = 0;            // frames of one period of the steady part; 0: no table
  std::vector<int16_t> head_;    // frames [0, fade_)
  std::vector<int16_t> tail_;    // frames [frames_ - fade_, frames_)
  std::vector<int16_t> steady_;  // frames [fade_, fade_ + steady_.size()), whole cycles
};

// The stream's frame clock.  Frame f is modelled to be heard at
// anchor + f / rate; the writer keeps `lead` frames handed to the device
// ahead of that, which is the queue depth and the latency of a tone.
//
// A null or file sink swallows samples at once, so the clock, not the device,
// paces the writer.  A real card plays at its own crystal's pace, which
// drifts from the monotonic clock by some parts per million: Follow() moves
// the anchor so that the device's queue stays near `lead` and neither runs
// dry nor fills up over hours of ringing.
class Timeline {
 public:
  Timeline(uint32_t rate, int64_t lead) : rate_(rate), lead_(lead) {}

  // A fresh stream: frame 0 is heard at `now` and nothing is handed over.
  void Start(Clock::time_point now);

  uint32_t Rate() const { return rate_; }
  int64_t Lead() const { return lead_; }
  int64_t Handed() const { return handed_; }
  void Advance(int64_t frames) { handed_ += frames; }

  // The frame heard at `t` (rounded down; negative before the anchor).
  int64_t FrameAt(Clock::time_point t) const;
  // When frame `frame` is heard: the first nanosecond it has begun.
  Clock::time_point TimeOf(int64_t frame) const;

  // Frames the writer owes at `now` to keep `lead` frames queued.
  int64_t Due(Clock::time_point now) const;

  // Where a tone asked for at `call` begins: one lead after the call, but
  // never over frames already handed over nor over the tone before it, which
  // ends at `previousEnd`.
  int64_t PlaceTone(Clock::time_point call, int64_t previousEnd) const;

  // When the caller of a tone of `millis` that begins at frame `start` may
  // return: its duration after the moment the tone was placed for, and never
  // before `millis` after the call.  The audio runs one lead behind the
  // caller, so tones and the pauses between calls keep their lengths.
  Clock::time_point ReturnTime(Clock::time_point call, int64_t start, uint32_t millis) const;

  // The device reports `queued` frames still to play at `now`.  When that
  // differs from the model by more than `deadband` frames (the device's
  // pointer moves in periods), a quarter of the difference is taken into the
  // anchor.
  void Follow(Clock::time_point now, int64_t queued, int64_t deadband);

  // After an underrun the device holds nothing: playback goes on with the
  // next frame handed over, from `now`.
  void Resync(Clock::time_point now);

 private:
  uint32_t rate_;
  int64_t lead_;
  Clock::time_point anchor_{};
  int64_t handed_ = 0;
};

}  // namespace sound
