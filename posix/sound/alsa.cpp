// The tone through ALSA: 16-bit mono, a small buffer, samples made on the
// fly by a writer thread that runs only while tones are coming.
//
// Between the tones of a ringing alarm the program sleeps 50 ms.  A stream
// that is simply left without data for that long underruns, which on many
// cards clicks and on some restarts with a delay; so the writer keeps the
// stream fed with silence between tones and, once no tone has come for the
// idle time, drops the stream and ends.  An alarm waiting for hours thus has
// the device open but stopped and no thread running.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "posix/sound/alsa.h"
#include "posix/sound/synth.h"

namespace sound::alsa {

namespace {

// 48 kHz is the native rate of most cards and of the sound servers; 44.1 kHz
// for the odd device without it.  Both carry 2000 Hz as exactly 24 and
// 22.05 samples per cycle.
constexpr unsigned Rates[] = {48000, 44100};
// Buffer of about 40 ms: short enough that a tone starts promptly, long
// enough to ride out a busy moment of the machine.
constexpr unsigned LatencyMicros = 40000;
// The writer keeps about this much queued ahead of playback.
constexpr uint32_t LeadMillis = 20;
constexpr std::chrono::milliseconds DefaultIdleStop{1000};
// Recovery attempts for one write before the stream is given up.
constexpr int MaxRecoveries = 3;

// libasound reports its troubles by printing to stderr, which would land in
// the middle of the alarm screen.  Failures show in the return codes.
void Quiet(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
           const char* /*fmt*/, ...) {}

struct Engine {
  std::mutex Mutex;
  std::condition_variable Wake;
  snd_pcm_t* Pcm = nullptr;
  bool Failed = false;
  uint32_t Rate = 0;
  int64_t Buffer = 0;  // frames
  int64_t Period = 0;  // frames
  std::chrono::nanoseconds Tick{};
  Timeline Schedule{48000, 0};
  std::deque<ToneSpan> Spans;
  bool Streaming = false;
  bool StopRequested = false;
  std::thread Writer;
  Clock::time_point QuietSince{};
  std::chrono::milliseconds IdleStop = DefaultIdleStop;
};

// Never destroyed: the writer may still be winding down while the process
// exits, and it must not find its state gone.
Engine& TheEngine() {
  static Engine* const engine = new Engine;
  return *engine;
}

bool SetSoftwareParams(snd_pcm_t* pcm, int64_t startThreshold, int64_t availMin) {
  snd_pcm_sw_params_t* sw = nullptr;
  if (snd_pcm_sw_params_malloc(&sw) < 0) return false;
  const bool ok =
      snd_pcm_sw_params_current(pcm, sw) >= 0 &&
      snd_pcm_sw_params_set_start_threshold(pcm, sw,
                                            static_cast<snd_pcm_uframes_t>(startThreshold)) >= 0 &&
      snd_pcm_sw_params_set_avail_min(pcm, sw, static_cast<snd_pcm_uframes_t>(availMin)) >= 0 &&
      snd_pcm_sw_params(pcm, sw) >= 0;
  snd_pcm_sw_params_free(sw);
  return ok;
}

unsigned CurrentRate(snd_pcm_t* pcm) {
  snd_pcm_hw_params_t* hw = nullptr;
  if (snd_pcm_hw_params_malloc(&hw) < 0) return 0;
  unsigned rate = 0;
  int dir = 0;
  if (snd_pcm_hw_params_current(pcm, hw) < 0 || snd_pcm_hw_params_get_rate(hw, &rate, &dir) < 0)
    rate = 0;
  snd_pcm_hw_params_free(hw);
  return rate;
}

// Sets up an open PCM; fills in the engine's format fields.
bool Configure(snd_pcm_t* pcm, Engine& e) {
  // Opened non-blocking so that a device held by another program fails at
  // once instead of hanging the alarm; the writes then block as usual.
  if (snd_pcm_nonblock(pcm, 0) < 0) return false;
  bool set = false;
  for (unsigned wanted : Rates) {
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, wanted, 1,
                           LatencyMicros) >= 0) {
      set = true;
      break;
    }
  }
  if (!set) return false;
  const unsigned rate = CurrentRate(pcm);
  snd_pcm_uframes_t buffer = 0;
  snd_pcm_uframes_t period = 0;
  if (rate < 8000 || snd_pcm_get_params(pcm, &buffer, &period) < 0 || buffer == 0 || period == 0)
    return false;
  e.Rate = rate;
  e.Buffer = static_cast<int64_t>(buffer);
  e.Period = static_cast<int64_t>(period);
  const int64_t lead =
      std::clamp(std::min(FramesOf(LeadMillis, rate), e.Buffer / 2), e.Period, e.Buffer);
  e.Schedule = Timeline(rate, lead);
  // Wake about twice per lead so the queue never runs low between wake-ups.
  const int64_t tickFrames = std::max<int64_t>(1, std::min(e.Period, lead / 2));
  e.Tick = std::chrono::nanoseconds(tickFrames * 1'000'000'000 / rate);
  // Start playing as soon as the first lead is queued rather than when the
  // whole buffer is full, which the clock-paced writer would take 40 ms for.
  return SetSoftwareParams(pcm, lead, e.Period);
}

enum class WriteOutcome { Written, Recovered, Failed };

// Hands all samples to the device; an underrun or a suspend on the way is
// recovered, and reported so that the frame clock can be resynchronised.
WriteOutcome WriteAll(snd_pcm_t* pcm, const std::vector<int16_t>& samples) {
  bool recovered = false;
  int recoveries = 0;
  size_t done = 0;
  while (done < samples.size()) {
    const snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples.data() + done, samples.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (++recoveries > MaxRecoveries) return WriteOutcome::Failed;
    if (n < 0 && snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) return WriteOutcome::Failed;
    recovered = true;
  }
  return recovered ? WriteOutcome::Recovered : WriteOutcome::Written;
}

void WriterLoop(Engine& e) {
  std::vector<int16_t> samples;
  std::unique_lock lock(e.Mutex);
  while (!e.StopRequested) {
    const Clock::time_point now = Clock::now();
    Timeline& clock = e.Schedule;
    while (!e.Spans.empty() && e.Spans.front().End() <= clock.Handed()) e.Spans.pop_front();
    if (e.Spans.empty() && now >= e.QuietSince + e.IdleStop) break;

    const int64_t due = std::min(clock.Due(now), e.Buffer);
    if (due <= 0) {
      e.Wake.wait_until(lock, now + e.Tick);
      continue;
    }
    samples.resize(static_cast<size_t>(due));
    RenderFrames(samples, clock.Handed(), e.Spans, e.Rate);
    clock.Advance(due);

    // The device belongs to this thread while it streams; Play() touches
    // only the spans and the frame clock, under the lock.
    lock.unlock();
    const WriteOutcome outcome = WriteAll(e.Pcm, samples);
    const snd_pcm_sframes_t avail =
        outcome == WriteOutcome::Written ? snd_pcm_avail(e.Pcm) : snd_pcm_sframes_t{-1};
    lock.lock();
    if (outcome == WriteOutcome::Failed) {
      e.Failed = true;
      break;
    }
    if (outcome == WriteOutcome::Recovered) {
      clock.Resync(Clock::now());
    } else if (avail >= 0 && avail < e.Buffer) {
      // A real device says how much it still holds.  A null or file sink
      // reports the whole buffer free at all times: nothing to follow there.
      clock.Follow(Clock::now(), e.Buffer - avail, e.Period);
    }
  }
  e.Streaming = false;
  snd_pcm_t* const pcm = e.Pcm;
  lock.unlock();
  // Whatever is still queued is silence by now (or the tail of a tone cut
  // short by Close()): stop at once.
  snd_pcm_drop(pcm);
}

// Waits for a writer that has ended or is ending.  Called with the lock held;
// the writer takes the lock no more once `streaming` is false.
void JoinWriter(Engine& e) {
  if (e.Writer.joinable() && !e.Streaming) e.Writer.join();
}

}  // namespace

