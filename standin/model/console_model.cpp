#include "standin/model/console_model.h"

#include <algorithm>

namespace model {

Rect Intersect(const Rect& a, const Rect& b) {
  return {std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
          std::min(a.Bottom, b.Bottom)};
}

Rect Union(const Rect& a, const Rect& b) {
  if (a.Empty()) return b;
  if (b.Empty()) return a;
  return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
          std::max(a.Bottom, b.Bottom)};
}

namespace {
Rect FromSmall(const SMALL_RECT& r) {
  return {r.Left, r.Top, r.Right, r.Bottom};
}
}  // namespace

ScreenBuffer::ScreenBuffer(int width, int height, Cell fill)
    : width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      cells_(static_cast<size_t>(width_) * static_cast<size_t>(height_), fill),
      changed_(static_cast<size_t>(height_)) {
  MarkChanged(Bounds());
}

void ScreenBuffer::MarkChanged(const Rect& rect) {
  const Rect r = Intersect(rect, Bounds());
  if (r.Empty()) return;
  for (int y = r.Top; y <= r.Bottom; ++y) {
    Span& span = changed_[static_cast<size_t>(y)];
    if (span.Left > span.Right) {
      span = Span{static_cast<int16_t>(r.Left), static_cast<int16_t>(r.Right)};
    } else {
      span.Left = static_cast<int16_t>(std::min<int>(span.Left, r.Left));
      span.Right = static_cast<int16_t>(std::max<int>(span.Right, r.Right));
    }
  }
  if (changedTop_ > changedBottom_) {
    changedTop_ = r.Top;
    changedBottom_ = r.Bottom;
  } else {
    changedTop_ = std::min(changedTop_, r.Top);
    changedBottom_ = std::max(changedBottom_, r.Bottom);
  }
}

void ScreenBuffer::ClearChanged() {
  for (int y = changedTop_; y <= changedBottom_; ++y) changed_[static_cast<size_t>(y)] = Span{};
  changedTop_ = 0;
  changedBottom_ = -1;
}

bool ScreenBuffer::WriteOutput(const CHAR_INFO* buffer, COORD bufferSize, COORD bufferCoord,
                               SMALL_RECT* region) {
  if (buffer == nullptr || region == nullptr) return false;
  if (bufferCoord.X < 0 || bufferCoord.Y < 0 || bufferCoord.X >= bufferSize.X ||
      bufferCoord.Y >= bufferSize.Y) {
    return false;
  }
  Rect want = FromSmall(*region);
  // The source holds no more than bufferSize - bufferCoord cells each way.
  want.Right = std::min(want.Right, want.Left + (bufferSize.X - bufferCoord.X) - 1);
  want.Bottom = std::min(want.Bottom, want.Top + (bufferSize.Y - bufferCoord.Y) - 1);
  const Rect done = Intersect(want, Bounds());
  if (done.Empty()) {
    region->Right = static_cast<SHORT>(region->Left - 1);
    region->Bottom = static_cast<SHORT>(region->Top - 1);
    return true;
  }
  for (int y = done.Top; y <= done.Bottom; ++y) {
    for (int x = done.Left; x <= done.Right; ++x) {
      const int sx = bufferCoord.X + (x - want.Left);
      const int sy = bufferCoord.Y + (y - want.Top);
      const CHAR_INFO& src = buffer[static_cast<size_t>(sy) * static_cast<size_t>(bufferSize.X) +
                                    static_cast<size_t>(sx)];
      cells_[Index(x, y)] = Cell{static_cast<uint8_t>(src.Char.AsciiChar),
                                 static_cast<uint8_t>(src.Attributes & 0xFF)};
    }
  }
  MarkChanged(done);
  *region = SMALL_RECT{static_cast<SHORT>(done.Left), static_cast<SHORT>(done.Top),
                       static_cast<SHORT>(done.Right), static_cast<SHORT>(done.Bottom)};
  return true;
}

