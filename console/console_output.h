// Text console output: a grid of cells written straight into the console
// screen buffer, a current attribute, a cursor the layer keeps itself (see
// cursor.h), the cursor's shape, and InitConsole, which brings the console
// services up.  Columns and rows are 1-based in every operation.
#pragma once

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
extern uint16_t SavedCursorShape;

// The largest console area the layer works on; a larger buffer is cut.
constexpr int16_t MaxScreenWidth = 256;
constexpr int16_t MaxScreenHeight = 234;
constexpr int MaxRunLength = 256;

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

// Brings the output's state back to how the process starts (test fixtures;
// see reset.h).
void ResetConsoleOutput();
