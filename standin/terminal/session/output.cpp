#include "standin/terminal/session/output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace session {

void WriteWithin(int fd, const char* data, size_t size, int waitMs) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done > 0) {
      data += done;
      size -= static_cast<size_t>(done);
    } else if (done < 0 && errno == EINTR) {
      continue;
    } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitMs > 0) {
      pollfd ready{fd, POLLOUT, 0};
      const int step = waitMs < 100 ? waitMs : 100;
      waitMs -= step;
      poll(&ready, 1, step);
    } else {
      return;
    }
  }
}

namespace {

// How long the hand-back's helper waits for a terminal that does not read.
constexpr unsigned LeaveWithinSeconds = 10;

// Screen bytes beyond this are merged into one repaint; a repaint itself is
// always taken, so the queue holds at most this plus one whole screen.
constexpr size_t MaxScreenBacklog = size_t{64} * 1024;

struct Chunk {
  std::string Bytes;
  Stream Kind = Stream::Control;
};

struct Output {
  std::mutex Mutex;
  std::condition_variable Progress;  // Drain waits for an empty queue
  // The writer thread waits for the terminal to fall behind.  Its own, so
  // that the writes of a terminal that keeps up, long after a stall, do not
  // wake it.
  std::condition_variable Stall;
  std::deque<Chunk> Pending;
  size_t Offset = 0;  // of the first chunk, already written
  size_t ScreenBytes = 0;
  bool Writing = false;  // someone writes outside the lock now
  size_t InFlight = 0;   // chunks that write reads from, left in place
  bool Stalled = false;  // the terminal took less than offered: the writer thread waits for it
  bool Gone = false;     // the terminal refused a write: nothing more is sent
  bool WriterRunning = false;
  int Fd = -1;           // where the bytes go
  bool Blocking = true;  // Fd is the shared, blocking description: only the writer thread writes
};

Output& Out() {
  static auto* out = new Output;  // never destroyed: the writer may outlive exit()
  return *out;
}

std::atomic<int> CrashFd{-1};

// The first pending chunk no one has begun to write: the chunks before it
// are being written, or were written in part and must be finished.
std::deque<Chunk>::iterator FirstUnbegunLocked(Output& o) {
  size_t begun = o.Writing ? o.InFlight : 0;
  if (o.Offset > 0 && begun == 0) begun = 1;  // a sequence cut in half must be finished
  auto it = o.Pending.begin();
  for (; begun > 0 && it != o.Pending.end(); --begun) ++it;
  return it;
}

// Drops the unbegun chunks of one kind.
void DropLocked(Output& o, Stream kind) {
  auto it = FirstUnbegunLocked(o);
  while (it != o.Pending.end()) {
    if (it->Kind == kind) {
      if (kind == Stream::Screen) o.ScreenBytes -= it->Bytes.size();
      it = o.Pending.erase(it);
    } else {
      ++it;
    }
  }
}

bool HasUnbegunLocked(Output& o, Stream kind) {
  for (auto it = FirstUnbegunLocked(o); it != o.Pending.end(); ++it)
    if (it->Kind == kind) return true;
  return false;
}

// One write of as much of the queue as one writev takes, outside the lock.
// Returns false when the terminal took nothing more (full, or gone).
bool WriteOnce(Output& o, std::unique_lock<std::mutex>& lock) {
  std::array<iovec, 16> parts{};
  size_t count = 0;
  size_t offset = o.Offset;
  for (const Chunk& chunk : o.Pending) {
    if (count == parts.size()) break;
    parts[count].iov_base = const_cast<char*>(chunk.Bytes.data() + offset);
    parts[count].iov_len = chunk.Bytes.size() - offset;
    offset = 0;
    ++count;
  }
  if (count == 0) return false;
  // The chunks stay where they are while Writing is set: only the one who
  // writes removes them, and DropScreenLocked spares them.
  o.Writing = true;
  o.InFlight = count;
  lock.unlock();
  ssize_t done = -1;
  do {
    done = writev(o.Fd, parts.data(), static_cast<int>(count));
  } while (done < 0 && errno == EINTR);
  const int error = errno;
  lock.lock();
  o.Writing = false;
  if (done < 0) {
    if (error != EAGAIN && error != EWOULDBLOCK) {
      o.Gone = true;
      o.Pending.clear();
      o.Offset = 0;
      o.ScreenBytes = 0;
    }
    return false;
  }
  auto left = static_cast<size_t>(done);
  while (left > 0 && !o.Pending.empty()) {
    Chunk& front = o.Pending.front();
    const size_t rest = front.Bytes.size() - o.Offset;
    if (left < rest) {
      o.Offset += left;
      break;
    }
    left -= rest;
    if (front.Kind == Stream::Screen) o.ScreenBytes -= front.Bytes.size();
    o.Pending.pop_front();
    o.Offset = 0;
  }
  return true;
}

// The only place that waits for the terminal.
void WriterLoop() {
  Output& o = Out();
  std::unique_lock lock(o.Mutex);
  for (;;) {
    o.Stall.wait(lock, [&o] { return o.Stalled && !o.Writing && !o.Pending.empty(); });
    lock.unlock();
    pollfd ready{o.Fd, POLLOUT, 0};
    // Hung up or failed: the write below says so.  The time-out only
    // guards against a terminal that never says it has room.
    while (poll(&ready, 1, 1000) < 0 && errno == EINTR) {
    }
    lock.lock();
    while (!o.Pending.empty() && !o.Writing && WriteOnce(o, lock)) {
    }
    if (o.Pending.empty() || o.Gone) o.Stalled = false;
    o.Progress.notify_all();
  }
}

// Hands the queue to the writer thread, which waits for the terminal.
void StallLocked(Output& o) {
  o.Stalled = true;
  if (!o.WriterRunning) {
    o.WriterRunning = true;
    std::thread(WriterLoop).detach();
  }
  o.Stall.notify_one();
}

// Writes what the terminal takes now, without waiting; what it does not take
// goes to the writer thread.
void WriteNowLocked(Output& o, std::unique_lock<std::mutex>& lock) {
  if (o.Pending.empty() || o.Stalled || o.Writing || o.Gone) return;  // behind what waits
  if (o.Blocking) {
    StallLocked(o);
    return;
  }
  while (!o.Pending.empty() && WriteOnce(o, lock)) {
  }
  if (!o.Pending.empty() && !o.Gone) StallLocked(o);
  if (o.Pending.empty()) o.Progress.notify_all();
}

}  // namespace

