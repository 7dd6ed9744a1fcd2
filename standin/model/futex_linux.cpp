#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include "standin/model/futex.h"

namespace model {

void WaitWord(std::atomic<uint32_t>& word, uint32_t expected, int ms) {
  timespec timeout{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  // The word is a plain 32-bit integer in memory, as the futex call needs.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
          ms < 0 ? nullptr : &timeout, nullptr, 0);
}

void WakeWord(std::atomic<uint32_t>& word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
}

}  // namespace model
