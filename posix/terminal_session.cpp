// The terminal session: taking the terminal over and handing it back on
// every way out, the shared writer, the signal thread, job control and
// resizing, the input queue and the console control handlers.
#include "posix/terminal_session.h"

#include "posix/tone.h"

#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "posix/core_renderer.h"
#include "posix/core_tty_mode.h"
#include "posix/terminal_input.h"
#include "posix/terminal_io.h"

namespace term {
namespace {

constexpr int kMaxColumns = 256;
constexpr int kMaxRows = 234;
// Records queued beyond this stay in the kernel's buffer until the program
// reads keys: a huge paste costs no memory.
constexpr size_t kMaxQueuedRecords = 1024;

// --- State the crash handlers read: plain data, set before they exist. ---
const int inFd = STDIN_FILENO;
const int outFd = STDOUT_FILENO;
termios userMode{};
std::atomic<bool> held{false};  // the terminal is in the program's modes
// CAN first: it aborts an escape sequence the crash may have cut in half.
char leaveBytes[96];
size_t leaveLength = 0;

struct Session {
  std::mutex Mutex;
  std::mutex InputMutex;  // the decoder, used by the reading thread
  std::condition_variable InputArrived;
  std::unique_ptr<model::Console> Console;
  std::unique_ptr<Renderer> Screen;
  std::unique_ptr<InputSource> Input;
  Charset Chars = Charset::Utf8;
  termios Raw{};
  std::string TitleBytes;  // OSC of the current title, sent again on return
  bool Started = false;
};

// Never destroyed: the cursor thread may still render while exit() runs.
Session& S() {
  static auto* session = new Session;
  return *session;
}

// The cursor position the console layer's thread last set, not yet in the
// model.  While the cursor is hidden (the whole run of the program) a move
// shows nothing, so it is only noted here, without the session lock: the
// cursor thread then never wakes up only to wait for the program's thread to
// finish drawing.
constexpr uint64_t kNoMove = ~uint64_t{0};
std::atomic<uint64_t> pendingCursor{kNoMove};
std::atomic<bool> cursorShown{true};

void ApplyCursorLocked() {
  const uint64_t packed = pendingCursor.exchange(kNoMove);
  if (packed == kNoMove) return;
  S().Console->SetCursorPosition(
      COORD{static_cast<SHORT>(packed & 0xFFFF), static_cast<SHORT>((packed >> 16) & 0xFFFF)});
}

// --- Exit steps ---
std::mutex stepMutex;
void (*steps[8])() = {};
int stepCount = 0;
std::atomic<bool> stepsRun{false};

void RunExitSteps() {
  if (stepsRun.exchange(true)) return;
  std::lock_guard lock(stepMutex);
  for (int i = stepCount - 1; i >= 0; --i) steps[i]();
}

// --- Console control handlers ---
std::mutex ctrlMutex;
std::vector<PHANDLER_ROUTINE> ctrlHandlers;
bool ignoreCtrlC = false;

// The Windows rule: handlers from the last registered on, until one returns
// TRUE; Ctrl+C is ignored outright after SetConsoleCtrlHandler(NULL, TRUE).
bool DispatchCtrlEvent(DWORD event) {
  std::vector<PHANDLER_ROUTINE> handlers;
  {
    std::lock_guard lock(ctrlMutex);
    if (event == CTRL_C_EVENT && ignoreCtrlC) return true;
    handlers = ctrlHandlers;
  }
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
    if ((*it)(event) != FALSE) return true;
  return false;
}

// --- Writing ---
// Writes everything, retrying after EINTR and waiting out a descriptor some
// other program left non-blocking; gives up on any other error (the terminal
// has gone, and the input side notices).  Async-signal-safe.
void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done > 0) {
      data += done;
      size -= static_cast<size_t>(done);
    } else if (done < 0 && errno == EINTR) {
      continue;
    } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{fd, POLLOUT, 0};
      if (poll(&ready, 1, 1000) <= 0) return;
    } else {
      return;
    }
  }
}