void OpenOutput(int fd) {
  Output& o = Out();
  std::lock_guard lock(o.Mutex);
  o.Fd = fd;
  o.Blocking = true;
  CrashFd.store(fd);
  // A description of our own: O_NONBLOCK on the one we inherited would
  // change the shell's too.  It must be the very same terminal.
  struct stat shared {};
  if (fstat(fd, &shared) != 0) return;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  std::array<std::string, 2> candidates{path, ""};
  if (const char* name = ttyname(fd)) candidates[1] = name;
  for (const std::string& candidate : candidates) {
    if (candidate.empty()) continue;
    const int own = open(candidate.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0) continue;
    struct stat mine {};
    if (fstat(own, &mine) == 0 && S_ISCHR(mine.st_mode) && mine.st_rdev == shared.st_rdev) {
      o.Fd = own;
      o.Blocking = false;
      CrashFd.store(own);
      return;
    }
    close(own);
  }
}

bool Queue(std::string_view bytes, Stream stream, bool wholeScreen, bool writeNow) {
  if (bytes.empty()) return true;
  Output& o = Out();
  std::unique_lock lock(o.Mutex);
  if (o.Gone || o.Fd < 0) return true;
  if (stream == Stream::Screen) {
    if (wholeScreen) {
      DropLocked(o, Stream::Screen);
    } else if (o.ScreenBytes > 0 && o.ScreenBytes + bytes.size() > MaxScreenBacklog) {
      DropLocked(o, Stream::Screen);
      return false;
    }
    o.ScreenBytes += bytes.size();
  }
  // A terminal that takes nothing for a minute of ringing gets one bell, not
  // four hundred in a burst, and the title it would show last.
  if (stream == Stream::Bell && HasUnbegunLocked(o, Stream::Bell)) return true;
  if (stream == Stream::Title) DropLocked(o, Stream::Title);
  o.Pending.push_back(Chunk{std::string(bytes), stream});
  if (writeNow) WriteNowLocked(o, lock);
  return true;
}

