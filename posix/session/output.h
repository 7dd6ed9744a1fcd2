// Writing to the terminal.
#pragma once

#include <cstddef>
#include <string_view>

namespace session {

// Writes everything, retrying after EINTR and waiting out a descriptor some
// other program left non-blocking; gives up on any other error (the terminal
// has gone, and the input side notices).  Async-signal-safe.
void WriteAll(int fd, const char* data, size_t size);

// Sends bytes to the terminal.
void Send(std::string_view bytes);

}  // namespace session
