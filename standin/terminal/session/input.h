// Key input from the terminal: a reader that decodes what is waiting without
// ever blocking, the thread that reads the terminal as bytes arrive, and the
// wait on the console input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "standin/terminal/vt/key_decoder.h"
#include "win32/win32.h"

namespace session {

// Reads a terminal descriptor through the key decoder with a monotonic
// clock.  Works on any descriptor, so the tests drive it with a pipe.
class InputSource {
 public:
  enum class Status {
    Ok,
    Gone,        // end of file, hang-up or a read error: the terminal went away
    Background,  // the read was refused because another job holds the terminal
  };

  explicit InputSource(int fd) : fd_(fd) {}

  // Reads up to maxBytes that are waiting now, decodes them and appends the
  // key records of every finished key to *records.  Never blocks.  With
  // signals, a key that stands for a signal of the line discipline (Ctrl+C
  // as a key protocol sends it, see vt::SignalOf) is no key: its signal is
  // appended there instead (once, for its press), and no record queued.
  Status Pump(std::vector<INPUT_RECORD>* records, std::vector<vt::LineSignal>* signals = nullptr,
              size_t maxBytes = 4096);
  // The characters that stand for signals (the terminal's own, from its
  // mode).
  void SetSignalChars(const vt::SignalChars& chars) { chars_ = chars; }

  // Sleeps in poll() until bytes arrive, the terminal goes away, the pending
  // escape timeout runs out, or timeoutMs pass (-1: no limit).  Spurious
  // returns are allowed: the caller pumps and waits again.
  Status Wait(int timeoutMs);

  // The next reply the terminal sent, oldest first.
  bool PopReply(vt::Reply* reply) { return decoder_.PopReply(reply); }

 private:
  // Moves the decoder's finished keys to *records (their signals to
  // *signals, when given).
  void TakeKeys(std::vector<INPUT_RECORD>* records, std::vector<vt::LineSignal>* signals);

  int fd_;
  bool readable_ = false;  // the last Wait saw bytes: Pump reads without asking again
  vt::KeyDecoder decoder_;
  vt::SignalChars chars_;
};

// Starts the thread that reads the terminal into the console's input queue
// and ends the program when the terminal goes away.  Once, from the start.
void StartKeyReader();

// Waits, with the session lock held by `lock`, until the terminal has
// answered every query sent, or timeoutMs have passed (the answers are then
// given up).  Returns at once on the key reader's own thread, which alone
// could read them.  The milliseconds it waited.
int AwaitRepliesLocked(std::unique_lock<std::mutex>& lock, int timeoutMs);

// WaitForSingleObject on the console input: WAIT_OBJECT_0 as soon as the
// input queue holds a record, WAIT_TIMEOUT after the given milliseconds
// (INFINITE: never).
DWORD WaitForInput(DWORD milliseconds);

}  // namespace session
