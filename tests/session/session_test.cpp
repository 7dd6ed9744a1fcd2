// The terminal stand-in on a real pseudo-terminal: every way out hands the
// terminal back, Ctrl+Z only where someone can continue, the start-up finds
// the key protocol without hanging, and keys and control events arrive as
// the console delivers them.  What the program does while the terminal does
// not read is the suspended-output scenario's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>

#include "standin/terminal/session/exit.h"
#include "standin/terminal/sound/alsa.h"
#include "standin/terminal/sound/tone.h"
#include "standin/terminal/vt/renderer.h"
#include "tests/fake/fake_asound.h"
#include "tests/session/pty_child.h"
#include "win32/win32.h"

namespace {

using namespace std::chrono_literals;

// How many times longer a step may take in this build (see CMakeLists.txt).
constexpr int Slowdown = ROUSEL_TIME_SCALE;

const std::string Enter(vt::EnterSequence());
const std::string Leave(vt::LeaveSequence());

// The child tells the test what it saw through the window title.
void Report(const std::string& what) {
  SetConsoleTitleA(what.c_str());
}
std::string Reported(const std::string& what) {
  return "\x1b]2;" + what + "\a";
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Reads keys until q, reporting each key press by its virtual key code.
void KeyLoop() {
  Report("ready");
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &read);
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (record.EventType != KEY_EVENT || key.bKeyDown == FALSE) continue;
    if (key.uChar.AsciiChar == 'q') ExitProcess(7);
    Report("key " + std::to_string(key.wVirtualKeyCode));
  }
}

// Every way out, every signal that ends the program included, leaves the
// terminal as the user had it within a second, though the sound card's
// writes never return (a hung sound server); an orderly exit leaves the last
// screen on the user's, a crash does not.  The bell on the way rings once,
// not again with each later pass.
struct WayOut {
  const char* Name;
  void (*Then)();    // nullptr: the test sends the signal Status names
  int Status;        // as waitpid reports it
  bool KeepsScreen;  // the last screen's text is left on the user's
};
class WaysOut : public ::testing::TestWithParam<WayOut> {};

TEST_P(WaysOut, HandTheTerminalBack) {
  const WayOut& c = GetParam();
  ptytest::PtyChild child([&c] {
    const rlimit noCore{0, 0};  // a crash signal's core would change the status
    setrlimit(RLIMIT_CORE, &noCore);
    fakeasound::Card stuck;
    stuck.Stuck = true;
    fakeasound::Set(stuck);
    // Notes each control event on the terminal (C: Ctrl+C, B: Ctrl+Break), then declines it.
    SetConsoleCtrlHandler([](DWORD e) -> BOOL { return write(2, e ? "<B>" : "<C>", 3) < 0; }, TRUE);
    CHAR_INFO hello[5];
    for (int i = 0; i < 5; ++i) hello[i] = {{static_cast<WCHAR>("hello"[i])}, 7};
    SMALL_RECT region{0, 0, 4, 0};
    WriteConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), hello, {5, 1}, {0, 0}, &region);
    if (sound::alsa::Compiled()) Beep(2000, 100);
    MessageBeep(0);
    Sleep(1);
    const bool rung = sound::ActiveDevice() == sound::Device::SoundCard;
    Report(rung || !sound::alsa::Compiled() ? "ready" : "the test card not taken");
    Sleep(1);
    if (c.Then != nullptr) c.Then();
    for (;;) pause();
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  const auto sent = std::chrono::steady_clock::now();
  if (c.Then == nullptr) kill(child.Pid(), c.Status);
  EXPECT_EQ(child.WaitExit(), c.Status) << child.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s * Slowdown);
  const std::string& out = child.Output();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\a'), 2) << "title, one bell";
  const bool ctrlEvent = c.Status == SIGINT || c.Status == SIGQUIT;
  EXPECT_EQ(Count(out, c.Status == SIGINT ? "<C>" : "<B>"), ctrlEvent ? 1u : 0u);
  const std::string last = out.substr(std::min(out.rfind(Enter), out.size()));
  ASSERT_NE(last.find("hello"), std::string::npos);
  const size_t leave = last.find(Leave);
  ASSERT_NE(leave, std::string::npos) << "terminal not handed back";
  EXPECT_TRUE(child.ModeRestored());
  // Lines end in CR LF (the user's output processing may add a CR).
  EXPECT_EQ(last.find("hello\r", leave) == leave + Leave.size(), c.KeepsScreen);
}

