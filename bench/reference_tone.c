/* The least a program can do to ring like the alarm: 2000 Hz for 100 ms,
 * 50 ms of silence, again, through ALSA's "default" PCM.  Each span is one
 * write of its samples, then one sleep until the span's end on the monotonic
 * clock (so a file sink keeps real time too).  The ringing cost of the
 * program is measured against it.
 *   reference_tone SECONDS */
#include <alsa/asoundlib.h>
#include <math.h>
#include <stdlib.h>
#include <time.h>

enum { Rate = 48000, ToneFrames = Rate / 10, PauseFrames = Rate / 20 };

static void Advance(struct timespec* t, long nanos) {
  t->tv_nsec += nanos;
  while (t->tv_nsec >= 1000000000L) {
    t->tv_nsec -= 1000000000L;
    t->tv_sec += 1;
  }
}

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 10.0;
  static short tone[ToneFrames];
  static short pause[PauseFrames];
  for (int i = 0; i < ToneFrames; ++i)
    tone[i] = (short)(0.6 * 32767.0 * sin(2.0 * M_PI * 2000.0 * i / Rate));
  snd_pcm_t* pcm = NULL;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return 1;
  if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, Rate, 1,
                         200000) < 0)
    return 1;
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  const long passes = (long)(seconds / 0.150);
  for (long pass = 0; pass < passes; ++pass) {
    if (snd_pcm_writei(pcm, tone, ToneFrames) < 0) snd_pcm_prepare(pcm);
    Advance(&next, 100000000L);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
    if (snd_pcm_writei(pcm, pause, PauseFrames) < 0) snd_pcm_prepare(pcm);
    Advance(&next, 50000000L);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
  }
  snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
  return 0;
}
