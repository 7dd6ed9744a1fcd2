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
#include <cstring>

#include "console/console_output.h"
#include "posix/session/input.h"
#include "posix/session/output.h"
#include "posix/session/signals.h"
#include "posix/sound/tone.h"
#include "posix/vt/tty_mode.h"

namespace session {

std::atomic<bool> Held{false};

namespace {

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

void ApplyCursorLocked() {
  const uint64_t packed = PendingCursor.exchange(NoMove);
  if (packed == NoMove) return;
  TheSession().Console->SetCursorPosition(
      COORD{static_cast<SHORT>(packed & 0xFFFF), static_cast<SHORT>((packed >> 16) & 0xFFFF)});
}

bool TerminalSize(int* columns, int* rows) {
  for (const int fd : {OutFd, InFd}) {
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

void StartOnce() {
  Session& s = TheSession();
  if (isatty(InFd) == 0 || isatty(OutFd) == 0 || tcgetattr(InFd, &s.UserMode) != 0) return;
  std::lock_guard lock(s.Mutex);
  int columns = 80;
  int rows = 25;
  TerminalSize(&columns, &rows);
  // The console layer works on no larger area; a larger buffer would only
  // cost memory.
  const int width = std::min<int>(columns, MaxScreenWidth);
  const int height = std::min<int>(rows, MaxScreenHeight);
  s.Chars = LocaleCharset();
  s.Console = std::make_unique<model::Console>(width, height, model::Cell{' ', 7});
  s.Screen = std::make_unique<vt::Renderer>(width, height, s.Chars);
  s.Raw = vt::RawMode(s.UserMode);
  LeaveBytes[0] = '\x18';
  const std::string_view leave = vt::LeaveSequence();
  std::memcpy(LeaveBytes + 1, leave.data(), std::min(leave.size(), sizeof LeaveBytes - 1));
  LeaveLength = 1 + std::min(leave.size(), sizeof LeaveBytes - 1);
  StartSignalHandling();
  TakeLocked(true);
  s.Started = true;
  // Started after the signal mask is set, so it inherits it.
  StartKeyReader();
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
  std::string out(vt::EnterSequence(saveTitle));
  out += s.Screen->Render(*s.Console);
  out += s.TitleBytes;
  Send(out);
}

void HandBackLocked(bool leaveScreen) {
  if (!Held.exchange(false)) return;
  Session& s = TheSession();
  std::string out(vt::LeaveSequence());
  ApplyCursorLocked();
  if (leaveScreen) out += vt::ScreenText(s.Console->Screen, s.Console->Cursor.Y, s.Chars);
  Send(out);
  tcsetattr(InFd, TCSANOW, &s.UserMode);
}

void HandBackAsyncSafe() {
  // No exit step runs after a crash: a speaker tone would go on sounding.
  sound::SilenceSpeaker();
  if (!Held.exchange(false)) return;
  WriteAll(OutFd, LeaveBytes, LeaveLength);
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

void RenderLocked() {
  ApplyCursorLocked();
  if (Held) Send(TheSession().Screen->Render(*TheSession().Console));
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
  if (Held) Send(s.TitleBytes);
}

void RingBell() {
  std::lock_guard lock(TheSession().Mutex);
  if (Held) Send("\a");
}

}  // namespace session
