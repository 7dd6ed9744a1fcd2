#include "posix/terminal_input.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace term {
namespace {

// A read refused with EIO is a hang-up, unless the terminal still has a
// foreground job that is not ours (a background read with SIGTTIN blocked).
bool InBackground(int fd) {
  const pid_t foreground = tcgetpgrp(fd);
  return foreground > 0 && foreground != getpgrp();
}

}  // namespace

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

InputSource::Status InputSource::Pump(std::vector<INPUT_RECORD>* records, size_t maxBytes) {
  uint8_t buffer[512];
  size_t total = 0;
  Status status = Status::Ok;
  while (total < maxBytes) {
    pollfd ready{fd_, POLLIN, 0};
    const int polled = poll(&ready, 1, 0);
    if (polled < 0) {
      if (errno == EINTR) continue;
      status = Status::Gone;
      break;
    }
    if (polled == 0) break;
    if ((ready.revents & POLLIN) == 0) {
      // POLLHUP, POLLERR or POLLNVAL with nothing left to read.
      status = Status::Gone;
      break;
    }
    const size_t want = std::min(sizeof buffer, maxBytes - total);
    const ssize_t got = read(fd_, buffer, want);
    if (got > 0) {
      decoder_.Feed(buffer, static_cast<size_t>(got), MonotonicMs());
      total += static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    status = (got < 0 && errno == EIO && InBackground(fd_)) ? Status::Background : Status::Gone;
    break;
  }
  decoder_.Tick(MonotonicMs());
  KeyEvent key;
  while (decoder_.Pop(&key)) AppendKeyRecords(key, records);
  return status;
}

InputSource::Status InputSource::Wait(int timeoutMs) {
  int timeout = timeoutMs;
  const int pending = decoder_.PendingTimeoutMs(MonotonicMs());
  if (pending >= 0 && (timeout < 0 || pending < timeout)) timeout = pending;
  pollfd ready{fd_, POLLIN, 0};
  const int polled = poll(&ready, 1, timeout);
  if (polled < 0) return errno == EINTR ? Status::Ok : Status::Gone;
  if (polled > 0 && (ready.revents & POLLIN) == 0) return Status::Gone;
  return Status::Ok;
}

}  // namespace term
