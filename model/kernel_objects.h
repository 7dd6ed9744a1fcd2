// Win32 kernel objects on the C++ standard library: events (auto- and
// manual-reset) and threads, addressed by HANDLE.  Shared by the terminal
// stand-in and the tests' in-memory console.  The console handles themselves
// are backend-specific; KindOf() tells them apart from these objects.
#pragma once

#include "console/win32.h"

namespace model {

enum class ObjectKind { Unknown, Event, Thread, ConsoleInput, ConsoleOutput, Process };

// Fixed pseudo handles for the console's input and output buffers and for the
// current process (GetCurrentProcess returns -1 on Windows too).
HANDLE ConsoleInputHandle();
HANDLE ConsoleOutputHandle();
HANDLE CurrentProcessHandle();

ObjectKind KindOf(HANDLE handle);

HANDLE NewEvent(bool manualReset, bool initiallySignalled);
bool SignalEvent(HANDLE event);
// From now on, a thread sleeping on an event this thread signals is woken
// when this thread next waits or sleeps (ReleaseWakes), as on one CPU where
// the signalling thread runs on until it blocks: the several cursor moves of
// one redraw then wake the console layer's cursor thread once.  The event is
// signalled at once; only the wake-up waits.
void DeferWakesOnThisThread();
// Wakes the sleepers of the events this thread signalled; every wait of this
// thread does it first.
void ReleaseWakes();
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
