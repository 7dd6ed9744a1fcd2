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
#include <utility>
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

TEST(Priority, ClassesAlwaysComeBackToNormalAsAnyUser) {
  EXPECT_EQ(InChild(ClassesComeBackToNormal), 0) << "as the user the tests run as";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become an unprivileged user";
  // SCHED_IDLE is a one-way street for such a process: the plan must avoid it.
  EXPECT_EQ(InChild([] {
              return setgid(65534) != 0 || setuid(65534) != 0 ? 99 : ClassesComeBackToNormal();
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

// What Windows refuses is refused here: another process, a short version
// block, an unknown library or function.
TEST(Process, FailuresAreReportedAsFailures) {
  EXPECT_EQ(SetPriorityClass(nullptr, NORMAL_PRIORITY_CLASS), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), 0x100), FALSE);
  OSVERSIONINFOA info{};
  EXPECT_EQ(GetVersionExA(&info), FALSE);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  const std::pair<const char*, bool> libraries[] = {
      {"user32.dll", true}, {"USER32.DLL", true}, {"user32", true}, {"kernel32.dll", false}};
  for (const auto& [library, has] : libraries) {
    const HMODULE module = LoadLibraryA(library);
    const FARPROC found = module != nullptr ? GetProcAddress(module, "GetKBCodePage") : nullptr;
    EXPECT_EQ(found != nullptr, has) << library;
    if (found == nullptr) continue;
    EXPECT_EQ(GetProcAddress(module, "MessageBoxA"), nullptr);
    EXPECT_EQ(reinterpret_cast<UINT(WINAPI*)()>(reinterpret_cast<void (*)()>(found))(), 866u);
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

// A terminal that goes away ends the input: what came before still counts,
// and the wait does not sleep.  Never more records than asked for.
TEST(InputSource, PumpsWhatIsWaitingAndTheEndIsTheTerminalGoingAway) {
  Pipe pipe;
  session::InputSource input(pipe.fds[0]);
  std::vector<INPUT_RECORD> records;
  EXPECT_EQ(input.Pump(&records), session::InputSource::Status::Ok);
  pipe.Write("ab\rd");
  EXPECT_EQ(input.Pump(&records, 2), session::InputSource::Status::Ok);
  EXPECT_EQ(KeyDowns(records), (std::vector<WORD>{'A', 'B'}));
  pipe.CloseWriter();
  EXPECT_EQ(input.Pump(&records), session::InputSource::Status::Gone);
  EXPECT_EQ(KeyDowns(records), (std::vector<WORD>{'A', 'B', VK_RETURN, 'D'}));
  EXPECT_EQ(input.Wait(-1), session::InputSource::Status::Gone);
}

}  // namespace