bool ScreenBuffer::Scroll(const SMALL_RECT& scroll, const SMALL_RECT* clip, COORD destination,
                          const CHAR_INFO& fill, Rect* touched) {
  const Rect asked = FromSmall(scroll);
  const Rect source = Intersect(asked, Bounds());
  if (touched != nullptr) *touched = Rect{};
  if (source.Empty()) return false;
  // Clipping the source moves the destination by the same amount.
  const int destLeft = destination.X + (source.Left - asked.Left);
  const int destTop = destination.Y + (source.Top - asked.Top);
  const Rect clipRect = clip != nullptr ? Intersect(FromSmall(*clip), Bounds()) : Bounds();
  if (clipRect.Empty()) return true;

  std::vector<Cell> moved;
  moved.reserve(static_cast<size_t>(source.Right - source.Left + 1) *
                static_cast<size_t>(source.Bottom - source.Top + 1));
  for (int y = source.Top; y <= source.Bottom; ++y)
    for (int x = source.Left; x <= source.Right; ++x) moved.push_back(cells_[Index(x, y)]);

  const Cell fillCell{static_cast<uint8_t>(fill.Char.AsciiChar),
                      static_cast<uint8_t>(fill.Attributes & 0xFF)};
  const Rect filled = Intersect(source, clipRect);
  for (int y = filled.Top; y <= filled.Bottom; ++y)
    for (int x = filled.Left; x <= filled.Right; ++x) cells_[Index(x, y)] = fillCell;

  const Rect dest{destLeft, destTop, destLeft + (source.Right - source.Left),
                  destTop + (source.Bottom - source.Top)};
  const Rect written = Intersect(dest, clipRect);
  const int sourceWidth = source.Right - source.Left + 1;
  for (int y = written.Top; y <= written.Bottom; ++y) {
    for (int x = written.Left; x <= written.Right; ++x) {
      const int sx = x - destLeft;
      const int sy = y - destTop;
      cells_[Index(x, y)] = moved[static_cast<size_t>(sy) * static_cast<size_t>(sourceWidth) +
                                  static_cast<size_t>(sx)];
    }
  }
  MarkChanged(filled);
  MarkChanged(written);
  if (touched != nullptr) *touched = Union(filled, written);
  return true;
}

bool ScreenBuffer::ReadAttributes(WORD* out, DWORD n, COORD at, DWORD* read) const {
  DWORD count = 0;
  if (at.X < 0 || at.Y < 0 || at.X >= width_ || at.Y >= height_) {
    if (read != nullptr) *read = 0;
    return false;
  }
  size_t index = Index(at.X, at.Y);
  while (count < n && index < cells_.size()) {
    out[count++] = cells_[index++].Attr;
  }
  if (read != nullptr) *read = count;
  return true;
}

