// The terminal stand-in on a real pseudo-terminal: every way out hands the
// terminal back, keys and control events arrive as the console delivers
// them, and a terminal that stops reading holds nothing up.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console/win32.h"
#include "posix/vt/renderer.h"
#include "tests/session/pty_child.h"

namespace {

using namespace std::chrono_literals;
using ptytest::PtyChild;

const std::string Enter(vt::EnterSequence());
const std::string Leave(vt::LeaveSequence());

HANDLE In() {
  return GetStdHandle(STD_INPUT_HANDLE);
}

void Text(int x, int y, const std::string& text) {
  std::vector<CHAR_INFO> cells(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    cells[i] = {{static_cast<WCHAR>(static_cast<unsigned char>(text[i]))}, 7};
  const auto width = static_cast<SHORT>(text.size());
  SMALL_RECT region{static_cast<SHORT>(x), static_cast<SHORT>(y), static_cast<SHORT>(x + width - 1),
                    static_cast<SHORT>(y)};
  WriteConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), cells.data(), COORD{width, 1}, COORD{0, 0},
                      &region);
}

// The child tells the test what it saw through the window title.
void Report(const std::string& what) {
  SetConsoleTitleA(what.c_str());
}
std::string Reported(const std::string& what) {
  return "\x1b]2;" + what + "\a";
}

// Reads key presses until q, reporting each (modifier keys alone left out),
// or the console's size for i.
void KeyLoop() {
  Report("ready");
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    ReadConsoleInputA(In(), &record, 1, &read);
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (record.EventType != KEY_EVENT || key.bKeyDown == FALSE ||
        (key.wVirtualKeyCode >= VK_SHIFT && key.wVirtualKeyCode <= VK_MENU))
      continue;
    if (key.uChar.AsciiChar == 'q') ExitProcess(7);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info);
    const int character = static_cast<unsigned char>(key.uChar.AsciiChar);
    Report(character == 'i'
               ? "size " + std::to_string(info.dwSize.X) + " " + std::to_string(info.dwSize.Y)
               : "key " + std::to_string(key.wVirtualKeyCode) + " " +
                     std::to_string(key.wVirtualScanCode) + " " + std::to_string(character) + " " +
                     std::to_string(key.dwControlKeyState));
  }
}

// Every way out, every signal that ends the program included, leaves the
// terminal as the user had it; an orderly exit leaves the last screen on the
// user's, a crash does not.  The bell on the way rings once, not again with
// each later pass.
TEST(TerminalSession, EveryWayOutHandsTheTerminalBack) {
  struct Case {
    const char* Name;
    void (*Then)();  // nullptr: the test sends Send
    int Send;
    int Status;  // as waitpid reports it
  };
  std::vector<Case> cases = {
      {"ExitProcess", [] { ExitProcess(3); }, 0, 3 << 8},
      {"exit()", [] { std::exit(5); }, 0, 5 << 8},
      {"Ctrl+Backslash, a handler that declines",
       [] {
         SetConsoleCtrlHandler([](DWORD) -> BOOL { return FALSE; }, TRUE);
         kill(getpid(), SIGQUIT);
       },
       0, SIGQUIT},
      {"abort()", [] { std::abort(); }, 0, SIGABRT},
  };
  for (const int sig : {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGTRAP,
                        SIGIO, SIGRTMIN, SIGRTMAX})
    cases.push_back({strsignal(sig), nullptr, sig, sig});
  for (const Case& c : cases) {
    PtyChild child([&c] {
      Text(0, 0, "hello");
      MessageBeep(0);
      Sleep(1);  // the end of a pass: what it drew is sent
      Report("ready");
      Sleep(1);
      if (c.Then != nullptr) c.Then();
      for (;;) pause();
    });
    ASSERT_TRUE(child.WaitFor(Reported("ready"))) << c.Name;
    if (c.Send != 0) kill(child.Pid(), c.Send);
    EXPECT_EQ(child.WaitExit(), c.Status) << c.Name << child.Output();
    const std::string& out = child.Output();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\a'), 2)
        << c.Name << ": the title's BEL, one bell";
    const std::string last = out.substr(std::min(out.rfind(Enter), out.size()));
    ASSERT_NE(last.find("hello"), std::string::npos) << c.Name;
    const size_t leave = last.find(Leave);
    ASSERT_NE(leave, std::string::npos) << c.Name << ": terminal not handed back";
    EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore())) << c.Name;
    // Lines end in CR LF (the user's output processing may add a CR).
    EXPECT_EQ(last.find("hello\r", leave) == leave + Leave.size(), c.Status >= 256) << c.Name;
  }
}

void WaitKey() {
  INPUT_RECORD record{};
  DWORD read = 0;
  while (ReadConsoleInputA(In(), &record, 1, &read) != FALSE &&
         (record.EventType != KEY_EVENT || record.Event.KeyEvent.bKeyDown == FALSE)) {
  }
}

