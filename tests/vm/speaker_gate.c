// Logs when the PC speaker sounds, in the virtual machine: the speaker is on
// while bits 0 and 1 of port 0x61 (timer 2's gate and the speaker's data
// line) are both set, which is how the kernel's speaker driver switches it.
// The port is polled every millisecond through /dev/port; each change is one
// line "1 MICROSECONDS" or "0 MICROSECONDS" on CLOCK_MONOTONIC, so the
// rhythm of the tones is read in the machine's own time.
//
//   speaker_gate        log changes to standard output, for ever
//   speaker_gate on     return once the speaker sounds
//   speaker_gate now    print the clock once, to place a host's action on it
//
// Built static by the host's C compiler, so the machine needs no C library.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long long NowUs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "now") == 0) {
    printf("%lld\n", NowUs());
    return 0;
  }
  const int port = open("/dev/port", O_RDONLY);
  if (port < 0) {
    perror("speaker_gate: /dev/port");
    return 1;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);
  const int untilOn = argc > 1 && strcmp(argv[1], "on") == 0;
  int was = -1;
  const struct timespec tick = {0, 1000000};
  for (;;) {
    unsigned char gate = 0;
    if (pread(port, &gate, 1, 0x61) != 1) return 1;
    const int on = (gate & 3) == 3;
    if (untilOn && on) return 0;
    if (on != was && !untilOn) printf("%d %lld\n", on, NowUs());
    was = on;
    nanosleep(&tick, NULL);
  }
}
