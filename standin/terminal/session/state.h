// The session's own state and steps, shared by its files (session, output,
// input, signals, exit); the rest of the terminal end sees session.h only.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "standin/terminal/vt/key_decoder.h"
#include "standin/terminal/vt/key_protocols.h"
#include "standin/terminal/vt/renderer.h"

namespace session {

// Descriptors the session reads and writes; the crash handlers read them too.
inline constexpr int InFd = 0;
inline constexpr int OutFd = 1;

// Guarded by model::ConsoleMutex(), as the console it shows.
struct Session {
  std::unique_ptr<vt::Renderer> Screen;
  vt::Charset Chars = vt::Charset::Utf8;
  termios Raw{};           // the program's mode
  termios UserMode{};      // the user's mode, given back on every way out
  std::string TitleBytes;  // OSC of the current title, sent again on return
  bool Started = false;
  // The key protocol asked for, chosen, and in force on the terminal.
  vt::KeyProtocols Keys;
  // The terminal has a screen of its own for the program (not the Linux
  // console): what the program drew then vanishes at each hand-back.
  bool AlternateScreen = true;
};

// Never destroyed: the cursor thread may still render while exit() runs.
Session& TheSession();

// Whether the terminal is in the program's modes (not before the start, not
// while stopped by job control, not after it was handed back).  Atomic, so
// the crash handlers can read it.
extern std::atomic<bool> Held;

// With model::ConsoleMutex() held:
// Sets the program's modes, the viewport from the terminal's size, and
// repaints.  Taken after a hand-back, the title and the meta setting the
// user had are saved first and the key protocol is put in force again; taken
// while still held (a SIGCONT without a stop before it), the modes are set
// again and nothing is saved or pushed twice.
void TakeLocked();
// A reply from the terminal, as the key reader recognised it: the key
// protocol it chooses is put in force at once when the terminal is held.
void RepliedLocked(const vt::Reply& reply);
// Re-reads the terminal's size, which the console's window takes, and
// repaints what the window shows.
void ResizeLocked();
// Sends what changed now.
void RenderLocked();

// Gives the terminal back to the user; leaveScreen writes the last screen's
// text onto the normal screen (an orderly exit).  A terminal without an
// alternate screen shows that text already, on every way out: the cursor
// is put on the line below it instead.  ending: the process ends
// next, so bytes the terminal does not take within a short time are handed
// to a process that waits for it.  Takes the console lock itself and waits
// for the terminal only after letting go of it.
void HandBack(bool leaveScreen, bool ending = false);
// From a crash handler: no locks, no allocation.
void HandBackAsyncSafe();

// The silencer set with SetSilencer, or nothing; async-signal-safe.
void Silence() noexcept;

}  // namespace session
