#include "standin/terminal/power/power.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "standin/terminal/power/logind.h"

namespace power {
namespace {

constexpr const char* Who = "Rousel";
// logind answers in milliseconds; a bus that has not answered by then will
// not.  Only the worker waits for it.
constexpr int RequestTimeoutMs = 10000;

// What the program's thread asks for.  It only writes the wish and wakes the
// worker, which alone talks to the bus and holds the lock.
struct Inhibitor {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Wanted = false;
  std::string Why;
  uint64_t Wishes = 0;  // counts them, so that the worker sees every change
  bool WorkerStarted = false;
};

// Never destroyed: the worker may still wait for the bus while the process
// exits.
Inhibitor& Shared() {
  static Inhibitor* const State = new Inhibitor;
  return *State;
}

// The lock's descriptor, or -1.  The worker sets it; a child's fork handler
// reads it.
std::atomic<int> HeldFd{-1};
// The worker's own: what the held lock was asked for.
std::string& HeldWhy() {
  static std::string* const Why = new std::string;
  return *Why;
}

// A child must not keep the computer awake: the child that hands the
// terminal back may wait for it long after the program has ended, and the
// lock lasts while any copy of its descriptor is open.  FD_CLOEXEC covers a
// child that runs another program; this one a plain fork.  Async-signal-safe.
void CloseInChild() {
  const int fd = HeldFd.exchange(-1);
  if (fd >= 0) close(fd);
}

void LetGo() {
  const int fd = HeldFd.exchange(-1);
  if (fd >= 0) close(fd);
  HeldWhy().clear();
}

// The bus's result is applied when it comes, however late: by then the wish
// may have changed, and the next round follows it.
[[noreturn]] void Work() {
  Inhibitor& shared = Shared();
  uint64_t seen = 0;
  for (;;) {
    bool wanted = false;
    std::string why;
    {
      std::unique_lock lock(shared.Mutex);
      shared.Changed.wait(lock, [&] { return shared.Wishes != seen; });
      seen = shared.Wishes;
      wanted = shared.Wanted;
      why = shared.Why;
    }
    if (!wanted) {
      LetGo();
      continue;
    }
    if (HeldFd.load() >= 0 && why == HeldWhy()) continue;
    const int fd = InhibitSleep(Who, why.c_str(), RequestTimeoutMs);
    // The new lock is taken before the old one goes: no moment without one.
    LetGo();
    if (fd < 0) continue;
    HeldFd.store(fd);
    HeldWhy() = why;
  }
}

// D-Bus strings must be UTF-8, and libdbus aborts the process on one that is
// not: anything but printable ASCII becomes '?'.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c < 0x20 || c > 0x7E) c = '?';
  return out;
}

void Wish(bool wanted, std::string_view why) {
  Inhibitor& shared = Shared();
  std::lock_guard lock(shared.Mutex);
  shared.Wanted = wanted;
  shared.Why = Printable(why);
  ++shared.Wishes;
  if (!shared.WorkerStarted && wanted) {
    try {
      std::thread(Work).detach();
      shared.WorkerStarted = true;
      pthread_atfork(nullptr, nullptr, CloseInChild);
    } catch (const std::system_error&) {
      // No thread to spare: the computer may sleep, as without a bus.
      return;
    }
  }
  shared.Changed.notify_one();
}

}  // namespace

void Hold(std::string_view why) {
  Wish(true, why);
}

void Release() {
  Wish(false, {});
}

}  // namespace power
