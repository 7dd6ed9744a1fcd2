/* The least a ringing alarm costs: the yardstick the program's ringing
 * figures are divided by.
 *
 *   reference_tone
 *
 * Opens ALSA's "default" device (16-bit mono, 48 kHz) and plays the alarm's
 * rhythm until killed: every 150 ms one write of a 100 ms tone of 2000 Hz
 * followed by 50 ms of silence, then a sleep until the next pass starts.
 * The passes are placed by the monotonic clock, so a sink that takes samples
 * as fast as they come (a file) records the same rhythm as a sound card
 * would play.  Nothing else: no terminal, no second thread. */
#define _GNU_SOURCE /* NOLINT(bugprone-reserved-identifier) */
#include <alsa/asoundlib.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

enum { kRate = 48000, kToneFrames = kRate / 10, kPauseFrames = kRate / 20 };
enum { kPassFrames = kToneFrames + kPauseFrames };
static const long kPassNs = 150000000L;
static const double kFrequency = 2000.0;

int main(void) {
  snd_pcm_t* pcm = NULL;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return 1;
  if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1,
                         500000) < 0) {
    return 1;
  }
  static int16_t pass[kPassFrames];
  for (int i = 0; i < kToneFrames; ++i) {
    pass[i] = (int16_t)(8000.0 * sin(2.0 * M_PI * kFrequency * i / kRate));
  }
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    snd_pcm_sframes_t done = snd_pcm_writei(pcm, pass, kPassFrames);
    if (done < 0) snd_pcm_recover(pcm, (int)done, 1);
    next.tv_nsec += kPassNs;
    if (next.tv_nsec >= 1000000000L) {
      next.tv_sec += 1;
      next.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) != 0) {
    }
  }
}
