// The ways out of the program, each of which gives the terminal back.
#pragma once

namespace session {

// Registers a step to run once on every orderly way out: ExitProcess, a
// signal or control event that ends the program, exit(), the terminal going
// away.  Steps run last registered first, before the terminal is handed
// back, and never from a crash handler.  Room for eight; more are ignored.
// Together they get 0.6 s; the way out goes on without those not done.
void AtTerminalExit(void (*step)());

// ExitProcess: exit steps, the terminal handed back with the last screen's
// text left on the normal screen, stdio flushed, _exit(code).
[[noreturn]] void EndProcess(unsigned code);

// A signal that ends the program: exit steps, the terminal handed back, then
// the process dies of the signal itself, so the shell sees 128 + sig.
[[noreturn]] void EndBySignal(int sig);

// The terminal went away: exit steps, then status 129 (as after SIGHUP).
[[noreturn]] void EndTerminalGone();

// For atexit(): exit() and a return from main hand the terminal back too.
void AtExitHandBack();

}  // namespace session
