// The terminal stand-in on a real pseudo-terminal: every way out hands the
// terminal back, keys and control events arrive as the console delivers
// them, and a resize repaints.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/win32.h"
#include "posix/vt/renderer.h"
#include "tests/session/pty_child.h"

namespace {

using ptytest::PtyChild;

const std::string kEnter(vt::EnterSequence());
const std::string kLeave(vt::LeaveSequence());

HANDLE Out() {
  return GetStdHandle(STD_OUTPUT_HANDLE);
}
HANDLE In() {
  return GetStdHandle(STD_INPUT_HANDLE);
}

void Text(int x, int y, const std::string& text) {
  std::vector<CHAR_INFO> cells(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    cells[i].Char.UnicodeChar = static_cast<unsigned char>(text[i]);
    cells[i].Attributes = 7;
  }
  SMALL_RECT region{static_cast<SHORT>(x), static_cast<SHORT>(y),
                    static_cast<SHORT>(x + static_cast<int>(text.size()) - 1),
                    static_cast<SHORT>(y)};
  WriteConsoleOutputA(Out(), cells.data(), COORD{static_cast<SHORT>(text.size()), 1}, COORD{0, 0},
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
  In();
  Report("ready");
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    ReadConsoleInputA(In(), &record, 1, &read);
    if (read != 1 || record.EventType != KEY_EVENT || record.Event.KeyEvent.bKeyDown == FALSE)
      continue;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (key.wVirtualKeyCode >= VK_SHIFT && key.wVirtualKeyCode <= VK_MENU) continue;
    if (key.uChar.AsciiChar == 'q') ExitProcess(7);
    if (key.uChar.AsciiChar == 'i') {
      CONSOLE_SCREEN_BUFFER_INFO info{};
      GetConsoleScreenBufferInfo(Out(), &info);
      Report("size " + std::to_string(info.dwSize.X) + " " + std::to_string(info.dwSize.Y));
      continue;
    }
    Report("key " + std::to_string(key.wVirtualKeyCode) + " " +
           std::to_string(key.wVirtualScanCode) + " " +
           std::to_string(static_cast<unsigned char>(key.uChar.AsciiChar)) + " " +
           std::to_string(key.dwControlKeyState));
  }
}

[[noreturn]] void Idle() {
  for (;;) pause();
}

// What the terminal saw after the program last took it over.
std::string AfterLastEnter(const std::string& output) {
  const size_t at = output.rfind(kEnter);
  return at == std::string::npos ? std::string() : output.substr(at);
}

TEST(TerminalSession, EveryWayOutHandsTheTerminalBack) {
  struct Case {
    const char* Name;
    void (*Then)();  // after the program has written "hello"
    int ExitCode;    // -1: ends by Signal
    int Signal;
    bool LeavesScreen;
  };
  const Case cases[] = {
      {"ExitProcess", [] { ExitProcess(3); }, 3, 0, true},
      {"exit()", [] { std::exit(5); }, 5, 0, true},
      {"Ctrl+Backslash, a handler that declines",
       [] {
         SetConsoleCtrlHandler([](DWORD) -> BOOL { return FALSE; }, TRUE);
         kill(getpid(), SIGQUIT);
         Idle();
       },
       -1, SIGQUIT, false},
      {"abort()", [] { std::abort(); }, -1, SIGABRT, false},
  };
  for (const Case& c : cases) {
    PtyChild child([&c] {
      Text(0, 0, "hello");
      c.Then();
    });
    const int status = child.WaitExit();
    ASSERT_NE(status, -1) << c.Name << ": did not end";
    if (c.ExitCode >= 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.ExitCode)
          << c.Name << " " << status << child.Output();
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.Signal) << c.Name << " " << status;
    }
    const std::string last = AfterLastEnter(child.Output());
    ASSERT_FALSE(last.empty()) << c.Name << ": never took the terminal";
    EXPECT_NE(last.find("hello"), std::string::npos) << c.Name;
    const size_t leave = last.find(kLeave);
    ASSERT_NE(leave, std::string::npos) << c.Name << ": terminal not handed back";
    EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore())) << c.Name;
    const std::string after = last.substr(leave + kLeave.size());
    if (c.LeavesScreen) {
      // Lines end in CR LF (the user's output processing may add a CR).
      EXPECT_EQ(after.rfind("hello\r", 0), 0u) << c.Name << ": " << after;
    } else {
      EXPECT_EQ(after.find("hello"), std::string::npos) << c.Name;
    }
  }
}

TEST(TerminalSession, TakesTheTerminalOverDeliversKeysAndEventsAndRepaintsOnResize) {
  struct Case {
    std::string Typed;
    std::string Seen;  // virtual key, scan code, character, control state
  };
  const Case cases[] = {
      {"a", "key 65 30 97 0"},    {"\r", "key 13 28 13 0"},  // no CR to LF translation on input
      {"\x1b", "key 27 1 27 0"},                             // a lone Esc, after the escape timeout
      {"\x13", "key 83 31 19 8"},                            // Ctrl+S is a key, not flow control
      {"\x03", "ctrl 0"},  // Ctrl+C, turned into SIGINT by the terminal
      {"\x1c", "ctrl 1"},  // Ctrl+Backslash, SIGQUIT
  };
  PtyChild child([] {
    SetConsoleCtrlHandler(
        [](DWORD event) -> BOOL {
          Report("ctrl " + std::to_string(event));
          return TRUE;
        },
        TRUE);
    Text(0, 0, "resize me");
    // Polling for keys never waits.
    DWORD count = 99;
    const BOOL ok = GetNumberOfConsoleInputEvents(In(), &count);
    const DWORD waited = WaitForSingleObject(In(), 0);
    Report(std::to_string(ok) + " " + std::to_string(count) + " " + std::to_string(waited));
    KeyLoop();
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  const std::string& out = child.Output();
  EXPECT_EQ(out.rfind(kEnter, 0), 0u) << "title saved, alternate screen, no autowrap first";
  EXPECT_NE(out.find("\x1b[2J"), std::string::npos);
  EXPECT_NE(out.find(Reported("1 0 258")), std::string::npos);  // WAIT_TIMEOUT
  const termios mode = child.ModeNow();
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_NE(mode.c_lflag & ISIG, 0u);
  for (const Case& c : cases) {
    const size_t mark = child.Output().size();
    child.Type(c.Typed);
    EXPECT_TRUE(child.WaitFor(Reported(c.Seen), mark)) << c.Seen;
  }
  const size_t mark = child.Output().size();
  child.Resize(40, 10);
  EXPECT_TRUE(child.WaitFor("\x1b[2J", mark));
  EXPECT_TRUE(child.WaitFor("resize me", mark)) << "repainted from the model";
  child.Type("i");
  EXPECT_TRUE(child.WaitFor(Reported("size 80 25"), mark)) << "the console keeps its size";
  child.Type("q");
  EXPECT_EQ(child.WaitExit(), 7 << 8) << "a handler's TRUE keeps the program running";
}

}  // namespace
