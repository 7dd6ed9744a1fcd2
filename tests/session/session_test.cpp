// The terminal stand-in on a real pseudo-terminal: every way out hands the
// terminal back, keys and control events arrive as the console delivers
// them, and a resize repaints.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
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

// Every way out, every signal that ends the program included, leaves the
// terminal as the user had it; an orderly exit leaves the last screen on the
// user's, a crash does not.
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
      Sleep(1);  // the end of a pass: what it drew is sent
      Report("ready");
      Sleep(1);
      if (c.Then != nullptr) c.Then();
      Idle();
    });
    ASSERT_TRUE(child.WaitFor(Reported("ready"))) << c.Name;
    if (c.Send != 0) kill(child.Pid(), c.Send);
    EXPECT_EQ(child.WaitExit(), c.Status) << c.Name << child.Output();
    const std::string last = AfterLastEnter(child.Output());
    ASSERT_NE(last.find("hello"), std::string::npos) << c.Name;
    const size_t leave = last.find(kLeave);
    ASSERT_NE(leave, std::string::npos) << c.Name << ": terminal not handed back";
    EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore())) << c.Name;
    // Lines end in CR LF (the user's output processing may add a CR).
    EXPECT_EQ(last.find("hello\r", leave) == leave + kLeave.size(), c.Status >= 256) << c.Name;
  }
}

// How the program was started, as far as job control is concerned.
enum class Start {
  SessionLeader,   // xterm -e, ssh -t: no one could continue it
  ShelllessChild,  // under a wrapper in its own process group, still orphaned
  ShellJob,        // a job of a shell with job control
};

// Runs the key loop as `start` says and returns what the body of a PtyChild
// needs.  A shell job's "shell" notes the stop on the terminal and continues
// the job in the foreground, as fg does.
void StartedAs(Start start) {
  if (start == Start::SessionLeader) KeyLoop();
  const pid_t job = fork();
  if (job == 0) {
    if (start == Start::ShellJob) setpgid(0, 0);
    KeyLoop();
  }
  if (start == Start::ShellJob) {
    setpgid(job, job);
    signal(SIGTTOU, SIG_IGN);
    tcsetpgrp(STDIN_FILENO, job);
  }
  for (;;) {
    int status = 0;
    if (waitpid(job, &status, WUNTRACED) != job) _exit(99);
    if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
    if (!WIFSTOPPED(status)) _exit(98);
    const char note[] = "<job stopped>";
    write(STDOUT_FILENO, note, sizeof note - 1);
    tcsetpgrp(STDIN_FILENO, job);
    kill(-job, SIGCONT);
  }
}

