#include "posix/session/exit.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <mutex>

#include "posix/session/session.h"

namespace session {
namespace {

// Guards the step list: the program's thread adds to it while the signal or
// key-reading thread may be running the steps.
std::mutex StepMutex;
void (*Steps[8])() = {};
int StepCount = 0;
std::atomic<bool> StepsRun{false};

void RunExitSteps() {
  if (StepsRun.exchange(true)) return;
  std::lock_guard lock(StepMutex);
  for (int i = StepCount - 1; i >= 0; --i) Steps[i]();
}

void HandBack(bool leaveScreen) {
  RunExitSteps();
  Session& s = TheSession();
  std::lock_guard lock(s.Mutex);
  if (s.Started) HandBackLocked(leaveScreen);
}

}  // namespace

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
