// A sound card for the tests, built as libasound.so.2: the program loads the
// library by that name at its first tone and finds this one already loaded.
// It keeps every sample written and every write's size and time, takes
// writes in pieces when told to, can hang in its open or a write as a stuck
// sound server does, refuse to start, refuse rates or a step of the set-up,
// and report its queue as told; it holds the PCM to ALSA's states (a write
// after a drop fails until the next prepare) and counts any call on a PCM
// that is not open.
#include "tests/fake/fake_asound.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

std::mutex Lock;
std::condition_variable CardChanged;
fakeasound::Card TheCard;
int OpenHandles = 0;  // one device: every open gives the same handle
bool Prepared = false;
unsigned RateTaken = 0;  // 0: no hardware set-up yet
char Handle = 0;         // the PCM and parameter blocks are all this byte

// Under the lock: whether `pcm` is an open PCM; counts a misuse if not.
bool Usable(const snd_pcm_t* pcm) {
  if (pcm == reinterpret_cast<const snd_pcm_t*>(&Handle) && OpenHandles > 0) return true;
  ++TheCard.Misuses;
  return false;
}

// Under the lock: whether the set-up call `name` is to fail.
bool Failing(const char* name) {
  return TheCard.Fails == name;
}

}  // namespace

namespace fakeasound {

Card Get() {
  std::lock_guard lock(Lock);
  return TheCard;
}

void Set(const Card& card) {
  std::lock_guard lock(Lock);
  TheCard = card;
  CardChanged.notify_all();
}

}  // namespace fakeasound

extern "C" {

int snd_lib_error_set_handler(snd_lib_error_handler_t handler) {
  std::lock_guard lock(Lock);
  TheCard.Quiet = handler != nullptr;
  return 0;
}

int snd_pcm_open(snd_pcm_t** pcm, const char* /*name*/, snd_pcm_stream_t /*stream*/, int mode) {
  std::unique_lock lock(Lock);
  CardChanged.wait(lock, [] { return !TheCard.OpenHangs; });
  ++TheCard.OpenAttempts;
  if (TheCard.Absent) return -ENOENT;
  ++TheCard.Opened;
  ++OpenHandles;
  Prepared = false;
  RateTaken = 0;
  TheCard.Blocking = (mode & SND_PCM_NONBLOCK) == 0;
  *pcm = reinterpret_cast<snd_pcm_t*>(&Handle);
  return 0;
}

int snd_pcm_close(snd_pcm_t* pcm) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  ++TheCard.Closed;
  if (--OpenHandles == 0) Prepared = false;
  return 0;
}

int snd_pcm_set_params(snd_pcm_t* pcm, snd_pcm_format_t format, snd_pcm_access_t /*access*/,
                       unsigned channels, unsigned rate, int resample, unsigned /*latency*/) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  TheCard.RatesAsked.push_back(rate);
  TheCard.Resample = resample;
  const bool taken = std::ranges::find(TheCard.Rates, rate) != TheCard.Rates.end();
  Prepared = format == SND_PCM_FORMAT_S16 && channels == 1 && taken;
  if (Prepared) RateTaken = rate;
  return Prepared ? 0 : -EINVAL;
}

int snd_pcm_drop(snd_pcm_t* pcm) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  ++TheCard.Drops;
  Prepared = false;
  return 0;
}

int snd_pcm_prepare(snd_pcm_t* pcm) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  ++TheCard.Prepares;
  Prepared = !TheCard.Broken;
  return Prepared ? 0 : -EIO;
}

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
  std::unique_lock lock(Lock);
  if (TheCard.Stuck) {
    lock.unlock();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  if (!Usable(pcm) || !Prepared) return -EBADFD;
  if (TheCard.WriteError != 0) return TheCard.WriteError;
  if (TheCard.Underruns > 0) {
    --TheCard.Underruns;
    return -EPIPE;
  }
  if (TheCard.ZeroWrites > 0) {
    --TheCard.ZeroWrites;
    return 0;
  }
  const snd_pcm_uframes_t taken = std::min<snd_pcm_uframes_t>(size, TheCard.MostPerWrite);
  const auto* samples = static_cast<const int16_t*>(buffer);
  TheCard.Samples.insert(TheCard.Samples.end(), samples, samples + taken);
  TheCard.Writes.push_back({taken, std::chrono::steady_clock::now()});
  return static_cast<snd_pcm_sframes_t>(taken);
}

