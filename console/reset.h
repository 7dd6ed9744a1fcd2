// The console services keep process-wide state, as a program's console does
// for its whole run.  The program never resets it; test fixtures do, between
// cases.
#pragma once

// Brings every piece of state of the console services back to how the
// process starts.
void ResetConsoleServices();
