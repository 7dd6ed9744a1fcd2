// Sleeping on a word until another thread changes it: the one primitive the
// events need.  Linux gives it directly (futex); elsewhere a condition
// variable stands in.  Chosen at link time.
#pragma once

#include <atomic>
#include <cstdint>

namespace model {

// Sleeps while *word == expected, at most ms (negative: no limit), or until
// WakeWord; may return early.  One system call on Linux.
void WaitWord(std::atomic<uint32_t>& word, uint32_t expected, int ms);
// Wakes up to `count` threads sleeping in WaitWord on word.
void WakeWord(std::atomic<uint32_t>& word, int count);

}  // namespace model
