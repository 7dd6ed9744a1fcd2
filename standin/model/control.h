// The console's control handlers (SetConsoleCtrlHandler) and the delivery of
// a control event to them.  An end raises the events: the terminal's for
// Ctrl+C, Ctrl+\ and the signals that stand for the others, the tests' at
// will.
#pragma once

#include "win32/win32.h"

namespace model {

// SetConsoleCtrlHandler: adds or removes a handler; a null handler with add
// ignores Ctrl+C outright (and without, stops ignoring it).  False when the
// handler to remove was never added.
bool SetCtrlHandler(PHANDLER_ROUTINE handler, bool add);

// The Windows rule: handlers from the last registered on, until one returns
// TRUE.  False when no handler took the event (the process then ends).
bool DispatchCtrlEvent(DWORD event);

// Forgets every handler and the Ctrl+C switch (the test end, between cases).
void ClearCtrlHandlers();

}  // namespace model
