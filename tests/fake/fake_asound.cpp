// A sound card for the tests, built as libasound.so.2: the program loads the
// library by that name at its first tone and finds this one already loaded.
// It keeps every sample written, takes writes in pieces when told to, can
// hang in its open or a write as a stuck sound server does or refuse to
// start, and holds
// the PCM to ALSA's states (a write after a drop fails until the next prepare).
#include "tests/fake/fake_asound.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

std::mutex Lock;
std::condition_variable CardChanged;
fakeasound::Card TheCard;
bool Prepared = false;
char Handle = 0;  // the PCM and parameter blocks are all this byte

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

int snd_lib_error_set_handler(snd_lib_error_handler_t /*handler*/) {
  return 0;
}

int snd_pcm_open(snd_pcm_t** pcm, const char* /*name*/, snd_pcm_stream_t /*stream*/, int /*mode*/) {
  std::unique_lock lock(Lock);
  CardChanged.wait(lock, [] { return !TheCard.OpenHangs; });
  if (TheCard.Absent) return -ENOENT;
  ++TheCard.Opened;
  *pcm = reinterpret_cast<snd_pcm_t*>(&Handle);
  return 0;
}

int snd_pcm_close(snd_pcm_t* /*pcm*/) {
  std::lock_guard lock(Lock);
  ++TheCard.Closed;
  Prepared = false;
  return 0;
}

int snd_pcm_set_params(snd_pcm_t* /*pcm*/, snd_pcm_format_t format, snd_pcm_access_t /*access*/,
                       unsigned channels, unsigned /*rate*/, int /*resample*/,
                       unsigned /*latency*/) {
  std::lock_guard lock(Lock);
  Prepared = format == SND_PCM_FORMAT_S16 && channels == 1;
  return Prepared ? 0 : -EINVAL;
}

int snd_pcm_drop(snd_pcm_t* /*pcm*/) {
  std::lock_guard lock(Lock);
  Prepared = false;
  return 0;
}

int snd_pcm_prepare(snd_pcm_t* /*pcm*/) {
  std::lock_guard lock(Lock);
  Prepared = !TheCard.Broken;
  return Prepared ? 0 : -EIO;
}

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* /*pcm*/, const void* buffer, snd_pcm_uframes_t size) {
  std::unique_lock lock(Lock);
  if (TheCard.Stuck) {
    lock.unlock();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  if (!Prepared) return -EBADFD;
  if (TheCard.Underruns > 0) {
    --TheCard.Underruns;
    return -EPIPE;
  }
  const snd_pcm_uframes_t taken = std::min<snd_pcm_uframes_t>(size, TheCard.MostPerWrite);
  const auto* samples = static_cast<const int16_t*>(buffer);
  TheCard.Samples.insert(TheCard.Samples.end(), samples, samples + taken);
  return static_cast<snd_pcm_sframes_t>(taken);
}

// Never holding anything back: the writer is paced by the clock alone.
snd_pcm_sframes_t snd_pcm_avail(snd_pcm_t* /*pcm*/) {
  return 12000;
}
int snd_pcm_get_params(snd_pcm_t* /*pcm*/, snd_pcm_uframes_t* buffer, snd_pcm_uframes_t* period) {
  *buffer = 12000;
  *period = 2400;
  return 0;
}
// An underrun is recovered (the stream prepared again); nothing else is.
int snd_pcm_recover(snd_pcm_t* /*pcm*/, int err, int silent) {
  std::lock_guard lock(Lock);
  TheCard.Loud = TheCard.Loud || silent == 0;
  return err == -EPIPE ? 0 : err;
}
int snd_pcm_nonblock(snd_pcm_t* /*pcm*/, int /*nonblock*/) {
  return 0;
}
int snd_pcm_hw_params_malloc(snd_pcm_hw_params_t** params) {
  *params = reinterpret_cast<snd_pcm_hw_params_t*>(&Handle);
  return 0;
}
void snd_pcm_hw_params_free(snd_pcm_hw_params_t* /*params*/) {}
int snd_pcm_hw_params_current(snd_pcm_t* /*pcm*/, snd_pcm_hw_params_t* /*params*/) {
  return 0;
}
int snd_pcm_hw_params_get_rate(const snd_pcm_hw_params_t* /*params*/, unsigned* rate, int* dir) {
  *rate = 48000;
  *dir = 0;
  return 0;
}
int snd_pcm_sw_params_malloc(snd_pcm_sw_params_t** params) {
  *params = reinterpret_cast<snd_pcm_sw_params_t*>(&Handle);
  return 0;
}
void snd_pcm_sw_params_free(snd_pcm_sw_params_t* /*params*/) {}
int snd_pcm_sw_params_current(snd_pcm_t* /*pcm*/, snd_pcm_sw_params_t* /*params*/) {
  return 0;
}
int snd_pcm_sw_params_set_start_threshold(snd_pcm_t* /*pcm*/, snd_pcm_sw_params_t* /*params*/,
                                          snd_pcm_uframes_t /*frames*/) {
  return 0;
}
int snd_pcm_sw_params_set_avail_min(snd_pcm_t* /*pcm*/, snd_pcm_sw_params_t* /*params*/,
                                    snd_pcm_uframes_t /*frames*/) {
  return 0;
}
int snd_pcm_sw_params(snd_pcm_t* /*pcm*/, snd_pcm_sw_params_t* /*params*/) {
  return 0;
}

}  // extern "C"
