// The two words a console user tries before anything else.  Only the first
// argument counts, and only when it is exactly "--help" or "--version"; any
// other argument is ignored, as the program always has.
#pragma once

#include <cstdio>

// Writes the answer to the first argument to out and returns the exit
// status for it: 0, or 1 when the answer could not be written.  Returns -1,
// writing nothing, when there is nothing to answer.  It runs before the
// console is set up, so that an answer leaves the terminal alone.
int AnswerCommandLine(int argc, const char* const* argv, std::FILE* out);
