#include "console/console_output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/cursor.h"
#include "console/keyboard.h"
#include "console/process.h"

// Light grey on black: the colours a console that shows no cells (0 by 0)
// keeps, since there are none under its cursor to read.
constexpr uint8_t StartAttr = 7;

uint8_t TextAttr = StartAttr;
int16_t ScreenWidth = 0;
int16_t ScreenHeight = 0;
HANDLE OutputHandle = nullptr;
HANDLE InputHandle = nullptr;
uint16_t SavedCursorShape = 0;

namespace {

// The console cursor's shape as a scan-line pair of an 8-line cell.
struct ShapePair {
  int Start;
  int End;
  bool Visible;
};

ShapePair ReadShape() {
  CONSOLE_CURSOR_INFO info{};
  GetConsoleCursorInfo(OutputHandle, &info);
  const bool thin = info.dwSize <= 25;
  return ShapePair{thin ? 6 : 1, 7, info.bVisible != FALSE};
}

void SetShape(int start, int end) {
  const bool hidden = std::abs(start) > std::abs(end) && (start & 32) != 0;
  const int spread = std::abs(start - end);
  CONSOLE_CURSOR_INFO info{};
  info.dwSize = spread <= 1 ? 15 : 99;
  info.bVisible = hidden ? FALSE : TRUE;
  SetConsoleCursorInfo(OutputHandle, &info);
}

}  // namespace

void InitConsole() {
  InputHandle = GetStdHandle(STD_INPUT_HANDLE);
  OutputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  InitKeyboard();

  // Without a console on both sides nothing could be shown or read, and
  // waiting on an input handle that is not a console returns at once, so
  // ReadKey would spin: say so and stop.
  CONSOLE_SCREEN_BUFFER_INFO info{};
  DWORD waiting = 0;
  if (GetConsoleScreenBufferInfo(OutputHandle, &info) == FALSE ||
      GetNumberOfConsoleInputEvents(InputHandle, &waiting) == FALSE) {
    std::fputs("rousel: standard input and output must be a terminal\n", stderr);
    ExitProcess(1);
  }
  ScreenWidth = std::min<int16_t>(info.dwSize.X, MaxScreenWidth);
  ScreenHeight = std::min<int16_t>(info.dwSize.Y, MaxScreenHeight);
  // A console that reports no size still gets a usable area.
  if (ScreenWidth <= 0) ScreenWidth = 80;
  if (ScreenHeight <= 0) ScreenHeight = 25;

  EnsureCursor();

  // The colours that stand where the console's cursor is, even below the
  // 234 rows the layer works on (Windows 10 keeps 9001).
  WORD attribute = 0;
  DWORD read = 0;
  if (ReadConsoleOutputAttribute(OutputHandle, &attribute, 1, ConsoleCursorAtStart(), &read) !=
          FALSE &&
      read == 1) {
    TextAttr = static_cast<uint8_t>(attribute & 0xFF);
  }

  BindStandardOutput();

  SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
}

void TextColor(uint8_t color) {
  if (color > 15) color = static_cast<uint8_t>((color & 15) | 128);
  TextAttr = static_cast<uint8_t>((TextAttr & 112) | color);
}

void GotoXY(uint8_t x, uint8_t y) {
  if (x >= 1 && y >= 1 && x <= ScreenWidth && y <= ScreenHeight) {
    EnsureCursor();
    SetCursor(x - 1, y - 1);
  }
}

uint8_t WhereX() {
  EnsureCursor();
  return static_cast<uint8_t>(GetCursorPosition().X + 1);
}

uint8_t WhereY() {
  EnsureCursor();
  return static_cast<uint8_t>(GetCursorPosition().Y + 1);
}

void WriteCells(const uint8_t* run, size_t n, int column, int row, uint8_t attribute) {
  if (n == 0) return;
  n = std::min<size_t>(n, MaxRunLength);
  CHAR_INFO cells[MaxRunLength];
  for (size_t i = 0; i < n; ++i) {
    cells[i].Char.UnicodeChar = static_cast<WCHAR>(run[i]);
    cells[i].Attributes = attribute;
  }
  SMALL_RECT region{static_cast<SHORT>(column), static_cast<SHORT>(row),
                    static_cast<SHORT>(column + static_cast<int>(n) - 1), static_cast<SHORT>(row)};
  WriteConsoleOutputA(OutputHandle, cells, COORD{static_cast<SHORT>(n), 1}, COORD{0, 0}, &region);
}

