// Key input from a terminal file descriptor: reads what is waiting without
// ever blocking, runs it through the key decoder with a monotonic clock, and
// waits in poll() (bounded by the decoder's escape timeout while a lone ESC
// is pending).  Works on any descriptor, so the tests drive it with a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "console/win32.h"
#include "posix/core_key_decoder.h"

namespace term {

// Milliseconds of CLOCK_MONOTONIC.
uint64_t MonotonicMs();

class InputSource {
 public:
  enum class Status {
    Ok,
    Gone,        // end of file, hang-up or a read error: the terminal went away
    Background,  // the read was refused because another job holds the terminal
  };

  explicit InputSource(int fd) : fd_(fd) {}

  // Reads up to maxBytes that are waiting now, decodes them and appends the
  // key records of every finished key to *records.  Never blocks.
  Status Pump(std::vector<INPUT_RECORD>* records, size_t maxBytes = 4096);

  // Sleeps in poll() until bytes arrive, the terminal goes away, the pending
  // escape timeout runs out, or timeoutMs pass (-1: no limit).  Spurious
  // returns are allowed: the caller pumps and waits again.
  Status Wait(int timeoutMs);

  [[nodiscard]] int Fd() const { return fd_; }

 private:
  int fd_;
  KeyDecoder decoder_;
};

}  // namespace term
