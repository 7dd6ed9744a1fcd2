// The process services of the terminal stand-in, and its key input on a
// plain pipe.  A lone Esc waking a wait is checked on a real terminal.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "console/win32.h"
#include "model/kernel_objects.h"
#include "posix/session/input.h"

namespace {

// Runs body in a child process and returns its exit code (or -1).
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Classes in every order reach every thread and each normal comes back to
// the policy and nice value the process started with, whatever it is
// permitted to do.  Returns 0 or the first step that failed.
int ClassesComeBackToNormal() {
  static std::atomic<pid_t> other{0};
  std::thread([] {
    other = gettid();
    for (;;) pause();
  }).detach();
  while (other == 0) std::this_thread::yield();
  const int base = getpriority(PRIO_PROCESS, other);
  const DWORD idle = IDLE_PRIORITY_CLASS, high = HIGH_PRIORITY_CLASS,
              normal = NORMAL_PRIORITY_CLASS;
  int step = 1;
  for (const DWORD cls : {idle, high, normal, high, idle, normal, high, normal, idle, normal}) {
    const BOOL set = SetPriorityClass(GetCurrentProcess(), cls);
    const int policy = sched_getscheduler(other);
    const int nice = getpriority(PRIO_PROCESS, other);
    const bool ok = cls == idle
                        ? policy == SCHED_IDLE || policy == SCHED_BATCH
                        : policy == SCHED_OTHER && (cls == high ? nice <= base : nice == base);
    if (set == FALSE || !ok) return step;
    ++step;
  }
  return 0;
}

TEST(Priority, ClassesReachEveryThreadAndComeBackToNormalAsAnyUser) {
  EXPECT_EQ(InChild(ClassesComeBackToNormal), 0) << "as the user the tests run as";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become an unprivileged user";
  // SCHED_IDLE is a one-way street for such a process: the plan must avoid it.
  EXPECT_EQ(InChild([] {
              return setgid(65534) != 0 || setuid(65534) != 0 ? 99 : ClassesComeBackToNormal();
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

// A terminal that goes away ends the input: what came before still counts,
// and the wait does not sleep.  Never more bytes than asked for.
TEST(InputSource, PumpsWhatIsWaitingAndTheEndIsTheTerminalGoingAway) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  session::InputSource input(fds[0]);
  std::vector<INPUT_RECORD> records;
  const auto keyDowns = [&records] {
    std::vector<WORD> keys;
    for (const INPUT_RECORD& r : records)
      if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown != FALSE)
        keys.push_back(r.Event.KeyEvent.wVirtualKeyCode);
    return keys;
  };
  EXPECT_EQ(input.Pump(&records), session::InputSource::Status::Ok);
  ASSERT_EQ(write(fds[1], "ab\rd", 4), 4);
  EXPECT_EQ(input.Pump(&records, 2), session::InputSource::Status::Ok);
  EXPECT_EQ(keyDowns(), (std::vector<WORD>{'A', 'B'}));
  close(fds[1]);
  EXPECT_EQ(input.Pump(&records), session::InputSource::Status::Gone);
  EXPECT_EQ(keyDowns(), (std::vector<WORD>{'A', 'B', VK_RETURN, 'D'}));
  EXPECT_EQ(input.Wait(-1), session::InputSource::Status::Gone);
  close(fds[0]);
}

}  // namespace
