// The terminal session: the one terminal the POSIX stand-in works on, taken
// over at the first console call and handed back on every way out.
//
// Two groups of callers reach it.  The Win32 console and process functions
// (win32_console.cpp, win32_process.cpp) and the sound use the first part;
// the session's own files (output, input, signals, control, exit) also use
// the second.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <termios.h>

#include "console/win32.h"
#include "model/console_model.h"
#include "posix/vt/renderer.h"

namespace session {

// --- For the Win32 functions and the sound ---

// Takes the terminal over, once: non-canonical mode, the alternate screen,
// the signal handling and the key reader.  False, with nothing touched, when
// standard input or output is no terminal: the console functions then fail,
// as they do on Windows without a console, and the console layer says so.
// Later calls only answer.  Safe from any thread.
bool StartTerminal();

// The session lock: guards the console model, the renderer and the bytes
// they send, so the cursor thread and the program's thread never interleave.
std::mutex& SessionMutex();
// The console model; only with SessionMutex held, after StartTerminal.
model::Console& ConsoleLocked();
// Sends the terminal what changed in the model now; nothing while the
// program does not hold the terminal.
void RenderLocked();
// Notes that the model changed: the change is sent at the end of the pass
// (Present), or by another thread's PresentWhenDue once it has waited long.
void ChangedLocked();
// Sends what changed, once per pass of the program: called when a thread
// goes to sleep or waits (Sleep, WaitForSingleObject, ReadConsoleInputA).
// Takes the session lock only when something changed; writes after letting
// go of it.
void Present();
// Present, when a change has waited longer than a redraw ever takes (other
// threads' waits: nothing stays unsent while the program is busy).
void PresentWhenDue();
// SetConsoleCursorPosition: false outside the console.  Takes the session
// lock only while the cursor is shown.
bool MoveCursor(COORD position);
// Whether the cursor is shown, after SetConsoleCursorInfo changed the model.
void NoteCursorShownLocked(bool shown);
// Sets the model's title and sends it (OSC 2).
void SetTitleLocked(std::string_view title);

// Rings the terminal bell (BEL); nothing while the program does not hold the
// terminal.
void RingBell();

// Overwrites memory that held keys (a typed password may be among them)
// before it is let go, in a way the compiler keeps.
void WipeMemory(void* data, size_t size);

// --- Between the session's own files ---

// Descriptors the session reads and writes; the crash handlers read them too.
inline constexpr int InFd = 0;
inline constexpr int OutFd = 1;

struct Session {
  std::mutex Mutex;  // see SessionMutex
  std::unique_ptr<model::Console> Console;
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

// Sets the program's modes, the viewport from the terminal's size, and
// repaints; the title the user had is saved first when saveTitle.
void TakeLocked(bool saveTitle);
// Gives the terminal back to the user; leaveScreen writes the last screen's
// text onto the normal screen (an orderly exit).  A terminal without an
// alternate screen shows that text already, on every way out: the cursor
// is put on the line below it instead.
// ending: the process ends next, so bytes the terminal does not take within
// a short time are handed to a process that waits for it.
void HandBackLocked(bool leaveScreen, bool ending = false);
// From a crash handler: no locks, no allocation.
void HandBackAsyncSafe();
// Re-reads the terminal's size and repaints what fits.
void ResizeLocked();

}  // namespace session
