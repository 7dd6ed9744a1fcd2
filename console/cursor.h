// The layer's own cursor and CursorUpdater, the thread that moves the
// console's visible cursor after the fact: the writer only stores where the
// cursor is, and the thread applies it at most once per wake-up.
#pragma once

#include <atomic>
#include <cstdint>

#include "win32/win32.h"

// The updater's thread id while it runs, else one of the two states below.
extern std::atomic<int32_t> CursorUpdaterState;
constexpr int32_t CursorUpdaterAbsent = -1;    // not started, or ended
constexpr int32_t CursorUpdaterStopping = -2;  // asked to end after its next wake
extern HANDLE CursorEvent;

// The layer's cursor, 0-based; (-1, -1) until first read from the console.
// Published to the updater as one unit, never one new coordinate with one old.
struct CursorPosition {
  int32_t X;
  int32_t Y;
};
CursorPosition GetCursorPosition();

// The first time the layer needs its cursor: reads it from the console, starts
// the updater and registers the exit step that stops it.  Later calls do
// nothing.
void EnsureCursor();
// Where the console's cursor stood when it was first read, before it was
// brought into the area: the starting colours are read there.
COORD ConsoleCursorAtStart();
// Sets the layer's cursor (0-based) and has the console's follow.
void SetCursor(int32_t x, int32_t y);

// Stops the updater and forgets the cursor (test fixtures).
void ResetCursor();
