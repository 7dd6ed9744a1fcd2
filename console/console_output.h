// Text console output and process services: a grid of cells written straight
// into the console screen buffer, a current attribute, a cursor the layer
// keeps itself (moved on the console by the CursorUpdater thread), the
// platform family, and the orderly end of the process with its exit handlers.
// Columns and rows are 1-based in every operation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "win32/win32.h"

// Attribute of every cell written, blanked or scrolled in.
extern uint8_t TextAttr;
// Size of the console area, fixed by InitConsole (rows cut to 234).
extern int16_t ScreenWidth;
extern int16_t ScreenHeight;
// Standard handles, taken once by InitConsole.
extern HANDLE OutputHandle;
extern HANDLE InputHandle;
// The updater's thread id while it runs, else one of the two states below.
extern std::atomic<int32_t> CursorUpdaterState;
constexpr int32_t CursorUpdaterAbsent = -1;    // not started, or ended
constexpr int32_t CursorUpdaterStopping = -2;  // asked to end after its next wake
extern HANDLE CursorEvent;
extern uint16_t SavedCursorShape;

// The largest console area the layer works on; a larger buffer is cut.
constexpr int16_t MaxScreenWidth = 256;
constexpr int16_t MaxScreenHeight = 234;
constexpr int MaxRunLength = 256;

// The layer's cursor, 0-based; (-1, -1) until first read from the console.
// Published to the updater as one unit, never one new coordinate with one old.
struct CursorPosition {
  int32_t X;
  int32_t Y;
};
CursorPosition GetCursorPosition();

void InitConsole();
void TextColor(uint8_t color);
void GotoXY(uint8_t x, uint8_t y);
uint8_t WhereX();
uint8_t WhereY();
void ClrScr();
void ClrEol();
// The one writer of the application's text: interprets 7, 8, 10 and 13;
// every other byte is a glyph.
void ConsoleWrite(const uint8_t* bytes, size_t count);
// One WriteConsoleOutputA of n cells (1..256) at 0-based column and row.
void WriteCells(const uint8_t* run, size_t n, int column, int row, uint8_t attribute);
void ScrollUp(int rows);
void HideCursor();
void RestoreCursor();
uint32_t GetPlatform();

using ExitHandler = void (*)();
void AddExitHandler(ExitHandler handler);
[[noreturn]] void EndProcess(uint32_t code);

// The standard output's own exit step: registered first, before InitConsole,
// so that it runs last and writes out what is still buffered.
void InitStandardOutput();

// Brings every piece of state of the console services back to how the
// process starts.  The program never calls it; test fixtures do, between
// cases, since the services are process-wide.
void ResetConsoleServices();
