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
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "standin/terminal/base/run_within.h"
#include "standin/terminal/base/symbols.h"
#include "standin/terminal/sound/alsa.h"
#include "standin/terminal/sound/synth.h"

namespace sound::alsa {

namespace {

// 48 kHz is the native rate of most cards and of the sound servers; 44.1 kHz
// for the odd device without it.  Both carry 2000 Hz as exactly 24 and
// 22.05 samples per cycle.
constexpr unsigned Rates[] = {48000, 44100};
// The writer keeps about LeadMillis queued ahead of playback and tops it up
// every LeadMillis - SafetyMillis: a ringing alarm then wakes it once per
// pass of its rhythm (every 150 ms), and a wake-up that comes SafetyMillis late still finds sound
// queued.  A tone is heard LeadMillis after its Beep, which an alarm's ear
// does not notice; the rhythm does not change.  The buffer holds the lead
// with a period to spare, so writes never wait for the device.  (Each wake
// costs about as much as the samples it writes: fewer, larger writes are
// what brings the ringing cost near a program that only plays the tone.)
constexpr uint32_t LeadMillis = 180;
constexpr uint32_t SafetyMillis = 30;
constexpr unsigned LatencyMicros = 250000;
// Less than this is not worth a write of its own: it waits for the next tick.
constexpr uint32_t SmallestWriteMillis = 5;
constexpr std::chrono::milliseconds DefaultIdleStop{1000};
// Recovery attempts for one write before the stream is given up.
constexpr int MaxRecoveries = 3;

// libasound is loaded when the first tone needs it, not at the program's
// start: an alarm that waits for hours pays nothing for it (its relocations
// were most of the start-up's work), and a machine without it still gets the
// speaker or the bell.
struct Asound {
  decltype(&snd_lib_error_set_handler) LibErrorSetHandler = nullptr;
  decltype(&snd_pcm_avail) PcmAvail = nullptr;
  decltype(&snd_pcm_close) PcmClose = nullptr;
  decltype(&snd_pcm_drop) PcmDrop = nullptr;
  decltype(&snd_pcm_get_params) PcmGetParams = nullptr;
  decltype(&snd_pcm_hw_params_current) PcmHwParamsCurrent = nullptr;
  decltype(&snd_pcm_hw_params_free) PcmHwParamsFree = nullptr;
  decltype(&snd_pcm_hw_params_get_rate) PcmHwParamsGetRate = nullptr;
  decltype(&snd_pcm_hw_params_malloc) PcmHwParamsMalloc = nullptr;
  decltype(&snd_pcm_nonblock) PcmNonblock = nullptr;
  decltype(&snd_pcm_open) PcmOpen = nullptr;
  decltype(&snd_pcm_prepare) PcmPrepare = nullptr;
  decltype(&snd_pcm_recover) PcmRecover = nullptr;
  decltype(&snd_pcm_set_params) PcmSetParams = nullptr;
  decltype(&snd_pcm_sw_params) PcmSwParams = nullptr;
  decltype(&snd_pcm_sw_params_current) PcmSwParamsCurrent = nullptr;
  decltype(&snd_pcm_sw_params_free) PcmSwParamsFree = nullptr;
  decltype(&snd_pcm_sw_params_malloc) PcmSwParamsMalloc = nullptr;
  decltype(&snd_pcm_sw_params_set_avail_min) PcmSwParamsSetAvailMin = nullptr;
  decltype(&snd_pcm_sw_params_set_start_threshold) PcmSwParamsSetStartThreshold = nullptr;
  decltype(&snd_pcm_writei) PcmWritei = nullptr;
};
Asound Lib;

using base::Bind;

// Once; false when the library or one of its functions is missing.
bool Load() {
  static const bool Loaded = [] {
    void* const library = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    Asound lib;
    const bool all =
        Bind(library, "snd_lib_error_set_handler", lib.LibErrorSetHandler) &&
        Bind(library, "snd_pcm_avail", lib.PcmAvail) &&
        Bind(library, "snd_pcm_close", lib.PcmClose) &&
        Bind(library, "snd_pcm_drop", lib.PcmDrop) &&
        Bind(library, "snd_pcm_get_params", lib.PcmGetParams) &&
        Bind(library, "snd_pcm_hw_params_current", lib.PcmHwParamsCurrent) &&
        Bind(library, "snd_pcm_hw_params_free", lib.PcmHwParamsFree) &&
        Bind(library, "snd_pcm_hw_params_get_rate", lib.PcmHwParamsGetRate) &&
        Bind(library, "snd_pcm_hw_params_malloc", lib.PcmHwParamsMalloc) &&
        Bind(library, "snd_pcm_nonblock", lib.PcmNonblock) &&
        Bind(library, "snd_pcm_open", lib.PcmOpen) &&
        Bind(library, "snd_pcm_prepare", lib.PcmPrepare) &&
        Bind(library, "snd_pcm_recover", lib.PcmRecover) &&
        Bind(library, "snd_pcm_set_params", lib.PcmSetParams) &&
        Bind(library, "snd_pcm_sw_params", lib.PcmSwParams) &&
        Bind(library, "snd_pcm_sw_params_current", lib.PcmSwParamsCurrent) &&
        Bind(library, "snd_pcm_sw_params_free", lib.PcmSwParamsFree) &&
        Bind(library, "snd_pcm_sw_params_malloc", lib.PcmSwParamsMalloc) &&
        Bind(library, "snd_pcm_sw_params_set_avail_min", lib.PcmSwParamsSetAvailMin) &&
        Bind(library, "snd_pcm_sw_params_set_start_threshold", lib.PcmSwParamsSetStartThreshold) &&
        Bind(library, "snd_pcm_writei", lib.PcmWritei);
    if (!all) {
      dlclose(library);
      return false;
    }
    Lib = lib;
    return true;
  }();
  return Loaded;
}

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
  int64_t SmallestWrite = 1;  // frames
  Timeline Schedule{48000, 0};
  std::deque<ToneSpan> Spans;
  // The writer's samples and tone tables, both made by the thread that
  // places the tones: a thread's first allocation costs it an arena of its
  // own, and the writer needs none.
  std::vector<int16_t> Samples;
  ToneRenderer Renderer;
  bool Streaming = false;
  bool StopRequested = false;
  std::thread Writer;
  Clock::time_point QuietSince{};
  std::chrono::milliseconds IdleStop = DefaultIdleStop;
};

// Never destroyed: the writer may still be winding down while the process
// exits, and it must not find its state gone.  Replaced by a fresh one when
// closing the old one takes too long (see Close); the old one is left to its
// threads.
std::atomic<Engine*> Current{nullptr};

Engine& TheEngine() {
  static const bool Started = [] {
    Current.store(new Engine);
    return true;
  }();
  (void)Started;
  return *Current.load();
}

// How long closing may take: stopping the writer, letting the device go.  A
// device whose writes block (a hung sound server, a sink that never drains)
// would otherwise hold up the program's exit for good.
constexpr std::chrono::milliseconds ClosePatience{250};

bool SetSoftwareParams(snd_pcm_t* pcm, int64_t startThreshold, int64_t availMin) {
  snd_pcm_sw_params_t* sw = nullptr;
  if (Lib.PcmSwParamsMalloc(&sw) < 0) return false;
  const bool ok =
      Lib.PcmSwParamsCurrent(pcm, sw) >= 0 &&
      Lib.PcmSwParamsSetStartThreshold(pcm, sw, static_cast<snd_pcm_uframes_t>(startThreshold)) >=
          0 &&
      Lib.PcmSwParamsSetAvailMin(pcm, sw, static_cast<snd_pcm_uframes_t>(availMin)) >= 0 &&
      Lib.PcmSwParams(pcm, sw) >= 0;
  Lib.PcmSwParamsFree(sw);
  return ok;
}

unsigned CurrentRate(snd_pcm_t* pcm) {
  snd_pcm_hw_params_t* hw = nullptr;
  if (Lib.PcmHwParamsMalloc(&hw) < 0) return 0;
  unsigned rate = 0;
  int dir = 0;
  if (Lib.PcmHwParamsCurrent(pcm, hw) < 0 || Lib.PcmHwParamsGetRate(hw, &rate, &dir) < 0) rate = 0;
  Lib.PcmHwParamsFree(hw);
  return rate;
}

// Sets up an open PCM; fills in the engine's format fields.
bool Configure(snd_pcm_t* pcm, Engine& e) {
  // Opened non-blocking so that a device held by another program fails at
  // once instead of hanging the alarm; the writes then block as usual.
  if (Lib.PcmNonblock(pcm, 0) < 0) return false;
  bool set = false;
  for (unsigned wanted : Rates) {
    if (Lib.PcmSetParams(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, wanted, 1,
                         LatencyMicros) >= 0) {
      set = true;
      break;
    }
  }
  if (!set) return false;
  const unsigned rate = CurrentRate(pcm);
  snd_pcm_uframes_t buffer = 0;
  snd_pcm_uframes_t period = 0;
  if (rate < 8000 || Lib.PcmGetParams(pcm, &buffer, &period) < 0 || buffer == 0 || period == 0)
    return false;
  e.Rate = rate;
  e.Buffer = static_cast<int64_t>(buffer);
  e.Period = static_cast<int64_t>(period);
  // A device that grants less buffer than asked gets a shorter lead, and
  // ticks of at least half of it.
  const int64_t lead = std::clamp(std::min(FramesOf(LeadMillis, rate), e.Buffer - e.Period),
                                  std::min(e.Period, e.Buffer), e.Buffer);
  e.Schedule = Timeline(rate, lead);
  const int64_t tickFrames =
      std::max<int64_t>(1, lead - std::min(FramesOf(SafetyMillis, rate), lead / 2));
  e.Tick = std::chrono::nanoseconds(tickFrames * 1'000'000'000 / rate);
  e.SmallestWrite = std::min(FramesOf(SmallestWriteMillis, rate), tickFrames);
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
    const snd_pcm_sframes_t n = Lib.PcmWritei(pcm, samples.data() + done, samples.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (++recoveries > MaxRecoveries) return WriteOutcome::Failed;
    if (n < 0 && Lib.PcmRecover(pcm, static_cast<int>(n), 1) < 0) return WriteOutcome::Failed;
    recovered = true;
  }
  return recovered ? WriteOutcome::Recovered : WriteOutcome::Written;
}

void WriterLoop(Engine& e) {
  std::vector<int16_t>& samples = e.Samples;
  std::unique_lock lock(e.Mutex);
  while (!e.StopRequested) {
    const Clock::time_point now = Clock::now();
    Timeline& clock = e.Schedule;
    while (!e.Spans.empty() && e.Spans.front().End() <= clock.Handed()) e.Spans.pop_front();
    if (e.Spans.empty() && now >= e.QuietSince + e.IdleStop) break;

    const int64_t due = std::min(clock.Due(now), e.Buffer);
    if (due < e.SmallestWrite) {
      // Until a tick's worth has played since the queue was last full.
      const auto owed =
          std::chrono::nanoseconds(std::max<int64_t>(due, 0) * 1'000'000'000 / e.Rate);
      e.Wake.wait_until(lock, now + e.Tick - owed);
      continue;
    }
    samples.resize(static_cast<size_t>(due));
    e.Renderer.Render(samples, clock.Handed(), e.Spans, e.Rate);
    clock.Advance(due);

    // The device belongs to this thread while it streams; Play() touches
    // only the spans and the frame clock, under the lock.
    lock.unlock();
    const WriteOutcome outcome = WriteAll(e.Pcm, samples);
    const snd_pcm_sframes_t avail =
        outcome == WriteOutcome::Written ? Lib.PcmAvail(e.Pcm) : snd_pcm_sframes_t{-1};
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
  Lib.PcmDrop(pcm);
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

namespace {

// Opening the device may block for as long as the sound server likes (a hung
// server, a file sink nobody reads): it is done on a thread of its own, one
// at a time, and waited for a bounded time.  A late success is taken by a
// later tone; a failure is tried again after a pause.
constexpr std::chrono::milliseconds OpenPatience{250};
constexpr std::chrono::seconds RetryPause{30};

struct Opener {
  std::mutex Mutex;
  std::condition_variable Done;
  bool Running = false;
  bool Failed = false;  // the last attempt failed
  Clock::time_point LastTry{};
};
Opener& TheOpener() {
  static auto* opener = new Opener;  // an opener may outlive the process's end
  return *opener;
}

// The blocking part, without any lock the tones or the exit take.
bool OpenDevice() {
  if (!Load()) return false;
  Lib.LibErrorSetHandler(Quiet);
  snd_pcm_t* pcm = nullptr;
  if (Lib.PcmOpen(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return false;
  Engine configured;
  if (!Configure(pcm, configured)) {
    Lib.PcmClose(pcm);
    return false;
  }
  Engine& e = TheEngine();
  std::lock_guard lock(e.Mutex);
  if (e.Pcm != nullptr) {
    // Opened meanwhile by another way: keep that one.
    Lib.PcmClose(pcm);
    return !e.Failed;
  }
  e.Pcm = pcm;
  e.Failed = false;
  e.Rate = configured.Rate;
  e.Buffer = configured.Buffer;
  e.Period = configured.Period;
  e.Tick = configured.Tick;
  e.SmallestWrite = configured.SmallestWrite;
  e.Schedule = configured.Schedule;
  return true;
}

bool IsOpen() {
  Engine& e = TheEngine();
  std::lock_guard lock(e.Mutex);
  return e.Pcm != nullptr && !e.Failed;
}

}  // namespace

bool Open() {
  if (IsOpen()) return true;
  Opener& o = TheOpener();
  std::unique_lock lock(o.Mutex);
  if (o.Running) return false;  // still stuck: the tone goes elsewhere, nobody waits again
  const Clock::time_point now = Clock::now();
  if (o.Failed && now - o.LastTry < RetryPause) return false;
  o.Running = true;
  o.LastTry = now;
  try {
    std::thread([&o] {
      const bool opened = OpenDevice();
      std::lock_guard done(o.Mutex);
      o.Running = false;
      o.Failed = !opened;
      o.Done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    o.Running = false;
    o.Failed = true;
    return false;
  }
  o.Done.wait_for(lock, OpenPatience, [&o] { return !o.Running; });
  return !o.Running && !o.Failed;
}

std::optional<Clock::time_point> Play(uint32_t frequency, uint32_t millis, Clock::time_point call) {
  Engine& e = TheEngine();
  std::unique_lock lock(e.Mutex);
  if (e.Pcm == nullptr || e.Failed) return std::nullopt;
  if (!e.Streaming) {
    JoinWriter(e);
    if (e.Failed) return std::nullopt;
    // After a drop the PCM waits in the SETUP state; prepare it again.
    if (Lib.PcmPrepare(e.Pcm) < 0) {
      e.Failed = true;
      return std::nullopt;
    }
    e.Schedule.Start(Clock::now());
    e.Spans.clear();
    e.Samples.reserve(static_cast<size_t>(e.Buffer));
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
  e.Renderer.Prepare(e.Spans.back(), e.Rate);
  const Clock::time_point until = e.Schedule.ReturnTime(call, start, millis);
  e.QuietSince = until;
  return until;
}

void Close() {
  {
    // The next Open() tries at once, as after a fresh start.
    Opener& o = TheOpener();
    std::lock_guard lock(o.Mutex);
    o.Failed = false;
  }
  Engine* const old = &TheEngine();
  const bool closed = base::RunWithin(ClosePatience, [old] {
    Engine& e = *old;
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
    if (e.Pcm != nullptr) Lib.PcmClose(e.Pcm);
    e.Pcm = nullptr;
    e.Failed = false;
  });
  if (closed) return;
  // Stuck in the device: leave the old engine to its threads and start the
  // next Open() on a new one.
  auto* const fresh = new Engine;
  {
    std::lock_guard lock(old->Mutex);
    fresh->IdleStop = old->IdleStop;
  }
  Current.store(fresh);
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
