// The terminal end's writer (standin/terminal/session/output.cpp) on a
// pseudo-terminal that stops taking output: the way out is not held up, what
// the terminal has not taken is left to a helper that holds nothing of the
// program, and bells do not pile up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "standin/terminal/vt/renderer.h"
#include "tests/session/pty_child.h"
#include "win32/win32.h"

namespace {

using namespace std::chrono_literals;

constexpr int Slowdown = ROUSEL_TIME_SCALE;
const std::string Leave(vt::LeaveSequence());

void Say(const char* text) {
  SetConsoleTitleA(text);
}

// Fills what the terminal still takes, so that nothing more fits until the
// test reads or resumes it.
void FillTheTerminal() {
  const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY);
  const std::string filler(4096, ' ');
  while (write(fd, filler.data(), filler.size()) > 0) {
  }
  close(fd);
}

// Waits for a key (the test's go), then runs `then`.
void OnKey(void (*then)()) {
  Say("ready");
  INPUT_RECORD record{};
  DWORD read = 0;
  ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &record, 1, &read);
  then();
}

// Runs the program as a shell with job control runs a job: a process group
// of its own in the foreground, the shell (the session's leader) staying.
void AsAJob(void (*program)()) {
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    program();
    _exit(0);
  }
  setpgid(job, job);
  tcsetpgrp(0, job);
  int status = 0;
  waitpid(job, &status, 0);
  for (;;) pause();
}

// The processes of a session but its leader: its pid and its program's path.
std::vector<std::pair<pid_t, std::string>> InSession(pid_t session) {
  std::vector<std::pair<pid_t, std::string>> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string state;
    pid_t parent = 0;
    pid_t group = 0;
    pid_t sid = 0;
    fields >> state >> parent >> group >> sid;
    const pid_t pid = std::stoi(name);
    if (sid != session || pid == session || state == "Z") continue;
    char exe[256] = {};
    if (readlink((entry.path() / "exe").c_str(), exe, sizeof exe - 1) < 0) continue;
    found.emplace_back(pid, exe);
  }
  return found;
}

// Once the program has ended: the one process it left behind, or -1.
pid_t HelperLeftBy(pid_t session, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = InSession(session);
    if (left.size() == 1 && left[0].second.ends_with("/cat")) return left[0].first;
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

std::string StatusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
  return "";
}

bool Gone(pid_t pid, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < deadline) {
    if (kill(pid, 0) != 0 || StatusField(pid, "State").find('Z') != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// Alt+X while the terminal takes nothing: the program ends within a second,
// and a helper writes the hand-back and the exit banner once the terminal
// takes output again.  The helper is a copy program, with no signal blocked
// but SIGTTOU and none that ends it ignored: a SIGTERM ends it too.
TEST(OutputTest, AStalledExitLeavesTheBannerToAHelperThatHoldsNothing) {
  for (const bool resume : {true, false}) {
    SCOPED_TRACE(resume ? "the terminal resumes" : "the helper is sent SIGTERM");
    ptytest::PtyChild child([] {
      AsAJob([] {
        OnKey([] {
          CHAR_INFO bye[3];
          for (int i = 0; i < 3; ++i) bye[i] = {{static_cast<WCHAR>("bye"[i])}, 7};
          SMALL_RECT region{0, 0, 2, 0};
          WriteConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), bye, {3, 1}, {0, 0}, &region);
          FillTheTerminal();
          ExitProcess(0);
        });
      });
    });
    ASSERT_TRUE(child.WaitFor("\x1b]2;ready\a"));
    child.SuspendOutput(true);
    child.Type("q");
    const pid_t helper = HelperLeftBy(child.Pid(), 1000ms * Slowdown);
    ASSERT_GT(helper, 0) << "the program still runs, or left no helper";
    EXPECT_EQ(std::stoull(StatusField(helper, "SigBlk"), nullptr, 16), 1ull << (SIGTTOU - 1));
    const unsigned long long ignored = std::stoull(StatusField(helper, "SigIgn"), nullptr, 16);
    for (const int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGALRM, SIGPIPE})
      EXPECT_EQ(ignored & (1ull << (sig - 1)), 0u) << strsignal(sig) << " ignored";
    if (resume) {
      const size_t mark = child.Output().size();
      child.SuspendOutput(false);
      EXPECT_TRUE(child.WaitFor(Leave, mark));
      EXPECT_TRUE(child.WaitFor("bye", child.Output().find(Leave, mark)));
    } else {
      kill(helper, SIGTERM);
    }
    EXPECT_TRUE(Gone(helper, 2s * Slowdown));
    child.SuspendOutput(false);
  }
}

// A minute of ringing on the bell while the terminal takes nothing reaches
// it as one bell, not as hundreds.
TEST(OutputTest, BellsMergeWhileTheTerminalTakesNothing) {
  ptytest::PtyChild child([] {
    OnKey([] {
      FillTheTerminal();
      for (int tone = 0; tone < 400; ++tone) MessageBeep(0);
      Sleep(1);
      Say("rung");
      Sleep(INFINITE);
    });
  });
  ASSERT_TRUE(child.WaitFor("\x1b]2;ready\a"));
  const size_t mark = child.Output().size();
  child.SuspendOutput(true);
  child.Type("q");
  std::this_thread::sleep_for(300ms);
  child.SuspendOutput(false);
  ASSERT_TRUE(child.WaitFor("\x1b]2;rung\a", mark));
  const std::string after = child.Output().substr(mark);
  // Every title ends in a BEL of its own.
  size_t titles = 0;
  for (size_t at = after.find("\x1b]2;"); at != std::string::npos;
       at = after.find("\x1b]2;", at + 1))
    ++titles;
  EXPECT_EQ(static_cast<size_t>(std::count(after.begin(), after.end(), '\a')) - titles, 1u);
}

}  // namespace
