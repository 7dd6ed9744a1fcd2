// The terminal session: the state it keeps, taking the terminal over and
// handing it back, and sending the console's changes.
#include "standin/terminal/session/session.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "standin/model/console_model.h"
#include "standin/terminal/base/clock.h"
#include "standin/terminal/session/input.h"
#include "standin/terminal/session/output.h"
#include "standin/terminal/session/signals.h"
#include "standin/terminal/session/state.h"
#include "standin/terminal/vt/tty_mode.h"

namespace session {

std::atomic<bool> Held{false};

namespace {

// A query's answer comes within a round trip.  Handing the terminal back
// waits this long for answers still due, so that none reaches the shell
// after it; a terminal that has not answered by then is taken for one that
// does not, and is not waited for again.  The time is taken from the wait
// for the terminal to drain, so the hand-back as a whole waits no longer.
constexpr int HandBackReplyWaitMs = 200;

// The console is a screen buffer, not the window: never smaller than the
// 80x25 a console program is written for, as large as the terminal beyond
// that, within what a terminal could ever show.
constexpr int MinBufferColumns = 80;
constexpr int MinBufferRows = 25;
constexpr int MaxBufferColumns = 1024;
constexpr int MaxBufferRows = 1024;

// What a crash handler sends to give the terminal back: plain data, set
// before the handlers exist.  CAN first: it aborts an escape sequence the
// crash may have cut in half.
char LeaveBytes[96];
size_t LeaveLength = 0;

// The silencer set with SetSilencer; read by the crash handlers.
std::atomic<void (*)() noexcept> Silencer{nullptr};

// When the first change not yet sent was made (monotonic ms), 0 when the
// terminal has been sent everything.  The screen is sent once per pass of
// the program (see Present), not after each console call.
std::atomic<uint64_t> UnsentSince{0};

// How long a change may wait for the program's thread to end its pass before
// another thread sends it.
constexpr uint64_t SendDeadlineMs = 50;

// How long handing the terminal back waits for it to take the bytes.
constexpr int HandBackWaitMs = 250;

// The terminal's size where it tells it; the values are left as they are
// where it does not.
void TerminalSize(int* columns, int* rows) {
  for (const int fd : {OutFd, InFd}) {
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
      *columns = size.ws_col;
      *rows = size.ws_row;
      return;
    }
  }
}

// UTF-8 when the user's locale says so; the program's own locale is left as
// it was.
vt::Charset LocaleCharset() {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = current != nullptr ? current : "C";
  vt::Charset charset = vt::Charset::Ascii;
  if (std::setlocale(LC_CTYPE, "") != nullptr) {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr &&
        (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0))
      charset = vt::Charset::Utf8;
  }
  std::setlocale(LC_CTYPE, saved.c_str());
  return charset;
}

// The bytes that give the terminal back as the user had it, for what is in
// force now.
std::string RestoreBytesLocked() {
  const Session& s = TheSession();
  std::string restore(s.Keys.LeaveBytes());
  restore += vt::LeaveSequence(s.AlternateScreen);
  return restore;
}

// After a crash, without an alternate screen the program's screen stays: the
// report that follows goes below it rather than into it.
std::string AfterTheScreenLocked() {
  return TheSession().AlternateScreen ? "" : "\x1b[999;1H\r\n";
}

// The crash path's bytes, from what is in force now.
void SetLeaveBytesLocked() {
  const std::string leave = RestoreBytesLocked() + AfterTheScreenLocked();
  const size_t length = std::min(leave.size(), sizeof LeaveBytes - 1);
  LeaveBytes[0] = '\x18';
  // Bytes with a length, written with write(): no terminating NUL.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
  std::memcpy(LeaveBytes + 1, leave.data(), length);
  LeaveLength = 1 + length;
}

// Refuses the terminal with one line and status 1, before anything of it
// has changed.
[[noreturn]] void Refuse(const char* why) {
  std::fputs(why, stderr);
  std::fflush(nullptr);
  _exit(1);
}

// TERM=dumb names a terminal that only prints lines (an editor's shell
// buffer, a log): it cannot place the cursor, so every screen would reach it
// as a stream of escape sequences.  It is refused as a missing terminal is,
// but with its own reason, which the console layer could not give.
void RefuseDumbTerminal() {
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0)
    Refuse("rousel: a dumb terminal (TERM=dumb) cannot show the screen\n");
}

// One copy per terminal: a second would take the first one's raw mode for
// the user's and give it back as such, leaving the terminal raw when both
// are gone.  An advisory lock on a description of the terminal's own, which
// the system lets go when the holder ends, however it ends.  Never closed.
void RefuseSecondCopy() {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", InFd);
  int lock = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (lock < 0) {
    const char* name = ttyname(InFd);
    lock = name != nullptr ? open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC) : -1;
  }
  if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    Refuse("rousel: another Rousel is running on this terminal\n");
}

