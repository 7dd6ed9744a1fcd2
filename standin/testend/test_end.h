// The stand-in's test end: the tests link it instead of the terminal end, and
// the Win32 functions the program calls are then the very ones it ships
// with, on a console a test sets up and looks at.  It gives them scripted
// input records, a virtual clock that Sleep, Beep and the waits advance, a
// chosen platform family and keyboard code page, and keeps a log of the calls
// a test may want to see, the hold on the system's sleep among them
// ("StayAwake Alarm at 07:30", "AllowSleep").  ExitProcess throws
// ProcessExit, and a wait that could never end throws InputExhausted, so a
// test can run the program's endless loops and look at what they left on the
// screen.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "standin/model/console_model.h"
#include "win32/win32.h"

namespace testend {

struct Options {
  int Width = 80;
  int Height = 25;
  model::Cell Fill{' ', 7};
  COORD Cursor{0, 0};
  CONSOLE_CURSOR_INFO CursorInfo{25, TRUE};
  // The console window's size; 0: the whole buffer.
  int WindowColumns = 0;
  int WindowRows = 0;
  DWORD Platform = VER_PLATFORM_WIN32_NT;
  // The keyboard code page GetKBCodePage reports; -1: user32 has no such
  // function.
  int KeyboardCodePage = 866;
  // kernel32 has SetThreadExecutionState and the waitable timers; false: it
  // has not (Windows 95, NT 3.51).
  bool PowerFunctions = true;
  // CreateThread really starts threads; off, it fails, and the console
  // services then move the cursor at once (deterministic call logs).
  bool Threads = false;
  // ScrollConsoleScreenBufferA fails for a destination above the buffer, as
  // Wine's console does.
  bool RefuseDestinationAboveBuffer = false;
  // Standard input is not a console (a file or a pipe): the console input
  // functions fail on it.
  bool InputIsNotAConsole = false;
  // Local time at virtual millisecond 0.
  int Hour = 12;
  int Minute = 0;
  int Second = 0;
  // How far that local time is ahead of UTC, in minutes.
  int UtcOffsetMinutes = 0;
};

// Thrown by ExitProcess.
struct ProcessExit {
  UINT Code;
};
// Thrown when the program waits for input that no script will ever bring, or
// when the virtual clock passes the limit set with StopAt.
struct InputExhausted {};

// A fresh console and clock for a case, the speaker gate (port 0x61) off.
// The console services keep state of their own (ResetConsoleServices).
void Reset(const Options& options = {});
// The console (its title is the last one set); the test's thread may look at
// it while no other thread runs.
model::Console& Console();

// --- Input -----------------------------------------------------------------
void PushRecord(const INPUT_RECORD& record);
// Press and release of one key.
void PushKey(WORD virtualKey, WORD scanCode, uint8_t ch, DWORD controlState = 0);
// Each byte as a key that types it.  The console layer reads only the
// character of a key that has one (its scan code and state count for keys
// without one), so the key is not named.
void TypeBytes(std::string_view bytes);
void PushAltX();
// Records that arrive when the virtual clock reaches atMs.
void PushAt(uint64_t atMs, std::function<void()> push);

// --- Clock -----------------------------------------------------------------
uint64_t NowMs();
// Moves the local time (not the elapsed time) by deltaMs, as a clock step does.
void StepClock(int64_t deltaMs);
// Sleep and the waits throw InputExhausted once the virtual clock reaches ms.
void StopAt(uint64_t ms);

// --- What the program did ----------------------------------------------------
// The noted calls as "Name 1,2,3" (a title after the name), the port
// accesses as "in 97" and "out 97,3", and what reached the end: the class
// taken ("Priority 64") and the hold on the system's sleep ("StayAwake Alarm
// at 07:30", "AllowSleep").
const std::vector<std::string>& Calls();
void ClearCalls();
// Calls whose log line starts with one of the prefixes, in their order.
std::vector<std::string> CallsStarting(std::initializer_list<std::string_view> prefixes);
struct Tone {
  DWORD Frequency;
  DWORD Duration;
  uint64_t AtMs;
};
const std::vector<Tone>& Beeps();
int MessageBeeps();
// Every title set, in order.
const std::vector<std::string>& Titles();
// What the end was told: the screen changed (cells, cursor or its shape),
// the title changed, a change is to be shown at once.
struct Told {
  int Changes;
  int Titles;
  int Shows;
  bool operator==(const Told&) const = default;
};
Told ToldEnd();

// Screen helpers: row text (1-based row, trailing blanks cut) and the
// attribute at a 1-based column and row.
std::string Row(int row);
uint8_t AttrAt(int column, int row);

}  // namespace testend