void Send(std::string_view bytes) {
  if (!bytes.empty()) WriteAll(outFd, bytes.data(), bytes.size());
}

// --- Terminal facts ---
bool TerminalSize(int* columns, int* rows) {
  for (const int fd : {outFd, inFd}) {
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
      *columns = size.ws_col;
      *rows = size.ws_row;
      return true;
    }
  }
  return false;
}

// UTF-8 when the user's locale says so; the program's own locale is left as
// it was.
Charset LocaleCharset() {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = current != nullptr ? current : "C";
  Charset charset = Charset::Ascii;
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr &&
        (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0))
      charset = Charset::Utf8;
  }
  std::setlocale(LC_CTYPE, saved.c_str());
  return charset;
}

bool InForeground() {
  const pid_t foreground = tcgetpgrp(inFd);
  return foreground < 0 || foreground == getpgrp();
}

// --- Taking the terminal and handing it back (SessionMutex held) ---
void TakeLocked(bool saveTitle) {
  Session& s = S();
  held = true;
  tcsetattr(inFd, TCSANOW, &s.Raw);
  int columns = s.Screen->ViewColumns();
  int rows = s.Screen->ViewRows();
  TerminalSize(&columns, &rows);
  s.Screen->SetViewport(columns, rows);
  std::string out(EnterSequence(saveTitle));
  ApplyCursorLocked();
  out += s.Screen->Render(*s.Console);
  out += s.TitleBytes;
  Send(out);
}

void HandBackLocked(bool leaveScreen) {
  if (!held.exchange(false)) return;
  Session& s = S();
  std::string out(LeaveSequence());
  ApplyCursorLocked();
  if (leaveScreen) out += ScreenText(s.Console->Screen, s.Console->Cursor.Y, s.Chars);
  Send(out);
  tcsetattr(inFd, TCSANOW, &userMode);
}

// From a crash: no locks, no allocation.
void HandBackAsyncSafe() {
  // No exit step runs after a crash: a speaker tone would go on sounding.
  tone::SilenceSpeaker();
  if (!held.exchange(false)) return;
  WriteAll(outFd, leaveBytes, leaveLength);
  tcsetattr(inFd, TCSANOW, &userMode);
}

// --- Ways out ---
[[noreturn]] void EndBySignal(int sig) {
  RunExitSteps();
  {
    std::lock_guard lock(S().Mutex);
    HandBackLocked(false);
  }
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

[[noreturn]] void EndTerminalGone() {
  RunExitSteps();
  {
    std::lock_guard lock(S().Mutex);
    HandBackLocked(false);
  }
  _exit(129);
}

void AtExitHandBack() {
  RunExitSteps();
  std::lock_guard lock(S().Mutex);
  HandBackLocked(true);
}

std::terminate_handler previousTerminate = nullptr;

void OnTerminate() {
  HandBackAsyncSafe();
  if (previousTerminate != nullptr) previousTerminate();
  std::abort();
}

// --- Signals ---
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
struct sigaction previousCrashAction[std::size(kCrashSignals)];

void OnCrash(int sig, siginfo_t* info, void* /*context*/) {
  HandBackAsyncSafe();
  for (size_t i = 0; i < std::size(kCrashSignals); ++i)
    if (kCrashSignals[i] == sig) sigaction(sig, &previousCrashAction[i], nullptr);
  // A fault comes back when the instruction runs again, now to the previous
  // action; a signal that was sent is sent again.
  if (info == nullptr || info->si_code <= 0) raise(sig);
}

void InstallCrashHandlers() {
  // A stack overflow needs a stack of its own to be handled on.
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
    constexpr size_t kAlternateStack = 65536;
    static std::vector<char> alternate(kAlternateStack);
    stack_t mine{};
    mine.ss_sp = alternate.data();
    mine.ss_size = alternate.size();
    sigaltstack(&mine, nullptr);
  }
  for (size_t i = 0; i < std::size(kCrashSignals); ++i) {
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(kCrashSignals[i], &action, &previousCrashAction[i]);
  }
}

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

