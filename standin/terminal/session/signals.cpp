#include "standin/terminal/session/signals.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <mutex>
#include <thread>

#include "standin/model/console_model.h"
#include "standin/model/control.h"
#include "standin/terminal/session/exit.h"
#include "standin/terminal/session/state.h"

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

// --- Other signals that end the process ---
// Every signal whose default action ends the process and that nothing else
// takes (the crash set above, the signal thread's set below) would leave the
// terminal raw on the alternate screen: kill -USR1, a CPU or file size limit,
// a timer nobody armed for us.  Their handler gives the terminal back the
// crash way, then lets the default action end the process as before.
// These are the signals whose default action does not end it.
constexpr int HarmlessSignals[] = {SIGCHLD, SIGCONT, SIGSTOP,  SIGTSTP, SIGTTIN,
                                   SIGTTOU, SIGURG,  SIGWINCH, SIGKILL};

bool EndsTheProcess(int sig) {
  for (const int harmless : HarmlessSignals)
    if (sig == harmless) return false;
  for (const int crash : CrashSignals)
    if (sig == crash) return false;
  return true;
}

void OnFatal(int sig) {
  HandBackAsyncSafe();
  signal(sig, SIG_DFL);
  // Blocked while its handler runs: delivered, to the default action, as
  // soon as the handler returns.
  raise(sig);
}

// For the signals the program found at their defaults; one it was started
// with ignored, or that a runtime (a sanitizer, a profiler) handles, is left
// alone.  A broken pipe is no reason to die with the alarm set: writes to it
// fail instead.
void InstallFatalHandlers(const sigset_t& waited) {
  for (int sig = 1; sig <= SIGRTMAX; ++sig) {
    if (sigismember(&waited, sig) == 1 || !EndsTheProcess(sig)) continue;
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) != 0 || (now.sa_flags & SA_SIGINFO) != 0 ||
        now.sa_handler != SIG_DFL)
      continue;
    struct sigaction mine {};
    mine.sa_handler = sig == SIGPIPE ? SIG_IGN : OnFatal;
    mine.sa_flags = SA_ONSTACK;
    sigemptyset(&mine.sa_mask);
    sigaction(sig, &mine, nullptr);
  }
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
    // Zero-initialised static storage: its pages cost nothing until a
    // handler runs on them (a vector's were written at the start, 64 KiB of
    // the program's private memory).
    alignas(16) static char alternate[65536];
    stack_t mine{};
    mine.ss_sp = alternate;
    mine.ss_size = sizeof alternate;
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
  std::lock_guard lock(model::ConsoleMutex());
  if (!Held) return;
  ResizeLocked();
  RenderLocked();
}

// Whether someone could continue us after a stop: a parent in another
// process group of our session (a shell with job control).  A parent in
// another session (xterm -e, ssh -t, a pty spawned by a script; or we lead
// the session ourselves) never can, and POSIX has the job-control stops of
// such an orphaned process group discarded.  A parent in our own group tells
// nothing by itself; the kernel decides then (see OnStop).
enum class Continuer { Exists, None, Unknown };

Continuer WhoCouldContinue() {
  const pid_t parent = getppid();
  const pid_t parentSession = getsid(parent);
  if (parent <= 1 || parentSession < 0 || parentSession != getsid(0)) return Continuer::None;
  return getpgid(parent) == getpgrp() ? Continuer::Unknown : Continuer::Exists;
}

// Stops the whole process the way the terminal's Ctrl+Z would have: SIGTSTP
// at its default action, which the system discards for an orphaned process
// group (SIGSTOP would stop us for good there).  True when we were stopped
// (and have been continued since), false when the stop was discarded.
bool StopAsJobControlWould() {
  struct sigaction mine {};
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(SIGTSTP, &byDefault, &mine);
  sigset_t tstp;
  sigset_t previous;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &tstp, &previous);
  raise(SIGTSTP);  // the stop, if any, happens before this returns
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  sigaction(SIGTSTP, &mine, nullptr);
  // Whoever continued us sent SIGCONT, which waits for this thread's sigwait.
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 && sigismember(&pending, SIGCONT) == 1;
}

void OnStop() {
  // With no one to continue us a stop would silence the alarm for good: the
  // suspend request is ignored and the terminal kept.
  const Continuer continuer = WhoCouldContinue();
  if (continuer == Continuer::None) return;
  // A stopped alarm must be silent; the sound card runs dry by itself, the
  // PC speaker does not.
  Silence();
  // The same Ctrl+Z stops the rest of our process group at once (a wrapper
  // script, a subshell), and the shell may take the terminal back before
  // we have handed it back.  Our tcsetattr would then raise SIGTTOU and stop
  // us half-way; the next fg's SIGCONT would only finish the hand-back, and
  // the stop below would leave us stopped under a shell that believes
  // the job runs.  With SIGTTOU blocked in this thread the restore goes
  // through from the background too.
  sigset_t ttou;
  sigset_t previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &previous);
  HandBack(false);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  // Stops every thread; the SIGCONT that continues us takes the terminal
  // again.  Discarded, we take it back at once.
  if (StopAsJobControlWould()) return;
  std::lock_guard lock(model::ConsoleMutex());
  TakeLocked();
}

void OnContinue() {
  if (!InForeground()) {
    // Continued in the background (bg): wait for fg, as a job that touches
    // the terminal from the background does.
    kill(getpid(), SIGTTOU);
    return;
  }
  std::lock_guard lock(model::ConsoleMutex());
  // Still held means something else stopped us (SIGSTOP), or nothing did
  // (kill -CONT): the shell may have reset the terminal meanwhile, so the
  // modes are set again, but nothing saved or pushed a second time.
  TakeLocked();
}

// A control event that no handler takes ends the program, as on Windows.
void OnCtrlEvent(DWORD event, int sig) {
  if (!model::DispatchCtrlEvent(event)) EndBySignal(sig);
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
  // A core file would hold the password the user typed.  The soft limit
  // only: the hard one is the user's, and a crash still restores the
  // terminal and reports as before, only without the file.
  rlimit core{};
  if (getrlimit(RLIMIT_CORE, &core) == 0) {
    core.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &core);
  }
  const sigset_t set = WaitedSignals();
  // Blocked here, before any other thread exists, so every thread the
  // program starts inherits the mask and only the signal thread sees them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(SignalLoop, set).detach();
  InstallCrashHandlers();
  InstallFatalHandlers(set);
  PreviousTerminate = std::set_terminate(OnTerminate);
  std::atexit(AtExitHandBack);
}

}  // namespace session
