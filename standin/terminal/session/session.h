// The terminal session: the one terminal the terminal end works on, taken
// over at the first console call and handed back on every way out.  This is
// what the rest of the terminal end uses; state.h is the session's own.
#pragma once

#include <cstdint>

#include "win32/win32.h"

namespace session {

// Takes the terminal over, once: opens the console (model::OpenConsoleLocked)
// with the terminal's size, sets non-canonical mode and the alternate screen,
// the signal handling and the key reader.  False, with nothing touched, when
// standard input or output is no terminal, or the terminal cannot show a
// screen (TERM=dumb).  Later calls only answer.  Safe from any thread.
bool StartTerminal();

// Notes that the console changed (with model::ConsoleMutex held): the change
// is sent at the end of the pass (Present), or by another thread's
// PresentWhenDue once it has waited long.
void ChangedLocked();
// The console's title changed (with the lock held): it is sent (OSC 2).
void TitleChangedLocked();
// Sends what changed, once per pass of the program: called when a thread
// goes to sleep or waits.  Takes the console lock only when something
// changed; writes after letting go of it.
void Present();
// Present, when a change has waited longer than a redraw ever takes (other
// threads' waits: nothing stays unsent while the program is busy).
void PresentWhenDue();

// Rings the terminal bell (BEL); nothing while the program does not hold the
// terminal.
void RingBell();

// Called, async-signal-safely, when the program is about to stop for job
// control and after a crash: whatever goes on sounding by itself (the PC
// speaker) must be silenced then.  One function; set once at the start.
void SetSilencer(void (*silence)() noexcept);

}  // namespace session