void OnResize() {
  std::lock_guard lock(S().Mutex);
  if (!held) return;
  Session& s = S();
  int columns = s.Screen->ViewColumns();
  int rows = s.Screen->ViewRows();
  TerminalSize(&columns, &rows);
  s.Screen->SetViewport(columns, rows);
  ApplyCursorLocked();
  Send(s.Screen->Render(*s.Console));
}

void OnStop() {
  // A stopped alarm must be silent; the sound card runs dry by itself, the
  // PC speaker does not.
  tone::SilenceSpeaker();
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
    std::lock_guard lock(S().Mutex);
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
  std::lock_guard lock(S().Mutex);
  // Still held means something else stopped us (SIGSTOP) and the shell may
  // have reset the terminal meanwhile: set everything again, but keep the
  // title the user had saved.
  TakeLocked(!held);
}

void SignalLoop(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    switch (sig) {
      case SIGINT:
        if (!DispatchCtrlEvent(CTRL_C_EVENT)) EndBySignal(sig);
        break;
      case SIGQUIT:
        if (!DispatchCtrlEvent(CTRL_BREAK_EVENT)) EndBySignal(sig);
        break;
      case SIGTERM:
      case SIGHUP:
        EndBySignal(sig);
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

void StartSignalHandling() {
  const sigset_t set = WaitedSignals();
  // Blocked here, before any other thread exists, so every thread the
  // program starts inherits the mask and only the signal thread sees them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(SignalLoop, set).detach();
  InstallCrashHandlers();
  previousTerminate = std::set_terminate(OnTerminate);
  std::atexit(AtExitHandBack);
}

void PumpKeys();

// Reads the terminal as bytes arrive, so that each gets its own arrival time:
// the program looks at its keys only between sleeps of up to 30 seconds, and
// an Esc and a key typed within one sleep must not reach the decoder together
// (they would make Alt+key: Esc then x would quit).  Sleeps in poll() while
// nothing comes, so a waiting alarm is not woken.
void ReadKeys() {
  Session& s = S();
  for (;;) {
    bool full = false;
    {
      std::lock_guard lock(s.Mutex);
      full = s.Console->Input.size() >= kMaxQueuedRecords;
    }
    if (full) {
      // The rest stays in the terminal's own buffer until keys are read.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    InputSource::Status status = InputSource::Status::Ok;
    {
      std::lock_guard inputLock(s.InputMutex);
      status = s.Input->Wait(-1);
    }
    if (status == InputSource::Status::Gone) EndTerminalGone();
    PumpKeys();
  }
}

void StartOnce() {
  if (isatty(inFd) == 0 || isatty(outFd) == 0 || tcgetattr(inFd, &userMode) != 0) {
    static const char message[] = "rousel: standard input and output must be a terminal\n";
    WriteAll(STDERR_FILENO, message, sizeof message - 1);
    _exit(1);
  }
  Session& s = S();
  std::lock_guard lock(s.Mutex);
  int columns = 80;
  int rows = 25;
  TerminalSize(&columns, &rows);
  const int width = std::min(columns, kMaxColumns);
  const int height = std::min(rows, kMaxRows);
  s.Chars = LocaleCharset();
  s.Console = std::make_unique<model::Console>(width, height, model::Cell{' ', 7});
  s.Screen = std::make_unique<Renderer>(width, height, s.Chars);
  s.Input = std::make_unique<InputSource>(inFd);
  s.Raw = RawMode(userMode);
  leaveBytes[0] = '\x18';
  const std::string_view leave = LeaveSequence();
  std::memcpy(leaveBytes + 1, leave.data(), std::min(leave.size(), sizeof leaveBytes - 1));
  leaveLength = 1 + std::min(leave.size(), sizeof leaveBytes - 1);
  StartSignalHandling();
  TakeLocked(true);
  s.Started = true;
  // Started after the signal mask is set, so it inherits it.
  std::thread(ReadKeys).detach();
}

}  // namespace

// --- terminal_io.h ---
void StartTerminal() {
  static std::once_flag once;
  std::call_once(once, StartOnce);
}

bool TerminalActive() {
  return held;
}

void RingBell() {
  std::lock_guard lock(S().Mutex);
  if (held) Send("\a");
}

void AtTerminalExit(void (*step)()) {
  std::lock_guard lock(stepMutex);
  if (step != nullptr && stepCount < static_cast<int>(std::size(steps))) steps[stepCount++] = step;
}

// --- terminal_session.h ---
std::mutex& SessionMutex() {
  return S().Mutex;
}

model::Console& ConsoleLocked() {
  ApplyCursorLocked();
  return *S().Console;
}

void RenderLocked() {
  ApplyCursorLocked();
  if (held) Send(S().Screen->Render(*S().Console));
}

bool MoveCursor(COORD position) {
  Session& s = S();
  // The console's size is fixed once the terminal is started.
  if (position.X < 0 || position.Y < 0 || position.X >= s.Console->Screen.Width() ||
      position.Y >= s.Console->Screen.Height()) {
    return false;
  }
  pendingCursor.store(static_cast<uint64_t>(static_cast<uint16_t>(position.X)) |
                      (static_cast<uint64_t>(static_cast<uint16_t>(position.Y)) << 16));
  if (!cursorShown.load()) return true;
  std::lock_guard lock(s.Mutex);
  RenderLocked();
  return true;
}

void NoteCursorShownLocked(bool shown) {
  cursorShown.store(shown);
}

void SetTitleLocked(std::string_view title) {
  Session& s = S();
  s.Console->Title = std::string(title);
  s.TitleBytes = TitleSequence(title, s.Chars);
  if (held) Send(s.TitleBytes);
}

namespace {
void PumpKeys() {
  Session& s = S();
  std::vector<INPUT_RECORD> records;
  InputSource::Status status = InputSource::Status::Ok;
  {
    std::lock_guard inputLock(s.InputMutex);
    {
      std::lock_guard lock(s.Mutex);
      if (s.Console->Input.size() >= kMaxQueuedRecords) return;
    }
    status = s.Input->Pump(&records);
  }
  if (!records.empty()) {
    {
      std::lock_guard lock(s.Mutex);
      s.Console->Input.insert(s.Console->Input.end(), records.begin(), records.end());
    }
    s.InputArrived.notify_all();
  }
  if (status == InputSource::Status::Gone) EndTerminalGone();
  if (status == InputSource::Status::Background) {
    // Another job holds the terminal: stop as a background reader does.
    kill(getpid(), SIGTTIN);
    std::lock_guard inputLock(s.InputMutex);
    s.Input->Wait(100);
  }
}

}  // namespace

DWORD WaitForInput(DWORD milliseconds) {
  Session& s = S();
  std::unique_lock lock(s.Mutex);
  const auto ready = [&s] { return !s.Console->Input.empty(); };
  if (milliseconds == INFINITE) {
    s.InputArrived.wait(lock, ready);
    return WAIT_OBJECT_0;
  }
  return s.InputArrived.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)
             ? WAIT_OBJECT_0
             : WAIT_TIMEOUT;
}

bool SetCtrlHandler(PHANDLER_ROUTINE handler, bool add) {
  std::lock_guard lock(ctrlMutex);
  if (handler == nullptr) {
    ignoreCtrlC = add;
    return true;
  }
  if (add) {
    ctrlHandlers.push_back(handler);
    return true;
  }
  const auto found = std::find(ctrlHandlers.rbegin(), ctrlHandlers.rend(), handler);
  if (found == ctrlHandlers.rend()) return false;
  ctrlHandlers.erase(std::next(found).base());
  return true;
}

void EndProcess(unsigned code) {
  RunExitSteps();
  {
    std::lock_guard lock(S().Mutex);
    if (S().Started) HandBackLocked(true);
  }
  std::fflush(nullptr);
  _exit(static_cast<int>(code));
}

}  // namespace term
