#include "tests/session/pty_child.h"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace ptytest {

PtyChild::PtyChild(const std::function<void()>& body) {
  winsize size{25, 80, 0, 0};
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
  tcgetattr(slave_, &before_);
  pid_ = fork();
  if (pid_ != 0) return;
  close(master_);
  setsid();
  ioctl(slave_, TIOCSCTTY, 0);
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(slave_, fd);
  if (slave_ > STDERR_FILENO) close(slave_);
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

PtyChild::~PtyChild() {
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(master_);
  close(slave_);
}

void PtyChild::Type(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t done = write(master_, bytes.data(), bytes.size());
    if (done <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(done));
  }
}

bool PtyChild::ReadSome(int timeoutMs) {
  pollfd fd{master_, POLLIN, 0};
  char buffer[4096];
  const bool ready = poll(&fd, 1, timeoutMs) > 0 && (fd.revents & POLLIN) != 0;
  const ssize_t got = ready ? read(master_, buffer, sizeof buffer) : 0;
  if (got > 0) output_.append(buffer, static_cast<size_t>(got));
  return got > 0;
}

bool PtyChild::WaitFor(std::string_view needle, size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (; output_.find(needle, from) == std::string::npos; ReadSome(50))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

int PtyChild::WaitExit() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int status = 0; std::chrono::steady_clock::now() < deadline; ReadSome(20)) {
    if (waitpid(pid_, &status, WNOHANG) != pid_) continue;
    while (ReadSome(100)) {
    }
    return status;
  }
  return -1;
}

void PtyChild::HangUp() {
  close(master_);
  master_ = -1;
}

bool PtyChild::ModeRestored() const {
  termios now{};
  tcgetattr(slave_, &now);
  // The flags and the control characters; the padding after them is no one's.
  return std::memcmp(&now, &before_, offsetof(termios, c_cc) + sizeof now.c_cc) == 0;
}

}  // namespace ptytest
