#include "posix/session/exit.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "posix/session/session.h"

namespace session {
namespace {

// Guards the step list: the program's thread adds to it while the signal or
// key-reading thread may be running the steps.
std::mutex StepMutex;
void (*Steps[8])() = {};
int StepCount = 0;
std::atomic<bool> StepsRun{false};

// All the steps together; a step that hangs (a sound device whose writes
// never return) must not keep the user's terminal raw or the process alive.
constexpr std::chrono::milliseconds StepsPatience{600};

void RunExitSteps() {
  if (StepsRun.exchange(true)) return;
  RunWithin(StepsPatience, [] {
    std::lock_guard lock(StepMutex);
    for (int i = StepCount - 1; i >= 0; --i) Steps[i]();
  });
}

void HandBack(bool leaveScreen) {
  RunExitSteps();
  Session& s = TheSession();
  std::lock_guard lock(s.Mutex);
  if (s.Started) HandBackLocked(leaveScreen, true);
}

}  // namespace

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

void AtTerminalExit(void (*step)()) {
  std::lock_guard lock(StepMutex);
  if (step != nullptr && StepCount < static_cast<int>(std::size(Steps))) Steps[StepCount++] = step;
}

void EndProcess(unsigned code) {
  HandBack(true);
  std::fflush(nullptr);
  _exit(static_cast<int>(code));
}

void EndBySignal(int sig) {
  HandBack(false);
  // Die of the signal itself, so the shell sees 128 + sig (and stops a
  // script on SIGINT, as it should).
  std::signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);
}

void EndTerminalGone() {
  HandBack(false);
  _exit(129);
}

void AtExitHandBack() {
  HandBack(true);
}

}  // namespace session