TEST(TerminalSession, CtrlZSuspendsOnlyWhereSomeoneCanContinue) {
  struct Case {
    Start How;
    bool HandsBack;  // the terminal is given back, even if only for a moment
    bool Stops;
  };
  const Case cases[] = {{Start::SessionLeader, false, false},
                        {Start::ShelllessChild, true, false},
                        {Start::ShellJob, true, true}};
  for (const Case& c : cases) {
    const int how = static_cast<int>(c.How);
    PtyChild child([&c] { StartedAs(c.How); });
    ASSERT_TRUE(child.WaitFor(Reported("ready"))) << how;
    const size_t mark = child.Output().size();
    child.Type("\x1a");
    if (c.Stops) {
      EXPECT_TRUE(child.WaitFor("<job stopped>", mark)) << how;
    }
    if (c.HandsBack) {
      EXPECT_TRUE(child.WaitFor(kLeave, mark)) << how;
      EXPECT_TRUE(child.WaitFor(kEnter, child.Output().find(kLeave, mark)))
          << how << ": terminal not taken again";
    } else {
      // The suspend request had time to do whatever it would.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    // Still there and answering keys: a stop nobody ends would hang here.
    child.Type("i");
    EXPECT_TRUE(child.WaitFor(Reported("size 80 25"), mark)) << how;
    const std::string after = child.Output().substr(mark);
    EXPECT_EQ(after.find(kLeave) != std::string::npos, c.HandsBack) << how;
    EXPECT_EQ(after.find("<job stopped>") != std::string::npos, c.Stops) << how;
    child.Type("q");
    EXPECT_EQ(child.WaitExit(), 7 << 8) << how;
  }
}

TEST(TerminalSession, TakesTheTerminalOverDeliversKeysNotRepliesAndRepaintsOnResize) {
  struct Case {
    std::string Typed;
    std::string Seen;  // virtual key, scan code, character, control state
  };
  const Case cases[] = {
      {"a", "key 65 30 97 0"},
      {"\r", "key 13 28 13 0"},    // no CR to LF translation on input
      {"\x1b", "key 27 1 27 0"},   // a lone Esc, after the escape timeout
      {"\x13", "key 83 31 19 8"},  // Ctrl+S is a key, not flow control
      {"\x03", "ctrl 0"},          // Ctrl+C, turned into SIGINT by the terminal
      {"\x1c", "ctrl 1"},          // Ctrl+Backslash, SIGQUIT
      // Replies a terminal sends on its own schedule are never typed, the
      // start-up query's late ones included.
      {"\x1b]11;rgb:1234/5678/9abc\x1b\\a", "key 65 30 97 0"},
      {"\x1b[?64;1;2;22ca", "key 65 30 97 0"},
      {"\x1b[?9001;2$ya", "key 65 30 97 0"},
      {"\x1b[?1ua", "key 65 30 97 0"},
  };
  PtyChild child([] {
    // As a user who allows core files starts it.
    rlimit allowed{};
    getrlimit(RLIMIT_CORE, &allowed);
    allowed.rlim_cur = allowed.rlim_max;
    setrlimit(RLIMIT_CORE, &allowed);
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
    // No core file could hold a password typed into the program.
    rlimit core{};
    getrlimit(RLIMIT_CORE, &core);
    Report(std::to_string(ok) + " " + std::to_string(count) + " " + std::to_string(waited) +
           " core " + std::to_string(core.rlim_cur));
    KeyLoop();
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  const std::string& out = child.Output();
  EXPECT_EQ(out.rfind(kEnter, 0), 0u) << "title saved, alternate screen, no autowrap first";
  EXPECT_NE(out.find("\x1b[2J"), std::string::npos);
  EXPECT_NE(out.find(Reported("1 0 258 core 0")), std::string::npos);  // WAIT_TIMEOUT
  const termios mode = child.ModeNow();
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_NE(mode.c_lflag & ISIG, 0u);
  kill(child.Pid(), SIGPIPE);  // a broken pipe is no reason to die
  for (const Case& c : cases) {
    const size_t mark = child.Output().size();
    child.Type(c.Typed);
    EXPECT_TRUE(child.WaitFor(Reported(c.Seen), mark)) << c.Seen;
    EXPECT_EQ(child.Output().find("\x1b]2;", mark), child.Output().find(Reported(c.Seen), mark))
        << c.Seen << ": something else first";
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

// The console area is a screen buffer: at least 80x25 whatever the window,
// larger with a larger terminal, up to what the console layer works on; a
// small terminal shows its top-left part.
TEST(TerminalSession, TheBufferIsAtLeast80x25AndTheWindowShowsItsTopLeft) {
  struct Case {
    unsigned short Columns, Rows;
    const char* Size;
  };
  const Case cases[] = {
      {0, 0, "size 80 25"},  // a terminal that gives no size: shown whole
      {79, 30, "size 80 30"},
      {100, 20, "size 100 25"},
      {1000, 900, "size 256 234"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Size);
    PtyChild child([&c] {
      const winsize size{c.Rows, c.Columns, 0, 0};
      ioctl(0, TIOCSWINSZ, &size);
      Text(0, 0, "top left");
      Text(70, 20, "far corner");
      KeyLoop();
    });
    ASSERT_TRUE(child.WaitFor(Reported("ready")));
    const size_t mark = child.Output().size();
    child.Type("i");
    EXPECT_TRUE(child.WaitFor(Reported(c.Size), mark));
    // The screen goes out when the program next waits, which may be after
    // its report: wait for it.  Cells outside the terminal are not drawn;
    // both texts go out in the same pass.
    EXPECT_TRUE(child.WaitFor("top left"));
    if (c.Columns == 0 || (c.Columns >= 80 && c.Rows >= 21)) {
      EXPECT_TRUE(child.WaitFor("far corner"));
    } else {
      EXPECT_EQ(child.Output().find("far corner"), std::string::npos);
    }
    child.Type("q");
    EXPECT_EQ(child.WaitExit(), 7 << 8);
  }
}

// The test is the terminal: it answers the start-up query as a terminal
// with win32-input-mode, with the progressive keyboard enhancement, with
// both, with neither, or not at all.  The start never waits long, the mode
// is switched on only where the terminal has it (win32-input-mode where it
// has both), and it is switched off again on the way out.
TEST(TerminalSession, StartUpQueryFindsTheKeyProtocolAndNeverHangs) {
  const std::string win32On = "\x1b[?9001h";
  const std::string win32Off = "\x1b[?9001l";
  const std::string kittyOn = "\x1b[>31u";
  const std::string kittyOff = "\x1b[<u";
  enum class Mode { None, Win32, Kitty };
  struct Case {
    const char* Name;
    const char* Answer;  // nullptr: the terminal never answers
    Mode Enabled;
  };
  const Case cases[] = {
      {"win32-input-mode", "\x1b[?9001;2$y\x1b[?61;4c", Mode::Win32},
      {"kitty flags", "\x1b[?9001;0$y\x1b[?0u\x1b[?62;22c", Mode::Kitty},
      {"win32-input-mode set", "\x1b[?9001;1$y\x1b[?61c", Mode::Win32},
      {"both, the mode always on", "\x1b[?9001;3$y\x1b[?0u\x1b[?62c", Mode::Win32},
      {"mode unknown", "\x1b[?9001;0$y\x1b[?64;1;2c", Mode::None},
      {"silent", nullptr, Mode::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto start = std::chrono::steady_clock::now();
    PtyChild child(KeyLoop);
    ASSERT_TRUE(child.WaitFor("\x1b[?9001$p\x1b[?u\x1b[c"));
    if (c.Answer != nullptr) child.Type(c.Answer);
    ASSERT_TRUE(child.WaitFor(Reported("ready")));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(200 + 100)) << "fork and pty included";
    EXPECT_EQ(child.Output().find(win32On) != std::string::npos, c.Enabled == Mode::Win32);
    EXPECT_EQ(child.Output().find(kittyOn) != std::string::npos, c.Enabled == Mode::Kitty);
    // q in the protocol switched on (the kitty one asked again after the
    // push, and answered with the flags in force).
    const char* quit = "q";
    if (c.Enabled == Mode::Win32) quit = "\x1b[81;16;113;1;0;1_";
    if (c.Enabled == Mode::Kitty) quit = "\x1b[?31u\x1b[113u";
    child.Type(quit);
    EXPECT_EQ(child.WaitExit(), 7 << 8);
    const std::string& off = c.Enabled == Mode::Kitty ? kittyOff : win32Off;
    const size_t at = child.Output().rfind(off);
    EXPECT_EQ(at != std::string::npos, c.Enabled != Mode::None);
    if (c.Enabled != Mode::None) {
      EXPECT_LT(at, child.Output().rfind(kLeave)) << "off before the rest";
    }
  }
}

// A terminal that stops taking output (Scroll Lock, XOFF, a stalled link)
// holds up neither the program's passes nor its way out: the passes go on
// (the alarm would ring on time), SIGTERM ends the program while output is
// still suspended, and the terminal is handed back once it drains.
TEST(TerminalSession, ATerminalThatStopsReadingHoldsNothingUp) {
  int beats[2];
  ASSERT_EQ(pipe(beats), 0);
  PtyChild child([&beats] {
    close(beats[0]);
    for (int pass = 0;; ++pass) {
      // A whole new screen each pass: the terminal's buffer is full at once.
      for (int y = 0; y < 25; ++y)
        Text(0, y, std::string(80, static_cast<char>('a' + (pass + y) % 26)));
      Sleep(5);
      if (write(beats[1], "b", 1) != 1) _exit(2);
    }
  });
  close(beats[1]);
  ASSERT_TRUE(child.WaitFor(kEnter));
  child.SuspendOutput(true);
  // Counts the passes made within a time, however long the terminal waits.
  const auto passesWithin = [&beats](int ms) {
    int count = 0;
    char buffer[256];
    pollfd ready{beats[0], POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      if (poll(&ready, 1, 50) > 0) {
        const ssize_t got = read(beats[0], buffer, sizeof buffer);
        if (got <= 0) break;
        count += static_cast<int>(got);
      }
    }
    return count;
  };
  passesWithin(300);  // whatever the terminal's buffer still took
  EXPECT_GE(passesWithin(1000), 10) << "the program stopped while the terminal did not read";
  const size_t mark = child.Output().size();
  kill(child.Pid(), SIGTERM);
  // Generous: it ends at once, but a loaded machine must not fail the test.
  const int status = child.WaitExitWithin(3000);
  child.SuspendOutput(false);
  ASSERT_NE(status, -1) << "SIGTERM was not honoured while output was suspended";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  close(beats[0]);
  EXPECT_TRUE(child.WaitFor(kLeave, mark)) << "the terminal was not handed back once it drained";
  EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore()));
}

// What waited for a terminal that stopped reading reaches it once it reads
// again, though the program has gone quiet meanwhile.
TEST(TerminalSession, OutputHeldByTheTerminalArrivesWithoutAnotherPass) {
  PtyChild child([] {
    Report("ready");
    INPUT_RECORD record{};
    DWORD read = 0;
    while (ReadConsoleInputA(In(), &record, 1, &read) != FALSE && record.EventType != KEY_EVENT) {
    }
    for (int pass = 0; pass < 50; ++pass) {
      for (int y = 0; y < 25; ++y)
        Text(0, y, std::string(80, static_cast<char>('a' + (pass + y) % 26)));
      Sleep(1);
    }
    Report("drawn");
    Sleep(1);
    Idle();
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  child.SuspendOutput(true);
  const size_t mark = child.Output().size();
  child.Type("g");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  child.SuspendOutput(false);
  EXPECT_TRUE(child.WaitFor(Reported("drawn"), mark));
}

// A bell is one byte of its own: each call rings it once, never again.
TEST(TerminalSession, EachBellRingsOnce) {
  PtyChild child([] {
    Out();  // takes the terminal
    for (int bell = 0; bell < 3; ++bell) {
      MessageBeep(0);
      Sleep(1);
    }
    ExitProcess(0);
  });
  ASSERT_EQ(child.WaitExit(), 0);
  EXPECT_EQ(std::count(child.Output().begin(), child.Output().end(), '\a'), 3);
}

}  // namespace