bool Compiled() {
  return true;
}

bool Open() {
  Engine& e = TheEngine();
  std::lock_guard lock(e.Mutex);
  if (e.Pcm != nullptr) return !e.Failed;
  snd_lib_error_set_handler(Quiet);
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return false;
  if (!Configure(pcm, e)) {
    snd_pcm_close(pcm);
    return false;
  }
  e.Pcm = pcm;
  e.Failed = false;
  return true;
}

std::optional<Clock::time_point> Play(uint32_t frequency, uint32_t millis, Clock::time_point call) {
  Engine& e = TheEngine();
  std::unique_lock lock(e.Mutex);
  if (e.Pcm == nullptr || e.Failed) return std::nullopt;
  if (!e.Streaming) {
    JoinWriter(e);
    if (e.Failed) return std::nullopt;
    // After a drop the PCM waits in the SETUP state; prepare it again.
    if (snd_pcm_prepare(e.Pcm) < 0) {
      e.Failed = true;
      return std::nullopt;
    }
    e.Schedule.Start(Clock::now());
    e.Spans.clear();
    e.StopRequested = false;
    e.Streaming = true;
    try {
      e.Writer = std::thread(WriterLoop, std::ref(e));
    } catch (const std::system_error&) {
      e.Streaming = false;
      e.Failed = true;
      return std::nullopt;
    }
  }
  const int64_t previousEnd = e.Spans.empty() ? 0 : e.Spans.back().End();
  const int64_t start = e.Schedule.PlaceTone(call, previousEnd);
  e.Spans.push_back(ToneSpan{start, FramesOf(millis, e.Rate), frequency});
  const Clock::time_point until = e.Schedule.ReturnTime(call, start, millis);
  e.QuietSince = until;
  return until;
}

void Close() {
  Engine& e = TheEngine();
  std::unique_lock lock(e.Mutex);
  e.StopRequested = true;
  e.Wake.notify_all();
  if (e.Writer.joinable()) {
    lock.unlock();
    e.Writer.join();
    lock.lock();
  }
  e.Streaming = false;
  e.StopRequested = false;
  e.Spans.clear();
  if (e.Pcm != nullptr) snd_pcm_close(e.Pcm);
  e.Pcm = nullptr;
  e.Failed = false;
}

bool Streaming() {
  Engine& e = TheEngine();
  std::lock_guard lock(e.Mutex);
  return e.Streaming;
}

void SetIdleStop(std::chrono::milliseconds idle) {
  Engine& e = TheEngine();
  std::lock_guard lock(e.Mutex);
  e.IdleStop = idle;
}

}  // namespace sound::alsa
