// The session's own state and steps, shared by its files (session, output,
// input, signals, exit); the rest of the terminal end sees session.h only.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

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
  // The terminal sends whole key records (win32-input-mode) while held.
  bool Win32Input = false;
  // The terminal sends keys in the progressive keyboard enhancement
  // protocol (flags pushed at each take, popped at each hand-back).
  bool KittyKeys = false;
};

// Never destroyed: the cursor thread may still render while exit() runs.
Session& TheSession();

// Whether the terminal is in the program's modes (not before the start, not
// while stopped by job control, not after it was handed back).  Atomic, so
// the crash handlers can read it.
extern std::atomic<bool> Held;

// With model::ConsoleMutex() held:
// Sets the program's modes, the viewport from the terminal's size, and
// repaints; the title the user had is saved first when saveTitle.
void TakeLocked(bool saveTitle);
// Re-reads the terminal's size, which the console's window takes, and
// repaints what the window shows.
void ResizeLocked();
// Sends what changed now.
void RenderLocked();

// Gives the terminal back to the user; leaveScreen writes the last screen's
// text onto the normal screen (an orderly exit).  ending: the process ends
// next, so bytes the terminal does not take within a short time are handed
// to a process that waits for it.  Takes the console lock itself and waits
// for the terminal only after letting go of it.
void HandBack(bool leaveScreen, bool ending = false);
// From a crash handler: no locks, no allocation.
void HandBackAsyncSafe();

// The silencer set with SetSilencer, or nothing; async-signal-safe.
void Silence() noexcept;

}  // namespace session