// Ctrl+C and Ctrl+Backslash among the signals: the handler sees them, and a
// control event it declines ends the program as the signal would.  A crash
// signal sent by another process (kill -ILL) is no fault to come back: it
// is sent again, to the action before the program's.
INSTANTIATE_TEST_SUITE_P(
    Session, WaysOut,
    ::testing::Values(
        WayOut{"ExitProcess", [] { ExitProcess(3); }, 3 << 8, true},
        WayOut{"Exit", [] { std::exit(5); }, 5 << 8, true},
        WayOut{"TerminalGone", [] { session::EndTerminalGone(); }, 129 << 8, false},
        WayOut{"Abort", [] { std::abort(); }, SIGABRT, false},
        WayOut{"SIGILL", nullptr, SIGILL, false}, WayOut{"SIGSYS", nullptr, SIGSYS, false},
        WayOut{"SIGINT", nullptr, SIGINT, false}, WayOut{"SIGQUIT", nullptr, SIGQUIT, false},
        WayOut{"SIGTERM", nullptr, SIGTERM, false}, WayOut{"SIGHUP", nullptr, SIGHUP, false},
        WayOut{"SIGUSR1", nullptr, SIGUSR1, false}, WayOut{"SIGUSR2", nullptr, SIGUSR2, false},
        WayOut{"SIGALRM", nullptr, SIGALRM, false}, WayOut{"SIGVTALRM", nullptr, SIGVTALRM, false},
        WayOut{"SIGPROF", nullptr, SIGPROF, false}, WayOut{"SIGXCPU", nullptr, SIGXCPU, false},
        WayOut{"SIGXFSZ", nullptr, SIGXFSZ, false}, WayOut{"SIGTRAP", nullptr, SIGTRAP, false},
        WayOut{"SIGIO", nullptr, SIGIO, false}, WayOut{"SIGRTMIN", nullptr, SIGRTMIN, false},
        WayOut{"SIGRTMAX", nullptr, SIGRTMAX, false}),
    [](const ::testing::TestParamInfo<WayOut>& row) { return std::string(row.param.Name); });

