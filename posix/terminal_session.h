// Inside the terminal stand-in: the session that the Win32 console functions
// work through.  One mutex guards the console model, the renderer and every
// write to the terminal, so the cursor thread and the program's thread never
// interleave their bytes.
#pragma once

#include <cstddef>
#include <mutex>
#include <string_view>

#include "console/win32.h"
#include "model/console_model.h"

namespace term {

std::mutex& SessionMutex();
// SetConsoleCursorPosition: false outside the console.  Takes the session
// lock only while the cursor is shown.
bool MoveCursor(COORD position);
// Whether the cursor is shown, after SetConsoleCursorInfo changed the model.
void NoteCursorShownLocked(bool shown);
// The console model; only with SessionMutex held, after StartTerminal.
model::Console& ConsoleLocked();
// Sends the terminal what changed in the model, with one write(); nothing
// while the program does not hold the terminal.
void RenderLocked();
// Sets the model's title and sends it (OSC 2).
void SetTitleLocked(std::string_view title);

// WaitForSingleObject on the console input: WAIT_OBJECT_0 as soon as the
// input queue holds a record, WAIT_TIMEOUT after the given milliseconds
// (INFINITE: never).  A thread of the terminal session reads the keys as they
// arrive and ends the program when the terminal goes away.
DWORD WaitForInput(DWORD milliseconds);

// Console control handlers (SetConsoleCtrlHandler).
bool SetCtrlHandler(PHANDLER_ROUTINE handler, bool add);

// ExitProcess: exit steps, the terminal handed back with the last screen's
// text left on the normal screen, stdio flushed, _exit(code).
[[noreturn]] void EndProcess(unsigned code);

}  // namespace term
