// The terminal session: the state it keeps, taking the terminal over and
// handing it back, and what the Win32 console functions do on it.
#include "posix/session/session.h"

#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "console/console_output.h"
#include "model/kernel_objects.h"
#include "posix/session/input.h"
#include "posix/session/output.h"
#include "posix/session/signals.h"
#include "posix/sound/tone.h"
#include "posix/vt/tty_mode.h"

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

constexpr int MinBufferColumns = 80;
constexpr int MinBufferRows = 25;

// What a crash handler sends to give the terminal back: plain data, set
// before the handlers exist.  CAN first: it aborts an escape sequence the
// crash may have cut in half.
char LeaveBytes[96];
size_t LeaveLength = 0;

// The cursor position the console layer's thread last set, not yet in the
// model.  While the cursor is hidden (the whole run of the program) a move
// shows nothing, so it is only noted here, without the session lock: the
// cursor thread then never wakes up only to wait for the program's thread to
// finish drawing.
constexpr uint64_t NoMove = ~uint64_t{0};
std::atomic<uint64_t> PendingCursor{NoMove};
std::atomic<bool> CursorShown{true};

// When the first change not yet sent was made (CLOCK_MONOTONIC ms), 0 when
// the terminal has been sent everything.  The screen is sent once per pass of
// the program (see Present), not after each console call.
std::atomic<uint64_t> UnsentSince{0};

// How long a change may wait for the program's thread to end its pass before
// another thread sends it.
constexpr uint64_t SendDeadlineMs = 50;

// How long handing the terminal back waits for it to take the bytes.
constexpr int HandBackWaitMs = 250;

uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void ApplyCursorLocked() {
  const uint64_t packed = PendingCursor.exchange(NoMove);
  if (packed == NoMove) return;
  TheSession().Console->SetCursorPosition(
      COORD{static_cast<SHORT>(packed & 0xFFFF), static_cast<SHORT>((packed >> 16) & 0xFFFF)});
}

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

