#include "standin/terminal/session/input.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <mutex>
#include <thread>

#include "standin/model/console_model.h"
#include "standin/terminal/base/clock.h"
#include "standin/terminal/session/exit.h"
#include "standin/terminal/session/state.h"

namespace session {
namespace {

// A read refused with EIO is a hang-up, unless the terminal still has a
// foreground job that is not ours (a background read with SIGTTIN blocked).
bool InBackground(int fd) {
  const pid_t foreground = tcgetpgrp(fd);
  return foreground > 0 && foreground != getpgrp();
}

// The decoder keeps at most MaxQueuedKeys keys between pops and drops the
// rest, as a full keyboard buffer does; a byte makes one key at most.  Fed
// no more than this at a time (with the unfinished sequence it may carry
// from before, always shorter than MaxSequenceBytes) and emptied after each,
// it never drops one of a paste: what the queue cannot take waits in the
// terminal.
constexpr size_t FeedSlice = vt::KeyDecoder::MaxQueuedKeys - vt::MaxSequenceBytes;
static_assert(FeedSlice > 0);

}  // namespace

InputSource::Status InputSource::Pump(std::vector<INPUT_RECORD>* records,
                                      std::vector<vt::LineSignal>* signals, size_t maxBytes) {
  uint8_t buffer[512];
  size_t used = 0;  // bytes of the buffer that held input
  size_t total = 0;
  uint64_t now = 0;  // when the last bytes were read
  Status status = Status::Ok;
  while (total < maxBytes) {
    if (!readable_) {
      pollfd ready{fd_, POLLIN, 0};
      const int polled = poll(&ready, 1, 0);
      if (polled < 0) {
        if (errno == EINTR) continue;
        status = Status::Gone;
        break;
      }
      if (polled == 0) break;
      if ((ready.revents & POLLIN) == 0) {
        // POLLHUP, POLLERR or POLLNVAL with nothing left to read.
        status = Status::Gone;
        break;
      }
    }
    readable_ = false;
    const size_t want = std::min(sizeof buffer, maxBytes - total);
    const ssize_t got = read(fd_, buffer, want);
    if (got > 0) {
      used = std::max(used, static_cast<size_t>(got));
      now = base::MonotonicMs();
      for (size_t at = 0; at < static_cast<size_t>(got); at += FeedSlice) {
        decoder_.Feed(buffer + at, std::min(FeedSlice, static_cast<size_t>(got) - at), now);
        TakeKeys(records, signals);
      }
      total += static_cast<size_t>(got);
      // A read that took less than it could emptied the terminal's buffer:
      // what comes later wakes the reader again.
      if (static_cast<size_t>(got) < want) break;
      continue;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    status = (got < 0 && errno == EIO && InBackground(fd_)) ? Status::Background : Status::Gone;
    break;
  }
  // What was typed may be a password: no copy stays on the stack.
  SecureZeroMemory(buffer, used);
  decoder_.Tick(used > 0 ? now : base::MonotonicMs());
  TakeKeys(records, signals);
  return status;
}

void InputSource::TakeKeys(std::vector<INPUT_RECORD>* records,
                           std::vector<vt::LineSignal>* signals) {
  vt::KeyEvent key;
  if (!decoder_.Pop(&key)) return;
  do {
    const vt::LineSignal signal =
        signals != nullptr ? vt::SignalOf(key, chars_) : vt::LineSignal::None;
    if (signal == vt::LineSignal::None) {
      vt::AppendKeyRecords(key, records);
    } else if (key.Stroke != vt::Stroke::Release) {
      signals->push_back(signal);
    }
  } while (decoder_.Pop(&key));
  SecureZeroMemory(&key, sizeof key);
}

InputSource::Status InputSource::Wait(int timeoutMs) {
  int timeout = timeoutMs;
  const int pending = decoder_.PendingTimeoutMs(base::MonotonicMs());
  if (pending >= 0 && (timeout < 0 || pending < timeout)) timeout = pending;
  pollfd ready{fd_, POLLIN, 0};
  const int polled = poll(&ready, 1, timeout);
  if (polled < 0) return errno == EINTR ? Status::Ok : Status::Gone;
  if (polled > 0 && (ready.revents & POLLIN) == 0) return Status::Gone;
  readable_ = polled > 0;
  return Status::Ok;
}

// --- The key reader ---
namespace {

// Records queued beyond this stay in the kernel's buffer until the program
// reads keys: a huge paste costs no memory.
constexpr size_t MaxQueuedRecords = 1024;

// Signalled when records reach the console's input queue; waited on with the
// session lock.
std::condition_variable InputArrived;

// Signalled when replies from the terminal have been handled; waited on
// with the session lock.
std::condition_variable RepliesArrived;

// The key reader's thread: the only one that can read the replies.
thread_local bool OnKeyReader = false;

// The line discipline's characters as the terminal's mode has them (the
// user may have moved Ctrl+C's job to another key, or none).
vt::SignalChars SignalCharsOf(const termios& mode) {
  const auto get = [&mode](int index) -> uint8_t {
    const cc_t c = mode.c_cc[index];
    return c == static_cast<cc_t>(_POSIX_VDISABLE) ? 0 : static_cast<uint8_t>(c);
  };
  if ((mode.c_lflag & ISIG) == 0) return {0, 0, 0};
  return {get(VINTR), get(VQUIT), get(VSUSP)};
}

// A key protocol delivers Ctrl+C, Ctrl+Break, Ctrl+backslash and Ctrl+Z as
// keys, where the line discipline would have raised a signal to the
// foreground process group: the same signal goes there now, so the control
// handlers and job control see what they see in the legacy encoding.
void RaiseAsTheTerminalWould(vt::LineSignal signal) {
  int sig = SIGTSTP;
  if (signal == vt::LineSignal::Interrupt) sig = SIGINT;
  if (signal == vt::LineSignal::Quit) sig = SIGQUIT;
  pid_t group = tcgetpgrp(InFd);
  if (group <= 0) group = getpgrp();
  kill(-group, sig);
}

bool QueueFullLocked() {
  return model::ConsoleLocked().Input.size() >= MaxQueuedRecords;
}

// Moves the finished keys waiting in the terminal into the input queue and
// hands the replies to the session; true when the queue is full.  One lock
// a call: in a flood of keys this runs once for every arrival of bytes.
bool PumpKeys(InputSource& input, std::vector<INPUT_RECORD>& records,
              std::vector<vt::LineSignal>& signals) {
  const InputSource::Status status = input.Pump(&records, &signals);
  for (const vt::LineSignal signal : signals) RaiseAsTheTerminalWould(signal);
  signals.clear();
  vt::Reply reply;
  bool replied = input.PopReply(&reply);
  bool full = false;
  if (!records.empty() || replied) {
    {
      std::lock_guard lock(model::ConsoleMutex());
      auto& queue = model::ConsoleLocked().Input;
      queue.insert(queue.end(), records.begin(), records.end());
      full = queue.size() >= MaxQueuedRecords;
      for (; replied; replied = input.PopReply(&reply)) RepliedLocked(reply);
    }
    if (!records.empty()) {
      SecureZeroMemory(records.data(), records.size() * sizeof(INPUT_RECORD));
      records.clear();
      InputArrived.notify_all();
    }
    RepliesArrived.notify_all();
  }
  if (status == InputSource::Status::Gone) EndTerminalGone();
  if (status == InputSource::Status::Background) {
    // Another job holds the terminal: stop as a background reader does.
    kill(getpid(), SIGTTIN);
    input.Wait(100);
  }
  return full;
}

// Reads the terminal as bytes arrive, so that each gets its own arrival time:
// the program looks at its keys only between sleeps of up to 30 seconds, and
// an Esc and a key typed within one sleep must not reach the decoder together
// (they would make Alt+key: Esc then x would quit).  Sleeps in poll() while
// nothing comes, so a waiting alarm is not woken.  The decoder is this
// thread's alone.
void ReadKeys() {
  OnKeyReader = true;
  InputSource input(InFd);
  {
    std::lock_guard lock(model::ConsoleMutex());
    input.SetSignalChars(SignalCharsOf(TheSession().Raw));
  }
  // Kept from one arrival to the next: no allocation per key.
  std::vector<INPUT_RECORD> records;
  records.reserve(64);
  std::vector<vt::LineSignal> signals;
  for (;;) {
    if (input.Wait(-1) == InputSource::Status::Gone) EndTerminalGone();
    bool full = PumpKeys(input, records, signals);
    while (full) {
      // The rest stays in the terminal's own buffer until keys are read.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::lock_guard lock(model::ConsoleMutex());
      full = QueueFullLocked();
    }
  }
}

}  // namespace

void StartKeyReader() {
  std::thread(ReadKeys).detach();
}

int AwaitRepliesLocked(std::unique_lock<std::mutex>& lock, int timeoutMs) {
  vt::KeyProtocols& keys = TheSession().Keys;
  if (OnKeyReader || !keys.AwaitingReplies()) return 0;
  const uint64_t start = base::MonotonicMs();
  if (!RepliesArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&keys] { return !keys.AwaitingReplies(); })) {
    keys.GiveUpReplies();
  }
  return static_cast<int>(std::min<uint64_t>(base::MonotonicMs() - start, timeoutMs));
}

DWORD WaitForInput(DWORD milliseconds) {
  std::unique_lock lock(model::ConsoleMutex());
  const auto ready = [] { return !model::ConsoleLocked().Input.empty(); };
  if (milliseconds == INFINITE) {
    InputArrived.wait(lock, ready);
    return WAIT_OBJECT_0;
  }
  return InputArrived.wait_for(lock, std::chrono::milliseconds(milliseconds), ready) ? WAIT_OBJECT_0
                                                                                     : WAIT_TIMEOUT;
}

}  // namespace session