// Unless told otherwise, never holding anything back: the writer is paced
// by the clock alone.
snd_pcm_sframes_t snd_pcm_avail(snd_pcm_t* pcm) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  if (TheCard.Avail.empty()) return static_cast<snd_pcm_sframes_t>(TheCard.BufferFrames);
  const long avail = TheCard.Avail.front();
  TheCard.Avail.erase(TheCard.Avail.begin());
  return avail;
}
int snd_pcm_get_params(snd_pcm_t* pcm, snd_pcm_uframes_t* buffer, snd_pcm_uframes_t* period) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm) || Failing("snd_pcm_get_params")) return -EIO;
  *buffer = TheCard.BufferFrames;
  *period = TheCard.PeriodFrames;
  return 0;
}
// An underrun is recovered (the stream prepared again); nothing else is.
int snd_pcm_recover(snd_pcm_t* pcm, int err, int silent) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  TheCard.Loud = TheCard.Loud || silent == 0;
  return err == -EPIPE ? 0 : err;
}
int snd_pcm_nonblock(snd_pcm_t* pcm, int nonblock) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm) || Failing("snd_pcm_nonblock")) return -EIO;
  TheCard.Blocking = nonblock == 0;
  return 0;
}
int snd_pcm_hw_params_malloc(snd_pcm_hw_params_t** params) {
  std::lock_guard lock(Lock);
  if (Failing("snd_pcm_hw_params_malloc")) return -ENOMEM;
  ++TheCard.ParameterBlocks;
  *params = reinterpret_cast<snd_pcm_hw_params_t*>(&Handle);
  return 0;
}
void snd_pcm_hw_params_free(snd_pcm_hw_params_t* /*params*/) {
  std::lock_guard lock(Lock);
  --TheCard.ParameterBlocks;
}
int snd_pcm_hw_params_current(snd_pcm_t* pcm, snd_pcm_hw_params_t* /*params*/) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm) || RateTaken == 0) return -EBADFD;
  return 0;
}
int snd_pcm_hw_params_get_rate(const snd_pcm_hw_params_t* /*params*/, unsigned* rate, int* dir) {
  std::lock_guard lock(Lock);
  *rate = TheCard.ReportedRate != 0 ? TheCard.ReportedRate : RateTaken;
  *dir = 0;
  return 0;
}
int snd_pcm_sw_params_malloc(snd_pcm_sw_params_t** params) {
  std::lock_guard lock(Lock);
  if (Failing("snd_pcm_sw_params_malloc")) return -ENOMEM;
  ++TheCard.ParameterBlocks;
  *params = reinterpret_cast<snd_pcm_sw_params_t*>(&Handle);
  return 0;
}
void snd_pcm_sw_params_free(snd_pcm_sw_params_t* /*params*/) {
  std::lock_guard lock(Lock);
  --TheCard.ParameterBlocks;
}
int snd_pcm_sw_params_current(snd_pcm_t* pcm, snd_pcm_sw_params_t* /*params*/) {
  std::lock_guard lock(Lock);
  return Usable(pcm) ? 0 : -EBADFD;
}
int snd_pcm_sw_params_set_start_threshold(snd_pcm_t* pcm, snd_pcm_sw_params_t* /*params*/,
                                          snd_pcm_uframes_t frames) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  TheCard.StartThreshold = static_cast<long>(frames);
  return 0;
}
int snd_pcm_sw_params_set_avail_min(snd_pcm_t* pcm, snd_pcm_sw_params_t* /*params*/,
                                    snd_pcm_uframes_t frames) {
  std::lock_guard lock(Lock);
  if (!Usable(pcm)) return -EBADFD;
  TheCard.AvailMin = static_cast<long>(frames);
  return 0;
}
int snd_pcm_sw_params(snd_pcm_t* pcm, snd_pcm_sw_params_t* /*params*/) {
  std::lock_guard lock(Lock);
  return Usable(pcm) ? 0 : -EBADFD;
}

}  // extern "C"
