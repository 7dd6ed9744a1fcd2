/* The least a waiting alarm clock of this design can cost: the yardstick the
 * program's waiting figures are divided by.
 *
 *   reference_waiter SLEEP_MS [--no-thread]
 *
 * Same schedule as the program's waiting phase, nothing else: one pass every
 * SLEEP_MS that reads the local time, looks at the keyboard without waiting
 * and, when the second has changed, writes the current and the remaining time
 * (8 characters each) with one cursor move (CUP) each in one write(); and a
 * second thread that wakes on an auto-reset event, which every redraw
 * signals once, or after 300 ms.  Both threads run in the idle scheduling
 * class, as the program does while it waits.  No screen set-up, no colours:
 * whatever the program sends beyond this is its own overhead.
 *
 * With --no-thread it is the least poll loop of all: the passes alone, with
 * no second thread to wake (the cursor thread is the design's; this shows
 * what it costs).
 *
 * Runs until killed (SIGHUP when its terminal goes, SIGTERM). */
#define _GNU_SOURCE /* SCHED_IDLE */ /* NOLINT(bugprone-reserved-identifier) */
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kThreadWaitMs = 300, kAlarmOffsetSeconds = 12 * 3600, kDaySeconds = 86400 };

static pthread_mutex_t eventMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t eventChanged;
static int eventSignalled = 0;

static void SignalEvent(void) {
  pthread_mutex_lock(&eventMutex);
  eventSignalled = 1;
  pthread_cond_signal(&eventChanged);
  pthread_mutex_unlock(&eventMutex);
}

/* The cursor thread's schedule: an auto-reset event or 300 ms, whichever
 * comes first, and nothing to do either way. */
static void* Waker(void* unused) {
  (void)unused;
  for (;;) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += (long)kThreadWaitMs * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&eventMutex);
    while (!eventSignalled) {
      if (pthread_cond_timedwait(&eventChanged, &eventMutex, &until) != 0) break;
    }
    eventSignalled = 0;
    pthread_mutex_unlock(&eventMutex);
  }
  return NULL;
}

static void SleepMs(long ms) {
  struct timespec span = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&span, &span) != 0) {
  }
}

static char* PutTwoDigits(char* out, int n) {
  *out++ = (char)('0' + n / 10 % 10);
  *out++ = (char)('0' + n % 10);
  return out;
}

/* CUP to column 37 of a row below 10, then seconds of the day as HH:MM:SS:
 * 15 bytes. */
static char* PutValue(char* out, int row, int seconds) {
  static const char kCup[] = "\x1b[?;37H";
  for (const char* c = kCup; *c != '\0'; ++c) *out++ = *c == '?' ? (char)('0' + row) : *c;
  out = PutTwoDigits(out, seconds / 3600);
  *out++ = ':';
  out = PutTwoDigits(out, seconds % 3600 / 60);
  *out++ = ':';
  return PutTwoDigits(out, seconds % 60);
}

static void WriteAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t done = write(STDOUT_FILENO, data, size);
    if (done <= 0) return;
    data += done;
    size -= (size_t)done;
  }
}

int main(int argc, char** argv) {
  const long sleepMs = argc > 1 ? strtol(argv[1], NULL, 10) : 500;
  const int withThread = !(argc > 2 && strcmp(argv[2], "--no-thread") == 0);
  if (sleepMs <= 0) {
    fprintf(stderr, "usage: %s SLEEP_MS [--no-thread]\n", argv[0]);
    return 2;
  }
  struct sched_param param = {0};
  sched_setscheduler(0, SCHED_IDLE, &param); /* inherited by the thread */

  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&eventChanged, &attr);
  pthread_t waker = 0;
  if (withThread && pthread_create(&waker, NULL, Waker, NULL) != 0) return 1;

  const time_t start = time(NULL);
  struct tm startLocal;
  localtime_r(&start, &startLocal);
  const int alarmSeconds =
      (startLocal.tm_hour * 3600 + startLocal.tm_min * 60 + kAlarmOffsetSeconds) % kDaySeconds;
  int previousSecond = -1;
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    if (local.tm_sec != previousSecond) {
      previousSecond = local.tm_sec;
      const int current = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
      const int remaining = (alarmSeconds > current ? 0 : kDaySeconds) + alarmSeconds - current;
      char line[64];
      char* end = PutValue(line, 2, current);
      end = PutValue(end, 3, remaining);
      WriteAll(line, (size_t)(end - line));
      if (withThread) SignalEvent();
    }
    /* The keyboard is looked at once per pass; whatever came is dropped. */
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) > 0) {
      char discard[64];
      if (read(STDIN_FILENO, discard, sizeof discard) <= 0) return 0;
    }
    SleepMs(sleepMs);
  }
}
