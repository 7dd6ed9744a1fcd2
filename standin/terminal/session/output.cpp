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

// Drops the screen bytes no one has begun to write.
void DropScreenLocked(Output& o) {
  size_t keep = o.Writing ? o.InFlight : 0;
  if (o.Offset > 0 && keep == 0) keep = 1;  // a sequence cut in half must be finished
  auto it = o.Pending.begin();
  for (; keep > 0 && it != o.Pending.end(); --keep) ++it;
  while (it != o.Pending.end()) {
    if (it->Kind == Stream::Screen) {
      o.ScreenBytes -= it->Bytes.size();
      it = o.Pending.erase(it);
    } else {
      ++it;
    }
  }
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
      DropScreenLocked(o);
    } else if (o.ScreenBytes > 0 && o.ScreenBytes + bytes.size() > MaxScreenBacklog) {
      DropScreenLocked(o);
      return false;
    }
    o.ScreenBytes += bytes.size();
  }
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

void LeaveWhenDrained(std::string_view bytes) {
  Output& o = Out();
  int fd = -1;
  {
    std::lock_guard lock(o.Mutex);
    if (o.Gone) return;
    fd = o.Fd;
  }
  std::string out = "\x18";
  out += bytes;
  if (fork() != 0) return;
  // The child: this thread alone, async-signal-safe calls only.  The shell
  // takes the terminal back when the parent ends; the write must not stop
  // us as a background job's would.
  sigset_t ttou;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, nullptr);
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  WriteWithin(fd, out.data(), out.size(), 0);
  _exit(0);
}

}  // namespace session
