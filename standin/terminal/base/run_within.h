// Work that may hang (a sound device stuck in the kernel, a hung sound
// server) run with a deadline, so that it cannot hold up a key, a tone or the
// way out.
#pragma once

#include <chrono>
#include <functional>

namespace base {

// Runs work on a thread of its own and waits for it at most `limit`; false
// when it has not finished by then (it goes on, unwaited for, and must only
// touch what outlives the wait).  Without a thread to spare the work runs
// here, without a limit.
bool RunWithin(std::chrono::milliseconds limit, std::function<void()> work);

}  // namespace base