void StartOnce() {
  Session& s = TheSession();
  if (isatty(InFd) == 0 || isatty(OutFd) == 0) return;
  RefuseDumbTerminal();
  RefuseSecondCopy();
  if (tcgetattr(InFd, &s.UserMode) != 0) return;
  std::unique_lock lock(model::ConsoleMutex());
  int columns = MinBufferColumns;
  int rows = MinBufferRows;
  TerminalSize(&columns, &rows);
  // A smaller terminal shows the part of the buffer around the cursor, as
  // after a resize.
  const int width = std::clamp(columns, MinBufferColumns, MaxBufferColumns);
  const int height = std::clamp(rows, MinBufferRows, MaxBufferRows);
  s.Chars = LocaleCharset();
  s.AlternateScreen = vt::HasAlternateScreen(std::getenv("TERM"));
  model::OpenConsoleLocked(std::make_unique<model::Console>(width, height, model::Cell{' ', 7}));
  s.Screen = std::make_unique<vt::Renderer>(width, height, s.Chars);
  s.Raw = vt::RawMode(s.UserMode);
  SetLeaveBytesLocked();
  OpenOutput(OutFd);
  StartSignalHandling();
  TakeLocked();
  s.Started = true;
  // Started after the signal mask is set, so it inherits it.
  StartKeyReader();
  // Which keys the terminal can send beyond the legacy bytes (releases, so
  // Alt+keypad numbers; right versus left Alt; keypad versus top row; Esc
  // itself) is asked, not waited for: the first screen goes out now, and
  // the key reader puts the protocol in force whenever the answer comes.
  Queue(s.Keys.Query(), Stream::Control);
}

// Queues what changed; the caller writes it.
void PresentLocked() {
  UnsentSince.store(0);
  if (!Held) return;
  Session& s = TheSession();
  model::Console& console = model::ConsoleLocked();
  const bool whole = s.Screen->Fresh();
  if (!Queue(s.Screen->Render(console), Stream::Screen, whole, false)) {
    // The terminal is far behind: what it is sent next is the latest screen
    // as a whole, replacing every redraw still waiting.
    s.Screen->Invalidate();
    Queue(s.Screen->Render(console), Stream::Screen, true, false);
  }
}

}  // namespace

Session& TheSession() {
  static auto* session = new Session;
  return *session;
}

// --- Taking the terminal and handing it back ---

void ResizeLocked() {
  Session& s = TheSession();
  int columns = s.Screen->ViewColumns();
  int rows = s.Screen->ViewRows();
  TerminalSize(&columns, &rows);
  s.Screen->SetViewport(columns, rows);
  // The console's window is the terminal, within the buffer: it follows the
  // cursor where the terminal is the smaller.
  model::SetWindowSizeLocked(columns, rows);
}

void TakeLocked() {
  Session& s = TheSession();
  const bool again = Held.exchange(true);
  tcsetattr(InFd, TCSANOW, &s.Raw);
  ResizeLocked();
  std::string enter(vt::EnterSequence(!again, s.AlternateScreen));
  enter += s.Keys.Enter();
  Queue(enter, Stream::Control);
  SetLeaveBytesLocked();
  RenderLocked();
  Queue(s.TitleBytes, Stream::Title);
}

void RepliedLocked(const vt::Reply& reply) {
  const std::string send = TheSession().Keys.OnReply(reply, Held);
  if (send.empty()) return;
  Queue(send, Stream::Control);
  SetLeaveBytesLocked();
}

void HandBack(bool leaveScreen, bool ending) {
  int waited = 0;
  {
    std::unique_lock lock(model::ConsoleMutex());
    if (!TheSession().Started || !Held) return;
    waited = AwaitRepliesLocked(lock, HandBackReplyWaitMs);
    if (!Held.exchange(false)) return;
    Session& s = TheSession();
    std::string out = s.Keys.Leave();
    out += vt::LeaveSequence(s.AlternateScreen);
    const model::Console& console = model::ConsoleLocked();
    if (!s.AlternateScreen) {
      // The user's screen shows what the program drew, an exit banner
      // included: written again it would show twice.  The shell's prompt
      // goes below it, on every way out.
      out += vt::LineAfterText(console.Screen, console.Cursor.Y);
    } else if (leaveScreen) {
      out += vt::ScreenText(console.Screen, console.Cursor.Y, s.Chars);
    }
    Queue(out, Stream::Control);
  }
  // A terminal that does not read must not hold up the way out: the mode
  // is restored at once, and the bytes are left to a process that waits.
  if (!Drain(std::max(HandBackWaitMs - waited, 50)) && ending) LeaveWhenDrained();
  tcsetattr(InFd, TCSANOW, &TheSession().UserMode);
}

void HandBackAsyncSafe() {
  // No exit step runs after a crash: a speaker tone would go on sounding.
  Silence();
  if (!Held.exchange(false)) return;
  WriteWithin(CrashOutputFd(), LeaveBytes, LeaveLength, 1000);
  tcsetattr(InFd, TCSANOW, &TheSession().UserMode);
}

void Silence() noexcept {
  if (void (*silence)() noexcept = Silencer.load()) silence();
}

void RenderLocked() {
  PresentLocked();
  Flush();
}

// --- For the rest of the terminal end ---

bool StartTerminal() {
  static std::once_flag once;
  std::call_once(once, StartOnce);
  return TheSession().Started;
}

void ChangedLocked() {
  if (UnsentSince.load(std::memory_order_relaxed) == 0) UnsentSince.store(base::MonotonicMs());
}

void TitleChangedLocked() {
  Session& s = TheSession();
  s.TitleBytes = vt::TitleSequence(model::ConsoleLocked().Title, s.Chars);
  if (Held) Queue(s.TitleBytes, Stream::Title);
}

void Present() {
  if (UnsentSince.load() == 0 || !TheSession().Started) return;
  {
    std::lock_guard lock(model::ConsoleMutex());
    PresentLocked();
  }
  Flush();
}

void PresentWhenDue() {
  const uint64_t since = UnsentSince.load();
  if (since != 0 && base::MonotonicMs() - since >= SendDeadlineMs) Present();
}

void RingBell() {
  std::lock_guard lock(model::ConsoleMutex());
  if (Held) Queue("\a", Stream::Bell);
}

void SetSilencer(void (*silence)() noexcept) {
  Silencer.store(silence);
}

}  // namespace session
