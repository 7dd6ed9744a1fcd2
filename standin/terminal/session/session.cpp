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

// DECRQM for win32-input-mode, the progressive keyboard enhancement flags,
// then DA1.
constexpr std::string_view KeyQuery = "\x1b[?9001$p\x1b[?u\x1b[c";
constexpr std::string_view Win32InputOn = "\x1b[?9001h";
constexpr std::string_view Win32InputOff = "\x1b[?9001l";
// Push the enhancement flags: disambiguate (1), event types (2), alternate
// keys (4), all keys as escape codes (8), the text a key types (16, which
// alone says what AltGr or a dead key made).  The query after the push
// tells the key decoder which of them the terminal took; it answers before
// any key that follows.  Pop at hand-back restores what the user had.
constexpr std::string_view KittyKeysOn = "\x1b[>31u\x1b[?u";
constexpr std::string_view KittyKeysOff = "\x1b[<u";
// A local terminal answers within a millisecond, one over ssh within a round
// trip; the start may not wait noticeably longer for one that never does.
constexpr int ReplyWaitMs = 150;

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
  std::string restore(s.Win32Input ? Win32InputOff : "");
  if (s.KittyKeys) restore += KittyKeysOff;
  restore += vt::LeaveSequence();
  return restore;
}

// The crash path's bytes, from what is in force now.
void SetLeaveBytesLocked() {
  const std::string leave = RestoreBytesLocked();
  const size_t length = std::min(leave.size(), sizeof LeaveBytes - 1);
  LeaveBytes[0] = '\x18';
  // Bytes with a length, written with write(): no terminating NUL.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
  std::memcpy(LeaveBytes + 1, leave.data(), length);
  LeaveLength = 1 + length;
}

// Asks which key encodings the terminal has beyond the legacy ones, and
// switches one on where it is known: win32-input-mode, or else the
// progressive keyboard enhancement.  Both carry what the legacy bytes lose
// (releases, so Alt+keypad numbers; right versus left Alt; keypad versus
// top row; Esc itself).  win32-input-mode comes first where a terminal has
// both: its records are the console's own, scan code, layout character and
// left and right keys as sent, where the other protocol's keys must be
// mapped onto a PC keyboard.  DA1 follows the queries because every
// terminal answers it, and after them, so a terminal that knows none of
// this costs one round trip, and one that answers nothing at all the time
// limit.
void NegotiateKeysLocked(std::unique_lock<std::mutex>& lock) {
  Queue(KeyQuery, Stream::Control);
  const vt::TerminalReplies replies = AwaitRepliesLocked(lock, ReplyWaitMs);
  if (!Held) return;
  Session& s = TheSession();
  const int mode = replies.Win32InputMode;
  if (mode == 1 || mode == 2 || mode == 3) {
    s.Win32Input = true;
    Queue(Win32InputOn, Stream::Control);
  } else if (replies.KittyFlags >= 0) {
    s.KittyKeys = true;
    Queue(KittyKeysOn, Stream::Control);
  } else {
    return;
  }
  SetLeaveBytesLocked();
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
  model::OpenConsoleLocked(std::make_unique<model::Console>(width, height, model::Cell{' ', 7}));
  s.Screen = std::make_unique<vt::Renderer>(width, height, s.Chars);
  s.Raw = vt::RawMode(s.UserMode);
  SetLeaveBytesLocked();
  OpenOutput(OutFd);
  StartSignalHandling();
  TakeLocked(true);
  s.Started = true;
  // Started after the signal mask is set, so it inherits it.
  StartKeyReader();
  NegotiateKeysLocked(lock);
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

void TakeLocked(bool saveTitle) {
  Session& s = TheSession();
  Held = true;
  tcsetattr(InFd, TCSANOW, &s.Raw);
  ResizeLocked();
  std::string enter(vt::EnterSequence(saveTitle));
  if (s.Win32Input) enter += Win32InputOn;
  if (s.KittyKeys) enter += KittyKeysOn;
  Queue(enter, Stream::Control);
  RenderLocked();
  Queue(s.TitleBytes, Stream::Title);
}

void HandBack(bool leaveScreen, bool ending) {
  {
    std::lock_guard lock(model::ConsoleMutex());
    if (!TheSession().Started || !Held.exchange(false)) return;
    std::string out = RestoreBytesLocked();
    if (leaveScreen) {
      const model::Console& console = model::ConsoleLocked();
      out += vt::ScreenText(console.Screen, console.Cursor.Y, TheSession().Chars);
    }
    Queue(out, Stream::Control);
  }
  // A terminal that does not read must not hold up the way out: the mode
  // is restored at once, and the bytes are left to a process that waits.
  if (!Drain(HandBackWaitMs) && ending) LeaveWhenDrained();
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
