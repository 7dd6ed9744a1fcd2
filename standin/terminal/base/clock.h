// The monotonic clock in milliseconds, as the terminal end's parts count
// time: key timeouts, send deadlines, replies.
#pragma once

#include <time.h>

#include <cstdint>

namespace base {

inline uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace base
