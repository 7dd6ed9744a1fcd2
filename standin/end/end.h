// What an end of the stand-in provides.  The Win32 functions (standin/) are
// written once, over the console model; what differs between running on a
// terminal and running under a test is below this line, and each end defines
// every function here: the terminal end (standin/terminal/end.cpp) for the
// program, the test end (standin/testend/) for the unit tests.  The link
// picks one, as it picks kernel32 on Windows.
//
// "Locked" functions are called with model::ConsoleMutex() held and must not
// take it; every other one is called without it.
#pragma once

#include <initializer_list>
#include <string_view>

#include "win32/win32.h"

namespace standin::end {

// The console exists: the end has opened it (model::OpenConsole) or opens it
// now.  False when there is none (no terminal): the console functions then
// fail, as on Windows without a console.  Called by every console function;
// cheap after the first time.
bool Open();

// What GetVersionExA and GetKBCodePage report.
struct System {
  DWORD Platform = VER_PLATFORM_WIN32_NT;
  DWORD Major = 10;
  DWORD Minor = 0;
  DWORD Build = 0;
  UINT KeyboardCodePage = 866;
  bool HasGetKBCodePage = true;  // false: user32 lacks the function
  // false: kernel32 lacks SetThreadExecutionState and the waitable timers
  bool HasPowerFunctions = true;
};
System SystemInfo();

// The model's cells, cursor or cursor shape changed.  The end may show the
// change later, at the latest when the thread that made it sleeps or waits.
void ChangedLocked();
// The model's title changed.
void TitleChangedLocked();
// Shows what changed now (a visible cursor was moved off the program's
// passes, by the console layer's cursor thread).
void Show();
// A thread other than the program's is about to wait: a change that has
// waited long enough is shown.
void ShowWhenDue();

// Puts input that is due by now into the console's input queue (the test
// end's scripted records; the terminal's reader thread needs no call).
void DeliverInput();
// Shows what changed, then waits until the input queue holds a record
// (WAIT_OBJECT_0) or `milliseconds` pass (WAIT_TIMEOUT; INFINITE: no limit).
DWORD WaitForInput(DWORD milliseconds);
// Shows what changed, then lets `milliseconds` pass.
void Sleep(DWORD milliseconds);
// The local time of day now.
void LocalTime(SYSTEMTIME* time);
// How far the local time is ahead of UTC now, in minutes (summer time
// included): what turns a local file time into a UTC one and back.
int UtcOffsetMinutes();

// A tone of `frequency` hertz (37..32767) for `milliseconds` (above 0);
// returns when that has passed.
void Tone(DWORD frequency, DWORD milliseconds);
// The default system sound (the byte 7); returns at once.
void Bell();
// The process's priority class, one of the three the program uses.
bool SetPriority(DWORD priorityClass);
// The system must not go to sleep, for `why` ("Alarm at 07:30": the local
// time of the pending wake timer), until AllowSleep.  Asked again, perhaps
// for another reason, while it holds.  Returns at once: the program's thread
// asks between two of its passes.
void StayAwake(std::string_view why);
// The system may sleep again.
void AllowSleep();
// Whether CreateThread may start a thread (the test end may forbid it, so
// that the console layer moves the cursor itself).
bool ThreadsAllowed();
// Ends the process with `code` after the end's own ways out.
[[noreturn]] void Exit(UINT code);

// A call worth seeing in a test's log: its name and up to six numbers (the
// region written, the scroll rectangle and destination, the cursor, ...),
// or a text (the title).  The terminal end ignores it.
struct Call {
  Call(const char* name, std::initializer_list<int> values, std::string_view text = {})
      : Name(name), Text(text) {
    for (const int value : values)
      if (Count < 6) Values[Count++] = value;
  }
  const char* Name;
  int Values[6] = {};
  int Count = 0;
  std::string_view Text;
};
void Note(const Call& call);

}  // namespace standin::end
