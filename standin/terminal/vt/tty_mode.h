// The terminal mode the program runs in, derived from the user's.
#pragma once

#include <termios.h>

namespace vt {

// Non-canonical input without echo, one byte at a time (VMIN 1, VTIME 0):
// keys arrive as they are typed.  Signals stay on (ISIG), so Ctrl+C, Ctrl+Backslash
// and Ctrl+Z still reach the program as SIGINT, SIGQUIT and SIGTSTP; output
// flow control is off (IXON), so Ctrl+S and Ctrl+Q are keys; CR is not
// turned into LF, nor LF into CR; Ctrl+V and Ctrl+O lose their special
// meaning (IEXTEN).  Output processing is left as the user had it.
termios RawMode(const termios& user);

}  // namespace vt
