// How the C library's allocator serves the program's threads.
#pragma once

namespace base {

// One heap for every thread.  glibc gives each thread that allocates an
// arena of its own (a 64 MiB reservation, a few pages of it written) so that
// threads allocating at once do not wait for each other; the program's
// threads allocate a few times a second at most, and the extra arenas are
// only memory.  Called before the first thread starts.  Where the C library
// has no such arenas it does nothing.
void UseOneHeap();

}  // namespace base