// Ctrl+Z hands the terminal over only where someone could continue the
// program: never as the session leader (xterm -e, ssh -t), and only for a
// moment as a child of a wrapper that leads the session (its process group
// orphaned), where the stop does not happen.  A shell's job is the scenarios'.
TEST(TerminalSession, CtrlZSuspendsOnlyWhereSomeoneCanContinue) {
  for (const bool orphaned : {false, true}) {
    SCOPED_TRACE(orphaned ? "orphaned child" : "session leader");
    PtyChild child([orphaned] {
      if (!orphaned) KeyLoop();
      const pid_t job = fork();
      if (job == 0) KeyLoop();
      int status = 0;
      waitpid(job, &status, 0);
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    });
    ASSERT_TRUE(child.WaitFor(Reported("ready")));
    const size_t mark = child.Output().size();
    child.Type("\x1a");
    std::this_thread::sleep_for(300ms);  // time for whatever the request would do
    // Still there and answering keys: a stop nobody ends would hang here.
    child.Type("i");
    ASSERT_TRUE(child.WaitFor(Reported("size 80 25"), mark));
    const std::string after = child.Output().substr(mark);
    EXPECT_EQ(after.find(Leave) != std::string::npos, orphaned);
    EXPECT_EQ(after.find(Enter, after.find(Leave)) != std::string::npos, orphaned) << "taken";
    child.Type("q");
    EXPECT_EQ(child.WaitExit(), 7 << 8);
  }
}

