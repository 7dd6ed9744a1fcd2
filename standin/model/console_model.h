// A console screen buffer and input buffer with the semantics of the Win32
// console functions that Rousel uses, and the one console of the process.
// The stand-in's Win32 functions work on it; its terminal end shows it on a
// real terminal and fills its input queue, its test end inspects and fills
// it directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "win32/win32.h"

namespace model {

struct Cell {
  uint8_t Char = ' ';
  uint8_t Attr = 7;
  bool operator==(const Cell&) const = default;
};

// Inclusive rectangle in buffer cells, as SMALL_RECT is.
struct Rect {
  int Left = 0;
  int Top = 0;
  int Right = -1;
  int Bottom = -1;
  [[nodiscard]] bool Empty() const { return Left > Right || Top > Bottom; }
};

Rect Intersect(const Rect& a, const Rect& b);
Rect Union(const Rect& a, const Rect& b);

class ScreenBuffer {
 public:
  ScreenBuffer(int width, int height, Cell fill);

  [[nodiscard]] int Width() const { return width_; }
  [[nodiscard]] int Height() const { return height_; }
  [[nodiscard]] Rect Bounds() const { return {0, 0, width_ - 1, height_ - 1}; }
  [[nodiscard]] const Cell& At(int x, int y) const { return cells_[Index(x, y)]; }
  // Writing through this reference counts as a change of the cell.
  Cell& At(int x, int y) {
    MarkChanged(Rect{x, y, x, y});
    return cells_[Index(x, y)];
  }

  // The cells that may have changed since the last ClearChanged(), kept as
  // one span of columns per row, so that whoever shows the buffer visits a
  // second's few changed cells instead of the whole area.
  struct Span {
    int16_t Left = 0;
    int16_t Right = -1;  // empty when Left > Right
  };
  [[nodiscard]] int ChangedTop() const { return changedTop_; }
  [[nodiscard]] int ChangedBottom() const { return changedBottom_; }  // < top: nothing
  [[nodiscard]] const Span& ChangedIn(int y) const { return changed_[static_cast<size_t>(y)]; }
  void MarkChanged(const Rect& rect);
  void ClearChanged();

  // WriteConsoleOutputA: copies a rectangle of CHAR_INFO cells (the
  // character byte from AsciiChar, the low byte of Attributes) into the
  // buffer.  The region is clipped to the buffer and to what the source
  // holds from bufferCoord on; *region becomes the rectangle really written.
  // Returns false for a source origin outside the source buffer.
  bool WriteOutput(const CHAR_INFO* buffer, COORD bufferSize, COORD bufferCoord,
                   SMALL_RECT* region);

  // ScrollConsoleScreenBufferA: moves the cells of the scroll rectangle
  // (clipped to the buffer) so that its top left lands on destination; only
  // cells inside the clip rectangle (the whole buffer when null) change.
  // Cells of the scroll rectangle that the move leaves are filled with fill.
  // The destination may lie partly or wholly outside the buffer, a negative
  // row moving rows out of the top.  *touched (optional) receives the
  // rectangle of cells that may have changed.
  bool Scroll(const SMALL_RECT& scroll, const SMALL_RECT* clip, COORD destination,
              const CHAR_INFO& fill, Rect* touched = nullptr);

  // ReadConsoleOutputAttribute: up to n attributes from `at` on, going on to
  // the following rows, stopping at the end of the buffer.
  bool ReadAttributes(WORD* out, DWORD n, COORD at, DWORD* read) const;

  // One row's characters, trailing blanks cut (what a test compares).
  [[nodiscard]] std::string RowText(int y) const;

 private:
  [[nodiscard]] size_t Index(int x, int y) const {
    return static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x);
  }
  int width_;
  int height_;
  std::vector<Cell> cells_;
  std::vector<Span> changed_;
  int changedTop_ = 0;
  int changedBottom_ = -1;
};

// The rest of a console's state that the Win32 functions reach.
struct Console {
  Console(int width, int height, Cell fill)
      : Screen(width, height, fill), Window(Screen.Bounds()) {}
  ScreenBuffer Screen;
  COORD Cursor{0, 0};
  // The part of the buffer the console's window shows (srWindow): the whole
  // buffer, unless the window is given a smaller size (a terminal smaller
  // than the buffer).  A smaller window follows the cursor, shown or hidden:
  // it is the one nearest the buffer's top left corner that shows the
  // cursor's cell (WindowAround), so it goes back when the cursor does.
  Rect Window;
  CONSOLE_CURSOR_INFO CursorInfo{25, TRUE};
  std::string Title;
  std::deque<INPUT_RECORD> Input;

  // Consoles that differ from the Windows console's own: one that reports no
  // size, one whose input is not a console (a file or a pipe), and Wine's,
  // which refuses a scroll destination above the buffer.
  bool ReportsSize = true;
  bool InputIsConsole = true;
  bool RefusesDestinationAbove = false;

  // SetConsoleCursorPosition: false (and no move) outside the buffer; the
  // window follows the cursor.
  bool SetCursorPosition(COORD position);
  // The window's size, at least 1x1 and at most the buffer's; the window
  // then shows the cursor.
  void SetWindowSize(int columns, int rows);
  // SetConsoleCursorInfo: false for a size outside 1..100.
  bool SetCursorInfo(const CONSOLE_CURSOR_INFO& info);
  [[nodiscard]] CONSOLE_SCREEN_BUFFER_INFO Info() const;

 private:
  void FollowCursor();
};

// The window of columns x rows nearest the top left corner of the buffer
// that shows the cursor's cell (the cursor lies in the buffer, the window is
// no larger than it).
Rect WindowAround(COORD cursor, int columns, int rows);

// --- The console of the process ---

// Guards the console and what an end keeps about how it is shown.
std::mutex& ConsoleMutex();
// Makes `console` the console of the process: the terminal end opens it
// once, the test end anew for every case.  With ConsoleMutex held.
void OpenConsoleLocked(std::unique_ptr<Console> console);
// Whether a console is open; without the lock.
bool ConsoleIsOpen();
// The console, with ConsoleMutex held, once one is open.  A cursor move
// published without the lock is applied first.
Console& ConsoleLocked();
// Moves the console's cursor without the lock, to a position inside the
// buffer.  The program draws with its cursor hidden, moving it several times
// a pass, and its cursor thread moves it between passes: a move nothing
// shows need not wait for whoever is drawing.
void PublishCursor(COORD position);
// The buffer's size, whether the cursor is shown, and whether a cursor
// moved to a position leaves the window where ConsoleLocked() and
// SetWindowSizeLocked() last put it, without the lock: a hidden cursor's
// move needs the lock only when the window has to follow it.
COORD ConsoleSize();
bool CursorShown();
bool WindowStays(COORD position);
// Console::SetWindowSize on the console (the terminal's size changed).
void SetWindowSizeLocked(int columns, int rows);
// SetConsoleCursorInfo on the console: false for a size outside 1..100.
bool SetCursorInfoLocked(const CONSOLE_CURSOR_INFO& info);

// Builds a key record the way the Windows console reports one.
INPUT_RECORD KeyRecord(bool down, WORD virtualKey, WORD scanCode, uint8_t ch, DWORD controlState,
                       WORD repeat = 1);

}  // namespace model
