#include "posix/session/signals.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "posix/session/control.h"
#include "posix/session/exit.h"
#include "posix/session/session.h"
#include "posix/sound/tone.h"

namespace session {
namespace {

// --- Crashes ---
constexpr int CrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
struct sigaction PreviousCrashAction[std::size(CrashSignals)];
std::terminate_handler PreviousTerminate = nullptr;

void OnCrash(int sig, siginfo_t* info, void* /*context*/) {
  HandBackAsyncSafe();
  for (size_t i = 0; i < std::size(CrashSignals); ++i)
    if (CrashSignals[i] == sig) sigaction(sig, &PreviousCrashAction[i], nullptr);
  // A fault comes back when the instruction runs again, now to the previous
  // action; a signal that was sent is sent again.
  if (info == nullptr || info->si_code <= 0) raise(sig);
}

void OnTerminate() {
  HandBackAsyncSafe();
  if (PreviousTerminate != nullptr) PreviousTerminate();
  std::abort();
}

void InstallCrashHandlers() {
  // A stack overflow needs a stack of its own to be handled on.
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
    constexpr size_t AlternateStackBytes = 65536;
    static std::vector<char> alternate(AlternateStackBytes);
    stack_t mine{};
    mine.ss_sp = alternate.data();
    mine.ss_size = alternate.size();
    sigaltstack(&mine, nullptr);
  }
  for (size_t i = 0; i < std::size(CrashSignals); ++i) {
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(CrashSignals[i], &action, &PreviousCrashAction[i]);
  }
}

// --- The signal thread ---
void Nothing(int /*sig*/) {}

// Signals the signal thread takes with sigwait.  Those the program was
// started with ignored (nohup, a background job of a shell without job
// control) stay ignored.
sigset_t WaitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGWINCH, SIGCONT}) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    if (now.sa_handler == SIG_IGN && sig != SIGWINCH && sig != SIGCONT) continue;
    // A handler of our own, never run, keeps a blocked signal whose default
    // is to be ignored from being discarded on systems that would.
    struct sigaction mine {};
    mine.sa_handler = Nothing;
    sigemptyset(&mine.sa_mask);
    sigaction(sig, &mine, nullptr);
    sigaddset(&set, sig);
  }
  return set;
}

bool InForeground() {
  const pid_t foreground = tcgetpgrp(InFd);
  return foreground < 0 || foreground == getpgrp();
}

void OnResize() {
  std::lock_guard lock(TheSession().Mutex);
  if (!Held) return;
  ResizeLocked();
  RenderLocked();
}

void OnStop() {
  // A stopped alarm must be silent; the sound card runs dry by itself, the
  // PC speaker does not.
  sound::SilenceSpeaker();
  // The same Ctrl+Z stops the rest of our process group at once (a wrapper
  // script, a subshell), and the shell may take the terminal back before
  // we have handed it back.  Our tcsetattr would then raise SIGTTOU and stop
  // us half-way; the next fg's SIGCONT would only finish the hand-back, and
  // the SIGSTOP below would stop us for good under a shell that believes
  // the job runs.  With SIGTTOU blocked in this thread the restore goes
  // through from the background too.
  sigset_t ttou;
  sigset_t previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &previous);
  {
    std::lock_guard lock(TheSession().Mutex);
    HandBackLocked(false);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  // Stops every thread; the SIGCONT that continues us takes the terminal
  // again.
  kill(getpid(), SIGSTOP);
}

void OnContinue() {
  if (!InForeground()) {
    // Continued in the background (bg): wait for fg, as a job that touches
    // the terminal from the background does.
    kill(getpid(), SIGTTOU);
    return;
  }
  std::lock_guard lock(TheSession().Mutex);
  // Still held means something else stopped us (SIGSTOP) and the shell may
  // have reset the terminal meanwhile: set everything again, but keep the
  // title the user had saved.
  TakeLocked(!Held);
}

// A control event that no handler takes ends the program, as on Windows.
void OnCtrlEvent(DWORD event, int sig) {
  if (!DispatchCtrlEvent(event)) EndBySignal(sig);
}

void SignalLoop(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    switch (sig) {
      case SIGINT:
        OnCtrlEvent(CTRL_C_EVENT, sig);
        break;
      case SIGQUIT:
        OnCtrlEvent(CTRL_BREAK_EVENT, sig);
        break;
      case SIGTERM:
      case SIGHUP:
        EndBySignal(sig);  // does not return
      case SIGTSTP:
        OnStop();
        break;
      case SIGCONT:
        OnContinue();
        break;
      case SIGWINCH:
        OnResize();
        break;
      default:
        break;
    }
  }
}

}  // namespace

void StartSignalHandling() {
  const sigset_t set = WaitedSignals();
  // Blocked here, before any other thread exists, so every thread the
  // program starts inherits the mask and only the signal thread sees them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(SignalLoop, set).detach();
  InstallCrashHandlers();
  PreviousTerminate = std::set_terminate(OnTerminate);
  std::atexit(AtExitHandBack);
}

}  // namespace session