// A signal that ends the program while it rings: the exit steps silence the
// sound, and the program's thread, ringing on until the process is gone,
// starts no tone after them (a speaker's input device would sound on).  A
// step of the test's, run after the sound's, looks a while later.
TEST(SessionTest, NoToneStartsAfterTheExitStepsSilencedIt) {
  ptytest::PtyChild child([] {
    // Registered before the terminal's own steps, so it runs after them.
    session::AtTerminalExit([] {
      std::this_thread::sleep_for(300ms);
      const bool silent = sound::ActiveDevice() == sound::Device::Undecided;
      Report(silent ? "silent" : "a tone started again");
    });
    GetStdHandle(STD_OUTPUT_HANDLE);  // the terminal first, as the program takes it
    fakeasound::Set(fakeasound::Card{});
    Beep(2000, 10);
    Report("ready");
    for (;;) {
      Beep(2000, 20);
      Sleep(5);
    }
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  kill(child.Pid(), SIGTERM);
  EXPECT_EQ(child.WaitExit(), SIGTERM);
  EXPECT_NE(child.Output().find(Reported("silent")), std::string::npos) << child.Output();
}

// An exit step that notes its number on the terminal.
template <int N>
void NoteStep() {
  const char note[] = {'<', static_cast<char>('0' + N), '>'};
  std::ignore = write(2, note, sizeof note);
}

// The exit steps run once each, the last registered first, before the
// terminal is handed back; there is room for eight, and a ninth is left out
// rather than written past the end.
TEST(SessionTest, ExitStepsRunLastFirstEightAtMost) {
  ptytest::PtyChild child([] {
    for (void (*step)() : {NoteStep<1>, NoteStep<2>, NoteStep<3>, NoteStep<4>, NoteStep<5>,
                           NoteStep<6>, NoteStep<7>, NoteStep<8>, NoteStep<9>})
      session::AtTerminalExit(step);
    Report("ready");
    std::printf("<stdio>");  // no new line: it waits in the stream's buffer
    ExitProcess(0);
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  EXPECT_EQ(child.WaitExit(), 0);
  const std::string& out = child.Output();
  const size_t steps = out.find("<8><7><6><5><4><3><2><1>");
  ASSERT_NE(steps, std::string::npos) << out;
  EXPECT_LT(steps, out.rfind(Leave));
  EXPECT_EQ(Count(out, "<1>"), 1u);
  EXPECT_EQ(out.find("<9>"), std::string::npos);
  EXPECT_GT(out.find("<stdio>"), out.rfind(Leave)) << "flushed, after the hand-back";
}

// A signal that comes while the exit steps run ends the program without
// running them again.
TEST(SessionTest, ExitStepsRunOnceThoughASignalComesMeanwhile) {
  ptytest::PtyChild child([] {
    session::AtTerminalExit([] {
      std::ignore = write(2, "<step>", 6);
      std::this_thread::sleep_for(300ms);
    });
    Report("ready");
    ExitProcess(0);
  });
  ASSERT_TRUE(child.WaitFor("<step>"));
  kill(child.Pid(), SIGTERM);
  child.WaitExit();
  EXPECT_EQ(Count(child.Output(), "<step>"), 1u);
}

// A terminal that goes away (its window closed) ends the program with 129,
// as a hang-up would, also where SIGHUP is ignored (nohup) and only the
// failed read tells: a read refused in the foreground is no background job's.
TEST(SessionTest, ATerminalThatGoesAwayEndsTheProgram) {
  ptytest::PtyChild child([] {
    std::signal(SIGHUP, SIG_IGN);
    KeyLoop();
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  child.HangUp();
  EXPECT_EQ(child.WaitExit(), 129 << 8);
}

// With no sound card and no speaker a tone is one bell on the terminal, and
// Beep still returns only when the tone's length has passed, as a real
// tone's does.
TEST(SessionTest, AToneWithNoDeviceIsOneBellOfItsLength) {
  ptytest::PtyChild child([] {
    fakeasound::Card absent;
    absent.Absent = true;
    fakeasound::Set(absent);
    GetStdHandle(STD_OUTPUT_HANDLE);  // the terminal first, as the program takes it
    Report("ready");
    const auto call = std::chrono::steady_clock::now();
    Beep(2000, 200);
    const bool waited = std::chrono::steady_clock::now() - call >= 200ms;
    if (sound::ActiveDevice() != sound::Device::Bell)
      Report("tone: a speaker");
    else
      Report(waited ? "tone: waited" : "tone: returned early");
    for (;;) pause();
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  const size_t mark = child.Output().find(Reported("ready")) + Reported("ready").size();
  ASSERT_TRUE(child.WaitFor("\x1b]2;tone: ", mark));
  ASSERT_TRUE(child.WaitFor("\a", child.Output().find("\x1b]2;tone: ", mark)));
  const std::string after = child.Output().substr(mark);
  if (after.find(Reported("tone: a speaker")) != std::string::npos)
    GTEST_SKIP() << "this machine has a PC speaker";
  EXPECT_NE(after.find(Reported("tone: waited")), std::string::npos) << after;
  EXPECT_EQ(Count(after, "\a"), 2u) << "the tone's bell and the report's title";
}

// The terminal's character set is the user's locale's (LC_ALL, LC_CTYPE,
// LANG), looked up without changing the program's own locale: UTF-8 where
// the locale says so, plain ASCII elsewhere.  The title shows it: the code
// page's capital A (0x80) is U+0410, two bytes in UTF-8.
struct LocaleRow {
  const char* Name;
  const char* UserLocale;  // LC_ALL
  const char* OwnLocale;   // the program's LC_CTYPE before it takes the terminal; nullptr: "C"
  bool Utf8;
};

class SessionLocale : public ::testing::TestWithParam<LocaleRow> {};

TEST_P(SessionLocale, TheTerminalsCharsetIsTheUsersLocales) {
  const LocaleRow& row = GetParam();
  ptytest::PtyChild child([&row] {
    setenv("LC_ALL", row.UserLocale, 1);
    if (row.OwnLocale != nullptr && std::setlocale(LC_CTYPE, row.OwnLocale) == nullptr)
      Report("no such locale");
    SetConsoleTitleA("\x80");
    const char* own = std::setlocale(LC_CTYPE, nullptr);
    Report(std::string("own ") + (own != nullptr ? own : "none"));
    for (;;) pause();
  });
  ASSERT_TRUE(child.WaitFor("\x1b]2;own "));
  ASSERT_TRUE(child.WaitFor("\a", child.Output().find("\x1b]2;own ")));
  const std::string& out = child.Output();
  if (out.find(Reported("no such locale")) != std::string::npos)
    GTEST_SKIP() << row.OwnLocale << " is not installed";
  EXPECT_EQ(out.find("\x1b]2;\xd0\x90\a") != std::string::npos, row.Utf8) << out;
  EXPECT_NE(out.find(Reported(std::string("own ") + (row.OwnLocale ? row.OwnLocale : "C"))),
            std::string::npos)
      << out;
}

INSTANTIATE_TEST_SUITE_P(Session, SessionLocale,
                         ::testing::Values(LocaleRow{"Utf8", "C.UTF-8", nullptr, true},
                                           LocaleRow{"Ascii", "C", nullptr, false},
                                           LocaleRow{"OwnLocaleKept", "C", "C.UTF-8", false}),
                         [](const ::testing::TestParamInfo<LocaleRow>& row) {
                           return std::string(row.param.Name);
                         });

// Without a terminal on its standard input or output there is no console:
// the console functions fail, as on Windows in a process without one.
TEST(SessionTest, WithoutATerminalTheConsoleFunctionsFail) {
  for (const int redirected : {0, 1}) {
    SCOPED_TRACE(redirected == 0 ? "input from /dev/null" : "output to /dev/null");
    ptytest::PtyChild child([redirected] {
      const int nothing = open("/dev/null", O_RDWR);
      dup2(nothing, redirected);
      CONSOLE_SCREEN_BUFFER_INFO info{};
      const BOOL got = GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info);
      const std::string said = got != FALSE ? "<a console>" : "<no console>";
      std::ignore = write(2, said.data(), said.size());
      _exit(0);
    });
    EXPECT_EQ(child.WaitExit(), 0);
    EXPECT_EQ(child.Output(), "<no console>");
  }
}

// Ctrl+Z hands the terminal over only where someone could continue the
// program: never as the session leader (xterm -e, ssh -t), and only for a
// moment as a child of a wrapper that leads the session (its process group
// orphaned), where the stop does not happen.  A shell's job is the scenarios'.
TEST(SessionTest, CtrlZSuspendsOnlyWhereSomeoneCanContinue) {
  for (const bool orphaned : {false, true}) {
    SCOPED_TRACE(orphaned ? "orphaned child" : "session leader");
    ptytest::PtyChild child([orphaned] {
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
    child.Type("a");
    ASSERT_TRUE(child.WaitFor(Reported("key 65"), mark));
    const std::string after = child.Output().substr(mark);
    EXPECT_EQ(after.find(Leave) != std::string::npos, orphaned);
    EXPECT_EQ(after.find(Enter, after.find(Leave)) != std::string::npos, orphaned) << "taken";
    child.Type("q");
    EXPECT_EQ(child.WaitExit(), 7 << 8);
  }
}

// The test is the terminal: it answers the start-up query as a terminal
// with win32-input-mode, with the progressive keyboard enhancement, with
// both, with neither, or not at all, at once or late, whole or a
// byte at a time.  The first screen never waits for the answer; the
// protocol is put in force whenever it comes (win32-input-mode where the
// terminal has both), and out of force on the way out.  Ctrl+C and
// Ctrl+Break in the protocol are control events, never keys; replies, late
// or malformed, are never typed.
TEST(SessionTest, TheKeyProtocolIsTakenWheneverTheAnswerComesAndRepliesAreNeverTyped) {
  enum class Mode { None, Win32, Kitty };
  // Name, the answer (nullptr: the terminal never answers), the milliseconds
  // before it and between its bytes, the protocol then in force.
  const std::tuple<const char*, const char*, int, int, Mode> cases[] = {
      {"win32-input-mode", "\x1b[?9001;2$y\x1b[?61;4c", 0, 0, Mode::Win32},
      {"kitty flags and xterm's DA1, 1.5 s late", "\x1b[?0u\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c",
       1500, 0, Mode::Kitty},
      {"both, 5 ms a byte", "\x1b[?9001;2$y\x1b[?0u\x1b[?62c", 0, 5, Mode::Win32},
      {"xterm", "\x1b[?9001;0$y\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c", 0, 0, Mode::None},
      {"silent", nullptr, 0, 0, Mode::None},
  };
  for (const auto& [name, answer, delayMs, gapMs, enabled] : cases) {
    SCOPED_TRACE(name);
    ptytest::PtyChild child([] {
      rlimit core{};  // as a user who allows core files starts it
      getrlimit(RLIMIT_CORE, &core);
      core.rlim_cur = core.rlim_max;
      setrlimit(RLIMIT_CORE, &core);
      // Polling for keys never waits.  No core file could hold a password
      // typed into the program.  Raw, but Ctrl+C still a signal; no CR to
      // LF, Ctrl+S a key, not flow control.
      const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
      DWORD count = 99;
      const BOOL ok = GetNumberOfConsoleInputEvents(in, &count);
      const DWORD waited = WaitForSingleObject(in, 0);
      getrlimit(RLIMIT_CORE, &core);
      termios mode{};
      tcgetattr(STDIN_FILENO, &mode);
      const bool raw =
          (mode.c_lflag & (ICANON | ECHO | ISIG)) == ISIG && (mode.c_iflag & (ICRNL | IXON)) == 0;
      SetConsoleCtrlHandler([](DWORD e) -> BOOL { return write(2, e ? "<B>" : "<C>", 3) == 3; },
                            TRUE);
      Report(std::to_string(ok) + " " + std::to_string(count) + " " + std::to_string(waited) +
             " core " + std::to_string(core.rlim_cur) + (raw ? " raw" : " not raw"));
      KeyLoop();
    });
    // Nothing waits for an answer the terminal has not given yet.
    ASSERT_TRUE(child.WaitFor("\x1b[?9001$p\x1b[?u\x1b[c"));
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(child.WaitFor(Reported("ready")));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 120ms * Slowdown);
    const std::string& out = child.Output();
    EXPECT_EQ(out.rfind(Enter, 0), 0u) << "title saved, alternate screen, no autowrap first";
    EXPECT_NE(out.find(Reported("1 0 258 core 0 raw")), std::string::npos);  // WAIT_TIMEOUT
    kill(child.Pid(), SIGPIPE);  // a broken pipe is no reason to die
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    for (const char byte : std::string(answer != nullptr ? answer : "")) {
      child.Type(std::string(1, byte));  // a byte at a time, as a slow link delivers
      std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    }
    // The protocol's own keys: Ctrl+C (press and release) and, with
    // win32-input-mode, Ctrl+Break; q.
    std::string ctrlC = "\x03";
    std::string quit = "q";
    const size_t mark = out.size();
    if (enabled == Mode::Win32) {
      ASSERT_TRUE(child.WaitFor("\x1b[?9001h"));
      ctrlC = "\x1b[67;46;3;1;8;1_\x1b[67;46;3;0;8;1_\x1b[3;70;0;1;8;1_\x1b[3;70;0;0;8;1_";
      quit = "\x1b[81;16;113;1;0;1_";
    } else if (enabled == Mode::Kitty) {
      ASSERT_TRUE(child.WaitFor("\x1b[>31u\x1b[?u\x1b[c"));
      child.Type("\x1b[?31u\x1b[?62c");  // the flags it took
      ctrlC = "\x1b[99;5u\x1b[99;5:3u";
      quit = "\x1b[113u";
    } else {
      child.Type(
          "\x1b[?64;1;2;22c\x1b[?9001;2$y\x1b]11;rgb:1234/5678/9abc\x1b\\a");  // late replies
      ASSERT_TRUE(child.WaitFor(Reported("key 65"), mark));
    }
    // The line discipline flushes its input after the Ctrl+C it catches,
    // just after raising the signal: the next key waits for that.
    child.Type(ctrlC);
    EXPECT_TRUE(child.WaitFor("<C>", mark));
    EXPECT_TRUE(enabled != Mode::Win32 || child.WaitFor("<B>", mark));
    std::this_thread::sleep_for(100ms);
    child.Type(quit);
    EXPECT_EQ(child.WaitExit(), 7 << 8);
    EXPECT_EQ(Count(out.substr(mark), "\x1b]2;"), enabled == Mode::None ? 1u : 0u) << "typed";
    EXPECT_EQ(out.find("\x1b[?9001h") != std::string::npos, enabled == Mode::Win32);
    EXPECT_EQ(out.find("\x1b[>31u") != std::string::npos, enabled == Mode::Kitty);
    const size_t off = out.rfind(enabled == Mode::Kitty ? "\x1b[<u" : "\x1b[?9001l");
    EXPECT_EQ(off != std::string::npos, enabled != Mode::None);
    EXPECT_TRUE(off == std::string::npos || off < out.rfind(Leave)) << "off before the rest";
  }
}

// The console's buffer is never smaller than the 80x25 a console program is
// written for and as large as the terminal beyond that; a smaller terminal's
// window shows part of it, and a terminal that tells no size gets 80x25.
TEST(SessionTest, TheBufferIsAtLeast80x25AndAsLargeAsTheTerminal) {
  struct Row {
    winsize Size;  // rows, columns
    const char* Seen;
  };
  const Row rows[] = {
      {{20, 60, 0, 0}, "buffer 80x25, window 60x20"},
      {{30, 100, 0, 0}, "buffer 100x30, window 100x30"},
      {{0, 100, 0, 0}, "buffer 80x25, window 80x25"},
      {{30, 0, 0, 0}, "buffer 80x25, window 80x25"},
  };
  for (const Row& row : rows) {
    ptytest::PtyChild child([size = row.Size] {
      ioctl(0, TIOCSWINSZ, &size);
      CONSOLE_SCREEN_BUFFER_INFO info{};
      GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info);
      const SMALL_RECT& w = info.srWindow;
      Report("buffer " + std::to_string(info.dwSize.X) + "x" + std::to_string(info.dwSize.Y) +
             ", window " + std::to_string(w.Right - w.Left + 1) + "x" +
             std::to_string(w.Bottom - w.Top + 1));
      ExitProcess(0);
    });
    EXPECT_TRUE(child.WaitFor(Reported(row.Seen))) << row.Seen;
    EXPECT_EQ(child.WaitExit(), 0);
  }
}

// The console opens as the Windows console does: a cursor of 25 % shown,
// blank cells in light grey, and a scroll that moves rows out of the top
// taken.
TEST(SessionTest, TheConsoleOpensAsWindowsOpensOne) {
  ptytest::PtyChild child([] {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_CURSOR_INFO cursor{};
    GetConsoleCursorInfo(out, &cursor);
    WORD attribute = 0;
    DWORD read = 0;
    ReadConsoleOutputAttribute(out, &attribute, 1, COORD{5, 5}, &read);
    const SMALL_RECT all{0, 0, 79, 24};
    const CHAR_INFO fill{{' '}, 7};
    const BOOL scrolled = ScrollConsoleScreenBufferA(out, &all, nullptr, COORD{0, -1}, &fill);
    Report("cursor " + std::to_string(cursor.dwSize) + (cursor.bVisible != FALSE ? " shown" : "") +
           ", attribute " + std::to_string(attribute) + (scrolled != FALSE ? ", scrolled" : ""));
    ExitProcess(0);
  });
  EXPECT_TRUE(child.WaitFor(Reported("cursor 25 shown, attribute 7, scrolled")));
  EXPECT_EQ(child.WaitExit(), 0);
}

// A second copy started on a terminal the first one holds is refused with
// one line, before it changes anything; when the first leaves, the terminal
// is as the user had it.
TEST(SessionTest, ASecondCopyOnTheSameTerminalIsRefused) {
  ptytest::PtyChild child([] {
    const pid_t second = fork();
    if (second == 0) {
      std::this_thread::sleep_for(300ms);  // the first takes the terminal meanwhile
      GetStdHandle(STD_INPUT_HANDLE);
      _exit(99);
    }
    Report("first");
    int status = 0;
    waitpid(second, &status, 0);
    Report("second " + std::to_string(status));
    KeyLoop();
  });
  ASSERT_TRUE(child.WaitFor(Reported("second 256")));
  EXPECT_NE(child.Output().find("rousel: another Rousel is running on this terminal"),
            std::string::npos);
  child.Type("q");
  EXPECT_EQ(child.WaitExit(), 7 << 8);
  EXPECT_TRUE(child.ModeRestored());
}

}  // namespace
