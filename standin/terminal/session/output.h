// Writing to the terminal without ever waiting for it.
//
// A terminal may stop reading (Scroll Lock, XOFF, a stalled ssh link, a
// window that is not drained) for as long as it likes, while the alarm must
// still ring on time and signals be honoured.  So nobody blocks in write():
// the bytes go through a bounded queue, written on an open file description
// of the terminal's own that is non-blocking (the shell's stays as it is).
// Whatever the terminal does not take at once is written by a thread that
// waits for the terminal to drain; redraws that pile up meanwhile are merged
// into one picture of the latest screen.
#pragma once

#include <cstddef>
#include <string_view>

namespace session {

// Writes everything, retrying after EINTR, waiting at most `waitMs` for the
// terminal to take more (in total); gives up on any other error (the
// terminal has gone, and the input side notices).  Async-signal-safe.
void WriteWithin(int fd, const char* data, size_t size, int waitMs);

// What is queued.  Screen bytes change what the screen shows relative to
// what the bytes before them showed; when the terminal falls behind they are
// dropped and the whole screen is sent again instead.  A bell while another
// waits unsent is one with it; a title replaces the one that waits unsent.
// Other bytes (modes, handing back) are always delivered, in order.
enum class Stream { Screen, Control, Title, Bell };

// Opens the terminal's own non-blocking description; without one, a thread
// does all the writing.  Called once when the terminal is taken over.
void OpenOutput(int fd);

// Queues bytes and writes what the terminal takes now, never waiting.
// wholeScreen says the bytes repaint every cell (they begin by clearing the
// screen), which makes every screen byte queued before them useless.
// Returns false when screen bytes were refused because too much is queued:
// the caller must send the whole screen instead.
// With writeNow false the bytes wait for the next Flush (a caller holding
// a lock that others wait for writes after letting go of it).
bool Queue(std::string_view bytes, Stream stream, bool wholeScreen = false, bool writeNow = true);
// Writes what is queued, as far as the terminal takes it now.
void Flush();

// The descriptor the crash handlers write to.  Async-signal-safe.
int CrashOutputFd();

// Waits until everything queued has been written, at most `ms`; true when
// the queue is empty.
bool Drain(int ms);

// Bytes queued and not yet written (tests, and the bench).
size_t Backlog();

// Gives what the terminal has not taken yet (the hand-back and the last
// screen's text, not the screens before) to a helper process that waits for
// the terminal, so that this process can end now; used when the hand-back
// could not be written within its time.  The helper is a copy program (cat)
// fed through a pipe: it holds nothing of this process, ends on hang-up, on
// SIGTERM, SIGHUP and SIGINT, and after ten seconds at most.
void LeaveWhenDrained();

}  // namespace session
