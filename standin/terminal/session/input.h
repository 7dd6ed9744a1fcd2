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
  // key records of every finished key to *records.  Never blocks.
  Status Pump(std::vector<INPUT_RECORD>* records, size_t maxBytes = 4096);

  // Sleeps in poll() until bytes arrive, the terminal goes away, the pending
  // escape timeout runs out, or timeoutMs pass (-1: no limit).  Spurious
  // returns are allowed: the caller pumps and waits again.
  Status Wait(int timeoutMs);

  [[nodiscard]] const vt::TerminalReplies& Replies() const { return decoder_.Replies(); }

 private:
  // Moves the decoder's finished keys to *records.
  void TakeKeys(std::vector<INPUT_RECORD>* records);

  int fd_;
  bool readable_ = false;  // the last Wait saw bytes: Pump reads without asking again
  vt::KeyDecoder decoder_;
};

// Starts the thread that reads the terminal into the console's input queue
// and ends the program when the terminal goes away.  Once, from the start.
void StartKeyReader();

// Waits, with the session lock held by `lock`, until the terminal has
// answered the device attributes query or timeoutMs have passed; what it
// answered so far.
vt::TerminalReplies AwaitRepliesLocked(std::unique_lock<std::mutex>& lock, int timeoutMs);

// WaitForSingleObject on the console input: WAIT_OBJECT_0 as soon as the
// input queue holds a record, WAIT_TIMEOUT after the given milliseconds
// (INFINITE: never).
DWORD WaitForInput(DWORD milliseconds);

}  // namespace session
