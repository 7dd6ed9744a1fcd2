#include "standin/terminal/base/run_within.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace base {

bool RunWithin(std::chrono::milliseconds limit, std::function<void()> work) {
  struct Outcome {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Finished = false;
  };
  auto outcome = std::make_shared<Outcome>();
  std::thread worker;
  try {
    worker = std::thread([outcome, work = std::move(work)] {
      work();
      std::lock_guard lock(outcome->Mutex);
      outcome->Finished = true;
      outcome->Done.notify_all();
    });
  } catch (const std::system_error&) {
    // No thread to spare: do the work here, without a limit, rather than
    // not at all.
    work();
    return true;
  }
  std::unique_lock lock(outcome->Mutex);
  const bool finished = outcome->Done.wait_for(lock, limit, [&] { return outcome->Finished; });
  lock.unlock();
  if (finished) {
    worker.join();
  } else {
    worker.detach();
  }
  return finished;
}

}  // namespace base
