// The terminal session of the POSIX stand-in, as the rest of the stand-in
// (the sound) reaches it.  The Win32 console functions take the terminal
// over on the first GetStdHandle; everything here is safe to call before
// that and from any thread.
#pragma once

namespace term {

// Takes the terminal over, once: checks that standard input and output are a
// terminal (otherwise one line on standard error and exit status 1, nothing
// touched), then non-canonical mode, the alternate screen, the signal
// handling.  Later calls do nothing.
void StartTerminal();

// Whether the program holds the terminal at the moment (not before the start,
// not while stopped by job control, not after it was handed back).
bool TerminalActive();

// Rings the terminal bell (BEL) through the shared writer; does nothing while
// the program does not hold the terminal.
void RingBell();

// Registers a step to run once on every orderly way out: ExitProcess, a
// signal or control event that ends the program, exit(), the terminal going
// away.  Steps run last registered first, before the terminal is handed
// back, and never from a crash handler.  Room for eight; more are ignored.
void AtTerminalExit(void (*step)());

}  // namespace term