std::string ScreenBuffer::RowText(int y) const {
  std::string text;
  for (int x = 0; x < width_; ++x) text.push_back(static_cast<char>(At(x, y).Char));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool Console::SetCursorPosition(COORD position) {
  if (position.X < 0 || position.Y < 0 || position.X >= Screen.Width() ||
      position.Y >= Screen.Height()) {
    return false;
  }
  Cursor = position;
  FollowCursor();
  return true;
}

void Console::SetWindowSize(int columns, int rows) {
  columns = std::clamp(columns, 1, Screen.Width());
  rows = std::clamp(rows, 1, Screen.Height());
  Window = WindowAround(Cursor, columns, rows);
}

// The window nearest the buffer's top left corner that shows the cursor's
// cell.  A console window would rather scroll the least from where it
// stood; here that would show each screen from wherever the one before left
// it (the ringing screen cut short after a long password), and since the
// console layer moves the cursor from a thread of its own, where it stood
// would depend on which of its moves happened to land.  This way the same
// screen always shows the same way, as much of it as fits.
void Console::FollowCursor() {
  const int columns = Window.Right - Window.Left + 1;
  const int rows = Window.Bottom - Window.Top + 1;
  Window = WindowAround(Cursor, columns, rows);
}

Rect WindowAround(COORD cursor, int columns, int rows) {
  const int left = std::max(0, cursor.X - columns + 1);
  const int top = std::max(0, cursor.Y - rows + 1);
  return {left, top, left + columns - 1, top + rows - 1};
}

bool Console::SetCursorInfo(const CONSOLE_CURSOR_INFO& info) {
  if (info.dwSize < 1 || info.dwSize > 100) return false;
  CursorInfo = info;
  return true;
}

CONSOLE_SCREEN_BUFFER_INFO Console::Info() const {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  info.dwSize = COORD{static_cast<SHORT>(Screen.Width()), static_cast<SHORT>(Screen.Height())};
  info.dwCursorPosition = Cursor;
  info.wAttributes = 7;
  info.srWindow = SMALL_RECT{static_cast<SHORT>(Window.Left), static_cast<SHORT>(Window.Top),
                             static_cast<SHORT>(Window.Right), static_cast<SHORT>(Window.Bottom)};
  // The window can grow no larger than the terminal lets it.
  info.dwMaximumWindowSize = COORD{static_cast<SHORT>(Window.Right - Window.Left + 1),
                                   static_cast<SHORT>(Window.Bottom - Window.Top + 1)};
  if (!ReportsSize) info.dwSize = COORD{0, 0};
  return info;
}

namespace {

// The console of the process; never destroyed, since threads of the program
// may still draw while exit() runs.
std::unique_ptr<Console>& TheConsole() {
  static auto* console = new std::unique_ptr<Console>;
  return *console;
}
std::atomic<bool> Open{false};

// A cursor position published without the lock, or NoMove.
constexpr uint32_t NoMove = ~uint32_t{0};
std::atomic<uint32_t> MovedCursor{NoMove};
std::atomic<uint32_t> Size{0};
std::atomic<bool> Shown{true};
// The window's top left and bottom right corners, packed as two cursors.
std::atomic<uint64_t> ShownWindow{0};

uint32_t Pack(COORD c) {
  return static_cast<uint32_t>(static_cast<uint16_t>(c.X)) |
         (static_cast<uint32_t>(static_cast<uint16_t>(c.Y)) << 16);
}
COORD Unpack(uint32_t packed) {
  return COORD{static_cast<SHORT>(packed & 0xFFFF), static_cast<SHORT>(packed >> 16)};
}

void PublishWindow(const Console& console) {
  const Rect& w = console.Window;
  const auto corner = [](int x, int y) {
    return uint64_t{Pack(COORD{static_cast<SHORT>(x), static_cast<SHORT>(y)})};
  };
  ShownWindow.store(corner(w.Left, w.Top) | corner(w.Right, w.Bottom) << 32);
}

}  // namespace

std::mutex& ConsoleMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

void OpenConsoleLocked(std::unique_ptr<Console> console) {
  MovedCursor.store(NoMove);
  TheConsole() = std::move(console);
  const Console* now = TheConsole().get();
  Size.store(now != nullptr ? Pack(COORD{static_cast<SHORT>(now->Screen.Width()),
                                         static_cast<SHORT>(now->Screen.Height())})
                            : 0);
  Shown.store(now != nullptr && now->CursorInfo.bVisible != FALSE);
  if (now != nullptr) PublishWindow(*now);
  Open.store(now != nullptr);
}

bool ConsoleIsOpen() {
  return Open.load();
}

Console& ConsoleLocked() {
  Console& console = *TheConsole();
  // Most calls find no move waiting: they look without taking the line.
  if (MovedCursor.load(std::memory_order_relaxed) != NoMove) {
    const uint32_t moved = MovedCursor.exchange(NoMove);
    if (moved != NoMove) {
      console.SetCursorPosition(Unpack(moved));
      PublishWindow(console);
    }
  }
  return console;
}

void PublishCursor(COORD position) {
  MovedCursor.store(Pack(position));
}

COORD ConsoleSize() {
  return Unpack(Size.load());
}

bool CursorShown() {
  return Shown.load();
}

bool WindowStays(COORD position) {
  const uint64_t window = ShownWindow.load();
  const COORD topLeft = Unpack(static_cast<uint32_t>(window));
  const COORD bottomRight = Unpack(static_cast<uint32_t>(window >> 32));
  const Rect now{topLeft.X, topLeft.Y, bottomRight.X, bottomRight.Y};
  const Rect then = WindowAround(position, now.Right - now.Left + 1, now.Bottom - now.Top + 1);
  return then.Left == now.Left && then.Top == now.Top;
}

void SetWindowSizeLocked(int columns, int rows) {
  Console& console = ConsoleLocked();
  console.SetWindowSize(columns, rows);
  PublishWindow(console);
}

bool SetCursorInfoLocked(const CONSOLE_CURSOR_INFO& info) {
  if (!ConsoleLocked().SetCursorInfo(info)) return false;
  Shown.store(info.bVisible != FALSE);
  return true;
}

INPUT_RECORD KeyRecord(bool down, WORD virtualKey, WORD scanCode, uint8_t ch, DWORD controlState,
                       WORD repeat) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  key.bKeyDown = down ? TRUE : FALSE;
  key.wRepeatCount = repeat;
  key.wVirtualKeyCode = virtualKey;
  key.wVirtualScanCode = scanCode;
  key.uChar.UnicodeChar = 0;
  key.uChar.AsciiChar = static_cast<CHAR>(ch);
  key.dwControlKeyState = controlState;
  return record;
}

}  // namespace model
