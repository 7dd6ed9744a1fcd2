#include <chrono>
#include <condition_variable>
#include <mutex>

#include "standin/model/futex.h"

namespace model {
namespace {
std::mutex WordMutex;
std::condition_variable WordChanged;
}  // namespace

void WaitWord(std::atomic<uint32_t>& word, uint32_t expected, int ms) {
  std::unique_lock lock(WordMutex);
  const auto changed = [&word, expected] { return word.load() != expected; };
  if (ms < 0) {
    WordChanged.wait(lock, changed);
  } else {
    WordChanged.wait_for(lock, std::chrono::milliseconds(ms), changed);
  }
}

void WakeWord(std::atomic<uint32_t>& /*word*/, int /*count*/) {
  // Taking the lock orders the wake after a waiter's check of the word.
  { std::lock_guard lock(WordMutex); }
  WordChanged.notify_all();
}

}  // namespace model
