// Console control handlers (SetConsoleCtrlHandler) and the events the
// terminal's signals stand for.
#pragma once

#include "console/win32.h"

namespace session {

bool SetCtrlHandler(PHANDLER_ROUTINE handler, bool add);

// The Windows rule: handlers from the last registered on, until one returns
// TRUE; Ctrl+C is ignored outright after SetConsoleCtrlHandler(NULL, TRUE).
// False when no handler took the event (the process then ends).
bool DispatchCtrlEvent(DWORD event);

}  // namespace session
