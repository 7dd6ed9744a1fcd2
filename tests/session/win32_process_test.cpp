// The process services of the terminal stand-in, and its key input on a
// plain pipe.  A lone Esc waking a wait is checked on a real terminal.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "console/win32.h"
#include "model/kernel_objects.h"
#include "posix/session/input.h"

namespace {

int Nice() {
  errno = 0;
  return getpriority(PRIO_PROCESS, 0);
}

// Runs body in a child process and returns its exit code (or -1).
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every sequence of classes ends at the policy and nice value the process
// started with, whatever it is permitted to do.  Returns 0 or the step that
// failed.
int ClassesComeBackToNormal() {
  const int base = Nice();
  const DWORD sequences[][3] = {
      {IDLE_PRIORITY_CLASS, HIGH_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
      {HIGH_PRIORITY_CLASS, IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
      {HIGH_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS, IDLE_PRIORITY_CLASS},
  };
  int step = 0;
  for (const auto& sequence : sequences) {
    for (const DWORD cls : sequence) {
      ++step;
      if (SetPriorityClass(GetCurrentProcess(), cls) == FALSE) return step;
      const int policy = sched_getscheduler(0);
      if (cls == IDLE_PRIORITY_CLASS && policy != SCHED_IDLE && policy != SCHED_BATCH) return step;
      if (cls == HIGH_PRIORITY_CLASS && (policy != SCHED_OTHER || Nice() > base)) return step;
    }
    if (SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS) == FALSE) return 100 + step;
    if (sched_getscheduler(0) != SCHED_OTHER || Nice() != base) return 200 + step;
  }
  return 0;
}

TEST(Priority, ClassesAlwaysComeBackToNormal) {
  EXPECT_EQ(InChild(ClassesComeBackToNormal), 0) << "as the user the tests run as";
}

TEST(Priority, UnprivilegedClassesAlwaysComeBackToNormal) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become an unprivileged user";
  // SCHED_IDLE is a one-way street for such a process: the plan must avoid it.
  EXPECT_EQ(InChild([] {
              if (setgid(65534) != 0 || setuid(65534) != 0) return 99;
              return ClassesComeBackToNormal();
            }),
            0);
}

TEST(Priority, ReachesEveryThread) {
  EXPECT_EQ(InChild([] {
              std::promise<void> go;
              std::promise<int> seen;
              std::thread other([&] {
                go.get_future().wait();
                seen.set_value(sched_getscheduler(0));
              });
              SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS);
              go.set_value();
              const int policy = seen.get_future().get();
              other.join();
              return policy == SCHED_IDLE || policy == SCHED_BATCH ? 0 : 1;
            }),
            0);
}

TEST(Priority, OnlyForThisProcess) {
  EXPECT_EQ(SetPriorityClass(nullptr, NORMAL_PRIORITY_CLASS), FALSE);
}

TEST(Process, VersionAndKeyboardCodePage) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  OSVERSIONINFOA unsized{};
  EXPECT_EQ(GetVersionExA(&unsized), FALSE);

  struct Case {
    const char* Library;
    const char* Function;
    bool Found;
  };
  const Case cases[] = {{"user32.dll", "GetKBCodePage", true},
                        {"USER32.DLL", "GetKBCodePage", true},
                        {"user32", "GetKBCodePage", true},  // ".dll" is implied
                        {"user32.dll", "MessageBoxA", false},
                        {"kernel32.dll", "GetKBCodePage", false}};
  for (const Case& c : cases) {
    const HMODULE module = LoadLibraryA(c.Library);
    const FARPROC found = module != nullptr ? GetProcAddress(module, c.Function) : nullptr;
    EXPECT_EQ(found != nullptr, c.Found) << c.Library << " " << c.Function;
    if (found != nullptr) {
      const auto codePage = reinterpret_cast<UINT(WINAPI*)()>(reinterpret_cast<void (*)()>(found));
      EXPECT_EQ(codePage(), 866u);
    }
  }
}

// The console functions refuse a missing out argument or the other handle,
// before they touch the terminal.
TEST(Console, CallsWithoutTheirArgumentsFail) {
  const HANDLE in = model::ConsoleInputHandle();
  const HANDLE out = model::ConsoleOutputHandle();
  INPUT_RECORD record{};
  DWORD count = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  EXPECT_EQ(ReadConsoleInputA(in, nullptr, 1, &count), FALSE);
  EXPECT_EQ(ReadConsoleInputA(in, &record, 1, nullptr), FALSE);
  EXPECT_EQ(ReadConsoleInputA(out, &record, 1, &count), FALSE);
  EXPECT_EQ(GetNumberOfConsoleInputEvents(in, nullptr), FALSE);
  EXPECT_EQ(GetConsoleScreenBufferInfo(out, nullptr), FALSE);
  EXPECT_EQ(GetConsoleScreenBufferInfo(in, &info), FALSE);
}

// --- Key input on a pipe ---

struct Pipe {
  Pipe() {
    if (pipe(fds) != 0) fds[0] = fds[1] = -1;
  }
  ~Pipe() {
    for (const int fd : fds)
      if (fd >= 0) close(fd);
  }
  void Write(std::string_view bytes) const {
    if (write(fds[1], bytes.data(), bytes.size()) < 0) ADD_FAILURE() << "pipe write";
  }
  void CloseWriter() {
    close(fds[1]);
    fds[1] = -1;
  }
  int fds[2] = {-1, -1};
};

std::vector<WORD> KeyDowns(const std::vector<INPUT_RECORD>& records) {
  std::vector<WORD> keys;
  for (const INPUT_RECORD& r : records)
    if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown != FALSE)
      keys.push_back(r.Event.KeyEvent.wVirtualKeyCode);
  return keys;
}

TEST(InputSource, PumpsWhatIsWaitingWithoutBlockingAndNoMoreThanAsked) {
  Pipe pipe;
  session::InputSource input(pipe.fds[0]);
  std::vector<INPUT_RECORD> records;
  EXPECT_EQ(input.Pump(&records), session::InputSource::Status::Ok);
  EXPECT_TRUE(records.empty());
  pipe.Write("ab\rdef");
  EXPECT_EQ(input.Pump(&records, 2), session::InputSource::Status::Ok);
  EXPECT_EQ(KeyDowns(records), (std::vector<WORD>{'A', 'B'}));
  input.Pump(&records);
  EXPECT_EQ(KeyDowns(records), (std::vector<WORD>{'A', 'B', VK_RETURN, 'D', 'E', 'F'}));
}

TEST(InputSource, TheEndOfInputIsTheTerminalGoingAway) {
  Pipe pipe;
  session::InputSource input(pipe.fds[0]);
  pipe.Write("a");
  pipe.CloseWriter();
  std::vector<INPUT_RECORD> records;
  EXPECT_EQ(input.Pump(&records), session::InputSource::Status::Gone);
  EXPECT_EQ(KeyDowns(records), (std::vector<WORD>{'A'})) << "what came before still counts";
  EXPECT_EQ(input.Wait(-1), session::InputSource::Status::Gone) << "and the wait does not sleep";
}

}  // namespace
