#include "tests/session/pty_child.h"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace ptytest {
namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

}  // namespace

PtyChild::PtyChild(const std::function<void()>& body) {
  winsize size{};
  size.ws_col = 80;
  size.ws_row = 25;
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
  tcgetattr(slave_, &before_);
  pid_ = fork();
  if (pid_ == 0) {
    close(master_);
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    dup2(slave_, STDIN_FILENO);
    dup2(slave_, STDOUT_FILENO);
    dup2(slave_, STDERR_FILENO);
    if (slave_ > STDERR_FILENO) close(slave_);
    // A crash or SIGQUIT leaves no core file behind in the test directory.
    rlimit noCore{};
    getrlimit(RLIMIT_CORE, &noCore);
    noCore.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &noCore);
    // The test runner may have blocked or ignored signals; a user's shell
    // starts programs with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig <= SIGRTMAX; ++sig) std::signal(sig, SIG_DFL);
    // The terminal is an xterm-compatible one, whatever the test ran in (an
    // editor's shell buffer says dumb, which the program refuses; a Linux
    // console has no alternate screen); a body may say otherwise.
    setenv("TERM", "xterm-256color", 1);
    body();
    _exit(0);
  }
}

PtyChild::~PtyChild() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void PtyChild::Type(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t done = write(master_, bytes.data(), bytes.size());
    if (done <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(done));
  }
}

bool PtyChild::ReadSome(int timeoutMs) {
  if (master_ < 0) return false;
  pollfd ready{master_, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) <= 0 || (ready.revents & POLLIN) == 0) return false;
  char buffer[4096];
  const ssize_t got = read(master_, buffer, sizeof buffer);
  if (got <= 0) return false;
  output_.append(buffer, static_cast<size_t>(got));
  return true;
}

bool PtyChild::WaitFor(std::string_view needle, size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (output_.find(needle, from) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    ReadSome(50);
  }
  return true;
}

void PtyChild::SuspendOutput(bool suspend) {
  tcflow(slave_, suspend ? TCOOFF : TCOON);
}

int PtyChild::WaitExit() {
  return WaitExitWithin(std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline).count());
}

int PtyChild::WaitExitWithin(long long ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      while (ReadSome(100)) {
      }
      return status;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    ReadSome(20);
  }
}

void PtyChild::Resize(int columns, int rows) {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = static_cast<unsigned short>(rows);
  ioctl(master_, TIOCSWINSZ, &size);
}

termios PtyChild::ModeNow() const {
  termios now{};
  tcgetattr(slave_, &now);
  return now;
}

bool SameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cflag == b.c_cflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace ptytest
