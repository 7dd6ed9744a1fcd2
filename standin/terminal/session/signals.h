// The signals a terminal program lives with: Ctrl+C and Ctrl+\ as console
// control events, SIGTERM and SIGHUP, job control (Ctrl+Z, fg, bg),
// resizing, and the crashes after which the terminal must still be usable.
#pragma once

namespace session {

// Blocks the handled signals for every thread started later and starts the
// thread that takes them with sigwait; installs the crash handlers, the
// terminate handler and the atexit step.  Call once, before any other thread
// of the session exists.
void StartSignalHandling();

}  // namespace session