// The test is the terminal: it answers the start-up query as a terminal
// with win32-input-mode, with the progressive keyboard enhancement, with
// both, with neither, or not at all.  The start never waits long, the mode
// is switched on only where the terminal has it (win32-input-mode where it
// has both), and off again on the way out.  Each terminal has its own size:
// the console is a screen buffer of at least 80x25, larger with a larger
// terminal up to what the console layer works on, and a small terminal
// shows its top-left part.  The silent one's replies come late, and are
// never typed; keys and control events arrive as the console delivers them.
TEST(TerminalSession, StartUpFindsKeyProtocolAndBufferSizeThenDeliversKeysNotReplies) {
  enum class Mode { None, Win32, Kitty };
  struct Case {
    const char* Name;
    const char* Answer;  // nullptr: the terminal never answers
    Mode Enabled;
    unsigned short Columns, Rows;  // 0: the terminal gives no size
    const char* Size;
  };
  const Case cases[] = {
      {"win32-input-mode", "\x1b[?9001;2$y\x1b[?61;4c", Mode::Win32, 0, 0, "size 80 25"},
      {"kitty flags", "\x1b[?9001;0$y\x1b[?0u\x1b[?62;22c", Mode::Kitty, 79, 900, "size 80 234"},
      {"win32-input-mode set", "\x1b[?9001;1$y\x1b[?61c", Mode::Win32, 1000, 20, "size 256 25"},
      {"both, the mode always on", "\x1b[?9001;3$y\x1b[?0u\x1b[?62c", Mode::Win32, 100, 30,
       "size 100 30"},
      {"mode unknown", "\x1b[?9001;0$y\x1b[?64;1;2c", Mode::None, 80, 25, "size 80 25"},
      {"silent", nullptr, Mode::None, 80, 25, "size 80 25"},
  };
  const std::pair<std::string, std::string> keys[] = {
      // Virtual key, scan code, character, control state.
      {"a", "key 65 30 97 0"},
      {"\r", "key 13 28 13 0"},    // no CR to LF translation on input
      {"\x1b", "key 27 1 27 0"},   // a lone Esc, after the escape timeout
      {"\x13", "key 83 31 19 8"},  // Ctrl+S is a key, not flow control
      {"\x03", "ctrl 0"},          // Ctrl+C, turned into SIGINT by the terminal
      {"\x1c", "ctrl 1"},          // Ctrl+Backslash, SIGQUIT
      {"\x1b]11;rgb:1234/5678/9abc\x1b\\\x1b[?64;1;2;22c\x1b[?9001;2$y\x1b[?1ua", "key 65 30 97 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto start = std::chrono::steady_clock::now();
    PtyChild child([&c] {
      const winsize size{c.Rows, c.Columns, 0, 0};
      ioctl(0, TIOCSWINSZ, &size);
      rlimit core{};  // as a user who allows core files starts it
      getrlimit(RLIMIT_CORE, &core);
      core.rlim_cur = core.rlim_max;
      setrlimit(RLIMIT_CORE, &core);
      SetConsoleCtrlHandler(
          [](DWORD event) -> BOOL {
            Report("ctrl " + std::to_string(event));
            return TRUE;
          },
          TRUE);
      Text(0, 0, "top left");
      Text(70, 20, "far corner");
      // Polling for keys never waits.  No core file could hold a password
      // typed into the program.
      DWORD count = 99;
      const BOOL ok = GetNumberOfConsoleInputEvents(In(), &count);
      const DWORD waited = WaitForSingleObject(In(), 0);
      getrlimit(RLIMIT_CORE, &core);
      Report(std::to_string(ok) + " " + std::to_string(count) + " " + std::to_string(waited) +
             " core " + std::to_string(core.rlim_cur));
      KeyLoop();
    });
    ASSERT_TRUE(child.WaitFor("\x1b[?9001$p\x1b[?u\x1b[c"));
    if (c.Answer != nullptr) child.Type(c.Answer);
    ASSERT_TRUE(child.WaitFor(Reported("ready")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms + 100ms) << "fork and pty included";
    const std::string& out = child.Output();
    EXPECT_EQ(out.rfind(Enter, 0), 0u) << "title saved, alternate screen, no autowrap first";
    EXPECT_NE(out.find(Reported("1 0 258 core 0")), std::string::npos);  // WAIT_TIMEOUT
    EXPECT_EQ(child.ModeNow().c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ISIG));
    EXPECT_EQ(out.find("\x1b[?9001h") != std::string::npos, c.Enabled == Mode::Win32);
    EXPECT_EQ(out.find("\x1b[>31u") != std::string::npos, c.Enabled == Mode::Kitty);
    kill(child.Pid(), SIGPIPE);  // a broken pipe is no reason to die
    for (const auto& [typed, seen] : c.Answer == nullptr ? std::span(keys) : std::span(keys, 0)) {
      const size_t mark = out.size();
      child.Type(typed);
      EXPECT_TRUE(child.WaitFor(Reported(seen), mark)) << seen;
      EXPECT_EQ(out.find("\x1b]2;", mark), out.find(Reported(seen), mark)) << seen << ": typed";
    }
    // i and q in the protocol switched on (the kitty one asked again after
    // the push, and answered with the flags in force).
    std::string info = "i", quit = "q";
    if (c.Enabled == Mode::Win32) info = "\x1b[73;23;105;1;0;1_", quit = "\x1b[81;16;113;1;0;1_";
    if (c.Enabled == Mode::Kitty) info = "\x1b[?31u\x1b[105u", quit = "\x1b[113u";
    child.Type(info);
    EXPECT_TRUE(child.WaitFor(Reported(c.Size)));
    // The screen goes out when the program next waits, which may be after
    // its report.  Cells outside the terminal are not drawn; both texts go
    // out in the same pass.
    EXPECT_TRUE(child.WaitFor("top left"));
    EXPECT_EQ(out.find("far corner") != std::string::npos,
              c.Columns == 0 || (c.Columns >= 80 && c.Rows > 20));
    child.Type(quit);
    EXPECT_EQ(child.WaitExit(), 7 << 8) << "a handler's TRUE keeps the program running";
    const size_t off = out.rfind(c.Enabled == Mode::Kitty ? "\x1b[<u" : "\x1b[?9001l");
    EXPECT_EQ(off != std::string::npos, c.Enabled != Mode::None);
    EXPECT_TRUE(off == std::string::npos || off < out.rfind(Leave)) << "off before the rest";
  }
}

// A terminal that stops taking output (Scroll Lock, XOFF, a stalled link)
// holds nothing up: what it held reaches it once it reads again though the
// program has gone quiet; the passes go on while it does not read (the alarm
// would ring on time); and SIGTERM ends the program while the terminal is
// full, which is handed back once it drains.
TEST(TerminalSession, ATerminalThatStopsReadingHoldsNothingUp) {
  auto* passes =
      static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(passes, MAP_FAILED);
  PtyChild child([passes] {
    Report("ready");
    for (int pass = 0;; ++pass) {
      if (pass == 50) {
        Report("drawn");
        Sleep(1);
      }
      if (pass == 0 || pass == 50) WaitKey();
      // A whole new screen each pass: the terminal's buffer is full at once.
      for (int y = 0; y < 25; ++y)
        Text(0, y, std::string(80, static_cast<char>('a' + (pass + y) % 26)));
      Sleep(pass < 50 ? 1 : 5);
      ++*passes;
    }
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  child.SuspendOutput(true);
  size_t mark = child.Output().size();
  child.Type("g");  // 50 passes, then quiet
  for (int i = 0; i < 2000 && *passes < 50; ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(200ms);
  child.SuspendOutput(false);
  EXPECT_TRUE(child.WaitFor(Reported("drawn"), mark)) << "held output waited for another pass";
  child.SuspendOutput(true);
  child.Type("g");                     // passes again, into a terminal that does not read
  std::this_thread::sleep_for(300ms);  // whatever the terminal's buffer still took
  const int before = *passes;
  std::this_thread::sleep_for(1s);
  EXPECT_GE(*passes - before, 10) << "the program stopped while the terminal did not read";
  mark = child.Output().size();
  kill(child.Pid(), SIGTERM);
  // Generous: it ends at once, but a loaded machine must not fail the test.
  const int status = child.WaitExitWithin(3000);
  child.SuspendOutput(false);
  munmap(passes, sizeof *passes);
  ASSERT_NE(status, -1) << "SIGTERM was not honoured while output was suspended";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(child.WaitFor(Leave, mark)) << "the terminal was not handed back once it drained";
  EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore()));
}

}  // namespace
