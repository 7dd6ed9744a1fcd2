// The terminal stand-in on a real pseudo-terminal: every way out hands the
// terminal back, Ctrl+Z only where someone can continue, the start-up finds
// the key protocol without hanging, and keys and control events arrive as
// the console delivers them; a terminal that stopped reading for a while
// costs no wake-ups once it reads again.  What the program does while the
// terminal does not read is the suspended-output scenario's.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "standin/terminal/session/output.h"
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

// Times the threads of this process other than the calling one have left
// the CPU, by their own choice or not.
long OtherThreadsSwitches() {
  long total = 0;
  const std::string self = std::to_string(gettid());
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == self) continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.find("ctxt_switches:") != std::string::npos)
        total += std::stol(line.substr(line.find(':') + 1));
  }
  return total;
}

// Every way out, every signal that ends the program included, leaves the
// terminal as the user had it within a second, though the sound card's
// writes never return (a hung sound server); an orderly exit leaves the last
// screen on the user's, a crash does not.  The bell on the way rings once,
// not again with each later pass.
TEST(TerminalSession, EveryWayOutHandsTheTerminalBack) {
  struct Case {
    const char* Name;
    void (*Then)();  // nullptr: the test sends the signal Status names
    int Status;      // as waitpid reports it
  };
  std::vector<Case> cases = {
      {"ExitProcess", [] { ExitProcess(3); }, 3 << 8},
      {"exit()", [] { std::exit(5); }, 5 << 8},
      {"abort()", [] { std::abort(); }, SIGABRT},
  };
  // Ctrl+C and Ctrl+Backslash first: the handler sees them, and a control
  // event it declines ends the program as the signal would.
  for (const int sig : {SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                        SIGXFSZ, SIGTRAP, SIGIO, SIGRTMIN, SIGRTMAX})
    cases.push_back({strsignal(sig), nullptr, sig});
  for (const Case& c : cases) {
    ptytest::PtyChild child([&c] {
      fakeasound::Card stuck;
      stuck.Stuck = true;
      fakeasound::Set(stuck);
      // Notes each control event on the terminal (C: Ctrl+C, B: Ctrl+Break), then declines it.
      SetConsoleCtrlHandler([](DWORD e) -> BOOL { return write(2, e ? "<B>" : "<C>", 3) < 0; },
                            TRUE);
      CHAR_INFO hello[5];
      for (int i = 0; i < 5; ++i) hello[i] = {{static_cast<WCHAR>("hello"[i])}, 7};
      SMALL_RECT region{0, 0, 4, 0};
      WriteConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), hello, {5, 1}, {0, 0}, &region);
      if (sound::alsa::Compiled()) Beep(2000, 100);
      MessageBeep(0);
      Sleep(1);  // the end of a pass: what it drew is sent
      const bool rung = sound::ActiveDevice() == sound::Device::SoundCard;
      Report(rung || !sound::alsa::Compiled() ? "ready" : "the test card not taken");
      Sleep(1);
      if (c.Then != nullptr) c.Then();
      for (;;) pause();
    });
    ASSERT_TRUE(child.WaitFor(Reported("ready"))) << c.Name;
    const auto sent = std::chrono::steady_clock::now();
    if (c.Then == nullptr) kill(child.Pid(), c.Status);
    EXPECT_EQ(child.WaitExit(), c.Status) << c.Name << child.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s * Slowdown) << c.Name;
    const std::string& out = child.Output();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\a'), 2) << c.Name << ": title, one bell";
    EXPECT_EQ(out.find(c.Status == SIGINT ? "<C>" : "<B>") != std::string::npos,
              c.Status == SIGINT || c.Status == SIGQUIT)
        << c.Name;
    const std::string last = out.substr(std::min(out.rfind(Enter), out.size()));
    ASSERT_NE(last.find("hello"), std::string::npos) << c.Name;
    const size_t leave = last.find(Leave);
    ASSERT_NE(leave, std::string::npos) << c.Name << ": terminal not handed back";
    EXPECT_TRUE(ptytest::SameMode(child.ModeNow(), child.ModeBefore())) << c.Name;
    // Lines end in CR LF (the user's output processing may add a CR).
    EXPECT_EQ(last.find("hello\r", leave) == leave + Leave.size(), c.Status >= 256) << c.Name;
  }
}

// A terminal that stopped reading for a while (XOFF) costs nothing once it
// reads again: the redraws after it wake no thread but the drawing one (the
// writer thread that waited for the terminal stays asleep).
TEST(TerminalSession, AfterAStalledTerminalDrainsRedrawsWakeNoOtherThread) {
  constexpr int Redraws = 50;
  ptytest::PtyChild child([] {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    int frame = 0;
    const auto redraw = [&out, &frame] {
      CHAR_INFO row[80];
      for (CHAR_INFO& cell : row) cell = {{static_cast<WCHAR>('0' + frame % 10)}, 7};
      SMALL_RECT region{0, 1, 79, 1};
      WriteConsoleOutputA(out, row, {80, 1}, {0, 0}, &region);
      Sleep(1);  // the end of a pass: one write
      ++frame;
    };
    Report("ready");
    INPUT_RECORD key{};
    DWORD read = 0;
    ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &read);
    for (int i = 0; i < 100 && session::Backlog() == 0; ++i) redraw();
    const bool stalled = session::Backlog() > 0;
    session::Drain(10000);
    const long before = OtherThreadsSwitches();
    for (int i = 0; i < Redraws; ++i) redraw();
    Report(std::string(stalled ? "stalled" : "never stalled") + ", then " +
           std::to_string(OtherThreadsSwitches() - before));
    for (;;) pause();
  });
  ASSERT_TRUE(child.WaitFor(Reported("ready")));
  child.SuspendOutput(true);
  child.Type("g");
  std::this_thread::sleep_for(300ms);
  child.SuspendOutput(false);
  const size_t mark = child.Output().size();
  ASSERT_TRUE(child.WaitFor("\x1b]2;", mark));
  const std::string& out = child.Output();
  ASSERT_TRUE(child.WaitFor("\a", out.find("\x1b]2;", mark)));
  const std::string prefix = "\x1b]2;stalled, then ";
  const size_t report = out.find(prefix, mark);
  ASSERT_NE(report, std::string::npos) << out.substr(mark);
  const long switches = std::stol(out.substr(report + prefix.size()));
  EXPECT_LT(switches, Redraws / 5) << "the other threads woke up with the redraws";
  kill(child.Pid(), SIGKILL);
  child.WaitExit();
}