// The crash path's bytes, from what is in force now.
void SetLeaveBytesLocked() {
  const Session& s = TheSession();
  std::string leave(s.Win32Input ? Win32InputOff : "");
  if (s.KittyKeys) leave += KittyKeysOff;
  leave += vt::LeaveSequence(s.AlternateScreen);
  // Without an alternate screen the program's screen stays; the report that
  // follows goes below it rather than into it.
  if (!s.AlternateScreen) leave += "\x1b[999;1H\r\n";
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

void StartOnce() {
  Session& s = TheSession();
  if (isatty(InFd) == 0 || isatty(OutFd) == 0 || tcgetattr(InFd, &s.UserMode) != 0) return;
  std::unique_lock lock(s.Mutex);
  int columns = 80;
  int rows = 25;
  TerminalSize(&columns, &rows);
  // The console area is a screen buffer, not the window: never smaller than
  // the 80x25 a console program is written for (a smaller terminal shows its
  // top-left part, as after a resize), larger where the terminal is, up to
  // what the console layer works on.
  const int width = std::clamp<int>(columns, MinBufferColumns, MaxScreenWidth);
  const int height = std::clamp<int>(rows, MinBufferRows, MaxScreenHeight);
  s.Chars = LocaleCharset();
  s.AlternateScreen = vt::HasAlternateScreen(std::getenv("TERM"));
  s.Console = std::make_unique<model::Console>(width, height, model::Cell{' ', 7});
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

}  // namespace

Session& TheSession() {
  static auto* session = new Session;
  return *session;
}

// --- Taking the terminal and handing it back (session lock held) ---

void ResizeLocked() {
  Session& s = TheSession();
  int columns = s.Screen->ViewColumns();
  int rows = s.Screen->ViewRows();
  TerminalSize(&columns, &rows);
  s.Screen->SetViewport(columns, rows);
  ApplyCursorLocked();
}

void TakeLocked(bool saveTitle) {
  Session& s = TheSession();
  Held = true;
  tcsetattr(InFd, TCSANOW, &s.Raw);
  ResizeLocked();
  std::string enter(vt::EnterSequence(saveTitle, s.AlternateScreen));
  if (s.Win32Input) enter += Win32InputOn;
  if (s.KittyKeys) enter += KittyKeysOn;
  Queue(enter, Stream::Control);
  RenderLocked();
  Queue(s.TitleBytes, Stream::Control);
}

void HandBackLocked(bool leaveScreen, bool ending) {
  if (!Held.exchange(false)) return;
  Session& s = TheSession();
  std::string restore(s.Win32Input ? Win32InputOff : "");
  if (s.KittyKeys) restore += KittyKeysOff;
  restore += vt::LeaveSequence(s.AlternateScreen);
  std::string out(restore);
  ApplyCursorLocked();
  if (!s.AlternateScreen) {
    // The user's screen shows what the program drew, an exit banner
    // included: written again it would show twice.  The shell's prompt goes
    // below it, on every way out.
    out += vt::LineAfterText(s.Console->Screen, s.Console->Cursor.Y);
  } else if (leaveScreen) {
    out += vt::ScreenText(s.Console->Screen, s.Console->Cursor.Y, s.Chars);
  }
  Queue(out, Stream::Control);
  // A terminal that does not read must not hold up the way out: the mode
  // is restored at once, and the bytes are left to a process that waits.
  if (!Drain(HandBackWaitMs) && ending) LeaveWhenDrained(restore);
  tcsetattr(InFd, TCSANOW, &s.UserMode);
}

void HandBackAsyncSafe() {
  // No exit step runs after a crash: a speaker tone would go on sounding.
  sound::SilenceSpeaker();
  if (!Held.exchange(false)) return;
  WriteWithin(CrashOutputFd(), LeaveBytes, LeaveLength, 1000);
  tcsetattr(InFd, TCSANOW, &TheSession().UserMode);
}

// --- For the Win32 functions and the sound ---

bool StartTerminal() {
  static std::once_flag once;
  std::call_once(once, StartOnce);
  return TheSession().Started;
}

std::mutex& SessionMutex() {
  return TheSession().Mutex;
}

model::Console& ConsoleLocked() {
  ApplyCursorLocked();
  return *TheSession().Console;
}

namespace {

// Queues what changed; the caller writes it.
void PresentLocked() {
  ApplyCursorLocked();
  UnsentSince.store(0);
  if (!Held) return;
  Session& s = TheSession();
  const bool whole = s.Screen->Fresh();
  if (!Queue(s.Screen->Render(*s.Console), Stream::Screen, whole, false)) {
    // The terminal is far behind: what it is sent next is the latest screen
    // as a whole, replacing every redraw still waiting.
    s.Screen->Invalidate();
    Queue(s.Screen->Render(*s.Console), Stream::Screen, true, false);
  }
}

}  // namespace

void RenderLocked() {
  PresentLocked();
  Flush();
}

void ChangedLocked() {
  if (UnsentSince.load(std::memory_order_relaxed) == 0) UnsentSince.store(NowMs());
}

void Present() {
  Session& s = TheSession();
  if (UnsentSince.load() != 0 && s.Started) {
    {
      std::lock_guard lock(s.Mutex);
      PresentLocked();
    }
    Flush();
  }
  // This thread works in passes: the cursor moves of a pass wake the cursor
  // thread once, now that the pass ends.
  model::DeferWakesOnThisThread();
  model::ReleaseWakes();
}

void PresentWhenDue() {
  const uint64_t since = UnsentSince.load();
  if (since != 0 && NowMs() - since >= SendDeadlineMs) Present();
}

bool MoveCursor(COORD position) {
  Session& s = TheSession();
  // The console's size is fixed once the terminal is started.
  if (position.X < 0 || position.Y < 0 || position.X >= s.Console->Screen.Width() ||
      position.Y >= s.Console->Screen.Height()) {
    return false;
  }
  PendingCursor.store(static_cast<uint64_t>(static_cast<uint16_t>(position.X)) |
                      (static_cast<uint64_t>(static_cast<uint16_t>(position.Y)) << 16));
  if (!CursorShown.load()) return true;
  std::lock_guard lock(s.Mutex);
  RenderLocked();
  return true;
}

void NoteCursorShownLocked(bool shown) {
  CursorShown.store(shown);
}

void SetTitleLocked(std::string_view title) {
  Session& s = TheSession();
  s.Console->Title = std::string(title);
  s.TitleBytes = vt::TitleSequence(title, s.Chars);
  if (Held) Queue(s.TitleBytes, Stream::Control);
}

void WipeMemory(void* data, size_t size) {
  auto* const bytes = static_cast<volatile unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

void RingBell() {
  std::lock_guard lock(TheSession().Mutex);
  if (Held) Queue("\a", Stream::Control);
}

}  // namespace session