void Flush() {
  Output& o = Out();
  std::unique_lock lock(o.Mutex);
  WriteNowLocked(o, lock);
}

int CrashOutputFd() {
  return CrashFd.load();
}

bool Drain(int ms) {
  Output& o = Out();
  std::unique_lock lock(o.Mutex);
  return o.Progress.wait_for(lock, std::chrono::milliseconds(ms),
                             [&o] { return o.Pending.empty() && !o.Writing; });
}

size_t Backlog() {
  Output& o = Out();
  std::lock_guard lock(o.Mutex);
  size_t total = 0;
  for (const Chunk& chunk : o.Pending) total += chunk.Bytes.size();
  return total - o.Offset;
}

namespace {

// What the terminal has not taken yet and still must: every byte but a
// screen that the hand-back leaves anyway.  A chunk the terminal took in part
// is finished where it stopped, so that a sequence cut in half is whole; a
// screen cut in half is not, and a CAN ends the sequence it may have begun.
std::string LeftToWriteLocked(const Output& o) {
  std::string left;
  bool first = true;
  for (const Chunk& chunk : o.Pending) {
    const size_t from = first ? o.Offset : 0;
    first = false;
    if (chunk.Kind == Stream::Screen) {
      if (from > 0) left += '\x18';
      continue;
    }
    left.append(chunk.Bytes, from);
  }
  return left;
}

// A program that only copies its input to its output: the helper that waits
// for the terminal needs nothing of this process.
const char* CopyProgram() {
  for (const char* path : {"/bin/cat", "/usr/bin/cat"})
    if (access(path, X_OK) == 0) return path;
  return nullptr;
}

}  // namespace

void LeaveWhenDrained() {
  Output& o = Out();
  std::string left;
  int fd = -1;
  {
    std::lock_guard lock(o.Mutex);
    if (o.Gone || o.Pending.empty()) return;
    left = LeftToWriteLocked(o);
    fd = o.Fd;
  }
  const char* const copy = CopyProgram();
  int pipeEnds[2];
  if (copy == nullptr || left.empty() || pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  // The whole of it fits the pipe (a hand-back and a banner are a few
  // kilobytes); a tail that does not is dropped rather than waited for.
  fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
  WriteWithin(pipeEnds[1], left.data(), left.size(), 0);
  close(pipeEnds[1]);
  const pid_t child = fork();
  if (child != 0) {
    close(pipeEnds[0]);
    return;
  }
  // The child: this thread alone, async-signal-safe calls only, until it
  // becomes the copy program, which holds nothing of this process (no
  // password, no descriptor but the terminal's).  Every signal at its
  // default and unblocked, so a hang-up, SIGTERM or Ctrl+C ends it; SIGTTOU
  // blocked, since the shell takes the terminal back when the parent ends
  // and the write must not stop it as a background job's would.  At most ten
  // seconds: a terminal that never drains is not waited for for ever.
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTTOU);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  alarm(LeaveWithinSeconds);
  dup2(pipeEnds[0], 0);
  dup2(fd, 1);
  const int flags = fcntl(1, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(1, F_SETFL, flags & ~O_NONBLOCK);
  for (int other = 3; other < 1024; ++other) close(other);
  char* const argv[] = {const_cast<char*>(copy), nullptr};
  char* const envp[] = {nullptr};
  execve(copy, argv, envp);
  _exit(127);
}

}  // namespace session
