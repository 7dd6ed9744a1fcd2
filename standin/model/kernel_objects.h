// Win32 kernel objects on the C++ standard library: events (auto- and
// manual-reset) and threads, addressed by HANDLE, and the pseudo handles of
// the console's buffers and of the process.
#pragma once

#include "win32/win32.h"

namespace model {

enum class ObjectKind { Event, Thread, ConsoleInput, ConsoleOutput };

// Fixed pseudo handles for the console's input and output buffers and for the
// current process (GetCurrentProcess returns -1 on Windows too).
HANDLE ConsoleInputHandle();
HANDLE ConsoleOutputHandle();
HANDLE CurrentProcessHandle();

HANDLE NewEvent(bool manualReset, bool initiallySignalled);
bool SignalEvent(HANDLE event);
// This thread works in passes (it sleeps or waits at the end of each): from
// now on, a thread sleeping on an event this thread signals is woken when
// this thread next ends a pass, as on one CPU where the signalling thread
// runs on until it blocks, and the wakes held so far are given now.  The
// event is signalled at once; only the wake-up waits.  So a thread that
// signals an event several times in a pass wakes its sleeper once.
void EndPass();
// WaitForSingleObject on an event or a thread: WAIT_OBJECT_0, WAIT_TIMEOUT or
// WAIT_FAILED for anything else.
DWORD WaitObject(HANDLE handle, DWORD milliseconds);

// CreateThread: the routine runs at once on a std::thread.  The stack size is
// a hint the standard library cannot honour; 16 KB would be too little for
// sanitizer builds anyway.
HANDLE StartThread(LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD* threadId);
// Waits for every thread started so far (tests); threads must be ending.
void JoinThreads();

}  // namespace model
