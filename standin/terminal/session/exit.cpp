#include "standin/terminal/session/exit.h"

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

#include "standin/terminal/base/run_within.h"
#include "standin/terminal/session/state.h"

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
  base::RunWithin(StepsPatience, [] {
    std::lock_guard lock(StepMutex);
    for (int i = StepCount - 1; i >= 0; --i) Steps[i]();
  });
}

void Leave(bool leaveScreen) {
  RunExitSteps();
  HandBack(leaveScreen, true);
}

}  // namespace

void AtTerminalExit(void (*step)()) {
  std::lock_guard lock(StepMutex);
  if (step != nullptr && StepCount < static_cast<int>(std::size(Steps))) Steps[StepCount++] = step;
}

void EndProcess(unsigned code) {
  Leave(true);
  std::fflush(nullptr);
  _exit(static_cast<int>(code));
}

void EndBySignal(int sig) {
  Leave(false);
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
  Leave(false);
  _exit(129);
}

void AtExitHandBack() {
  Leave(true);
}

}  // namespace session