// Ctrl+Z hands the terminal over only where someone could continue the
// program: never as the session leader (xterm -e, ssh -t), and only for a
// moment as a child of a wrapper that leads the session (its process group
// orphaned), where the stop does not happen.  A shell's job is the scenarios'.
TEST(TerminalSession, CtrlZSuspendsOnlyWhereSomeoneCanContinue) {
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
// both, with neither, or not at all.  The start never waits long, the mode
// is switched on only where the terminal has it (win32-input-mode where it
// has both), and off again on the way out.  The silent one's replies come
// late, and are never typed.  (A Ctrl+C handler is the scenarios'.)
TEST(TerminalSession, StartUpFindsTheKeyProtocolThenDeliversKeysButNotReplies) {
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
      {"silent", nullptr, Mode::None},
  };
  const std::pair<std::string, std::string> keys[] = {
      {"a", "key 65"},
      {"\x1b", "key 27"},  // a lone Esc, after the escape timeout
      // Replies, the start-up query's late ones among them, are never typed.
      {"\x1b]11;rgb:1234/5678/9abc\x1b\\\x1b[?64;1;2;22c\x1b[?9001;2$y\x1b[?1ua", "key 65"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto start = std::chrono::steady_clock::now();
    ptytest::PtyChild child([] {
      rlimit core{};  // as a user who allows core files starts it
      getrlimit(RLIMIT_CORE, &core);
      core.rlim_cur = core.rlim_max;
      setrlimit(RLIMIT_CORE, &core);
      // Polling for keys never waits.  No core file could hold a password
      // typed into the program.
      const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
      DWORD count = 99;
      const BOOL ok = GetNumberOfConsoleInputEvents(in, &count);
      const DWORD waited = WaitForSingleObject(in, 0);
      getrlimit(RLIMIT_CORE, &core);
      Report(std::to_string(ok) + " " + std::to_string(count) + " " + std::to_string(waited) +
             " core " + std::to_string(core.rlim_cur));
      KeyLoop();
    });
    ASSERT_TRUE(child.WaitFor("\x1b[?9001$p\x1b[?u\x1b[c"));
    if (c.Answer != nullptr) child.Type(c.Answer);
    ASSERT_TRUE(child.WaitFor(Reported("ready")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, (200ms + 100ms) * Slowdown)
        << "fork and pty included";
    const std::string& out = child.Output();
    EXPECT_EQ(out.rfind(Enter, 0), 0u) << "title saved, alternate screen, no autowrap first";
    EXPECT_NE(out.find(Reported("1 0 258 core 0")), std::string::npos);  // WAIT_TIMEOUT
    // Raw, but Ctrl+C still a signal; no CR to LF, Ctrl+S a key, not flow control.
    EXPECT_EQ(child.ModeNow().c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ISIG));
    EXPECT_EQ(child.ModeNow().c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(out.find("\x1b[?9001h") != std::string::npos, c.Enabled == Mode::Win32);
    EXPECT_EQ(out.find("\x1b[>31u") != std::string::npos, c.Enabled == Mode::Kitty);
    kill(child.Pid(), SIGPIPE);  // a broken pipe is no reason to die
    for (const auto& [typed, seen] : c.Answer == nullptr ? std::span(keys) : std::span(keys, 0)) {
      const size_t mark = out.size();
      child.Type(typed);
      EXPECT_TRUE(child.WaitFor(Reported(seen), mark)) << seen;
      EXPECT_EQ(out.find("\x1b]2;", mark), out.find(Reported(seen), mark)) << seen << ": typed";
    }
    // q in the protocol switched on (the kitty one asked again after the
    // push, and answered with the flags in force).
    const char* quit = "q";
    if (c.Enabled == Mode::Win32) quit = "\x1b[81;16;113;1;0;1_";
    if (c.Enabled == Mode::Kitty) quit = "\x1b[?31u\x1b[113u";
    child.Type(quit);
    EXPECT_EQ(child.WaitExit(), 7 << 8);
    const size_t off = out.rfind(c.Enabled == Mode::Kitty ? "\x1b[<u" : "\x1b[?9001l");
    EXPECT_EQ(off != std::string::npos, c.Enabled != Mode::None);
    EXPECT_TRUE(off == std::string::npos || off < out.rfind(Leave)) << "off before the rest";
  }
}

}  // namespace