void ScrollUp(int rows) {
  if (rows <= 0) return;
  const SMALL_RECT area{0, 0, static_cast<SHORT>(ScreenWidth - 1),
                        static_cast<SHORT>(ScreenHeight - 1)};
  CHAR_INFO fill{};
  fill.Char.UnicodeChar = u' ';
  fill.Attributes = TextAttr;
  const auto move = [&](int k) {
    if (ScrollConsoleScreenBufferA(OutputHandle, &area, &area, COORD{0, static_cast<SHORT>(-k)},
                                   &fill) != FALSE) {
      return;
    }
    // Some consoles (Wine's) refuse a destination above the buffer with
    // ERROR_INVALID_PARAMETER.  The same move in a form they take: rows k
    // and below to the top, then the k rows below them blanked.  The move's
    // fill is not enough: it covers only the rows nothing was moved onto, so
    // when more than half the area moves, the rows between would stay.
    if (k < ScreenHeight) {
      const SMALL_RECT below{0, static_cast<SHORT>(k), static_cast<SHORT>(ScreenWidth - 1),
                             static_cast<SHORT>(ScreenHeight - 1)};
      ScrollConsoleScreenBufferA(OutputHandle, &below, &area, COORD{0, 0}, &fill);
    }
    uint8_t blanks[MaxRunLength];
    std::memset(blanks, ' ', sizeof blanks);
    for (int row = std::max(ScreenHeight - k, 0); row < ScreenHeight; ++row)
      WriteCells(blanks, static_cast<size_t>(ScreenWidth), 0, row, TextAttr);
  };
  if (GetPlatform() == VER_PLATFORM_WIN32_NT) {
    move(rows);
    return;
  }
  // Windows 95 family consoles are moved in halves and a last single row.
  if (rows > 1) {
    move(rows / 2);
    move(rows / 2);
  }
  if (rows % 2 == 1) move(1);
}

void ClrScr() {
  ScrollUp(ScreenHeight);
  GotoXY(1, 1);
}

void ClrEol() {
  EnsureCursor();
  const CursorPosition at = GetCursorPosition();
  const int count = std::clamp(ScreenWidth - at.X, 0, MaxRunLength);
  uint8_t blanks[MaxRunLength];
  std::memset(blanks, ' ', sizeof blanks);
  WriteCells(blanks, static_cast<size_t>(count), at.X, at.Y, TextAttr);
}

void ConsoleWrite(const uint8_t* bytes, size_t count) {
  EnsureCursor();
  const CursorPosition start = GetCursorPosition();
  int column = start.X;
  int row = start.Y;
  uint8_t run[MaxRunLength];
  size_t runLength = 0;
  int runColumn = column;
  int runRow = row;

  const auto flush = [&] {
    if (runLength > 0) WriteCells(run, runLength, runColumn, runRow, TextAttr);
    runLength = 0;
  };
  const auto nextRow = [&] {
    if (row < ScreenHeight - 1) {
      ++row;
    } else {
      ScrollUp(1);
      row = ScreenHeight - 1;
    }
  };

  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    switch (byte) {
      case 7:
        MessageBeep(0);
        break;
      case 8:
        flush();
        if (column > 0) --column;
        break;
      case 10:
        flush();
        nextRow();
        break;
      case 13:
        flush();
        column = 0;
        break;
      default:
        if (runLength == 0) {
          runColumn = column;
          runRow = row;
        }
        run[runLength++] = byte;
        ++column;
        if (column > ScreenWidth - 1) {
          // The wrap is immediate: after the last column the cursor already
          // stands at the start of the next row.
          flush();
          column = 0;
          nextRow();
        } else if (runLength == MaxRunLength) {
          flush();
        }
        break;
    }
  }
  flush();
  SetCursor(column, row);
}

void HideCursor() {
  const ShapePair shape = ReadShape();
  if (shape.Visible) SavedCursorShape = static_cast<uint16_t>(shape.Start * 256 + shape.End);
  SetShape(32, 0);
}

void RestoreCursor() {
  const ShapePair shape = ReadShape();
  if (!shape.Visible) SetShape(SavedCursorShape / 256, SavedCursorShape % 256);
}

void ResetConsoleOutput() {
  TextAttr = StartAttr;
  ScreenWidth = 0;
  ScreenHeight = 0;
  OutputHandle = nullptr;
  InputHandle = nullptr;
  SavedCursorShape = 0;
}
