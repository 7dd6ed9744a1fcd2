#include "standin/terminal/vt/renderer.h"

#include <algorithm>
#include <array>

#include "standin/terminal/vt/cp866.h"
#include "standin/terminal/vt/key_protocols.h"

namespace vt {
namespace {

// Win32 colour bits are blue 1, green 2, red 4; ANSI colour numbers are red
// 1, green 2, blue 4.
int AnsiColour(int win32Colour) {
  return ((win32Colour & 1) << 2) | (win32Colour & 2) | ((win32Colour & 4) >> 2);
}

void AppendNumber(std::string& out, int n) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n > 0);
  while (count > 0) out += digits[--count];
}

// CUP to a 0-based column and row, in its shortest correct form.
void AppendCup(std::string& out, int x, int y) {
  out += "\x1b[";
  if (x == 0) {
    if (y != 0) AppendNumber(out, y + 1);
  } else {
    AppendNumber(out, y + 1);
    out += ';';
    AppendNumber(out, x + 1);
  }
  out += 'H';
}

// Cyrillic capitals of code page 866 (0x80..0x9F) as one Latin letter each;
// the small letters use the same letters in lower case.
constexpr std::string_view CyrillicLatin = "ABVGDEZZIJKLMNOPRSTUFHCCSS'Y'EUA";

char AsciiForCodePoint(char32_t cp) {
  if (cp >= 0x20 && cp < 0x7F) return static_cast<char>(cp);
  if (cp >= 0x410 && cp <= 0x44F) {
    const char latin = CyrillicLatin[(cp - 0x410) % 32];
    const bool small = cp >= 0x430 && latin >= 'A' && latin <= 'Z';
    return small ? static_cast<char>(latin - 'A' + 'a') : latin;
  }
  switch (cp) {
    case 0x401:
    case 0x404:
      return 'E';  // Ё Є
    case 0x451:
    case 0x454:
      return 'e';  // ё є
    case 0x407:
      return 'I';  // Ї
    case 0x457:
      return 'i';  // ї
    case 0x40E:
      return 'U';  // Ў
    case 0x45E:
      return 'u';  // ў
    case 0xB0:
      return 'o';  // degree sign
    case 0xB7:
    case 0x2219:
    case 0x2022:
      return '.';  // the dots
    case 0x221A:
      return 'v';  // square root
    case 0x2116:
      return 'N';  // numero sign
    case 0xA0:
      return ' ';  // no-break space
    case 0x2502:
    case 0x2551:
      return '|';
    case 0x2500:
    case 0x2550:
      return '-';
    default:
      break;
  }
  if (cp >= 0x2500 && cp <= 0x257F) return '+';                    // the other box-drawing pieces
  if ((cp >= 0x2580 && cp <= 0x259F) || cp == 0x25A0) return '#';  // blocks, shades
  return '?';
}

const std::array<char, 256>& AsciiTable() {
  static const std::array<char, 256> Table = [] {
    std::array<char, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = AsciiForCodePoint(Cp866ToUnicode(static_cast<uint8_t>(b)));
    return t;
  }();
  return Table;
}

bool BlankCell(const model::Cell& cell) {
  return cell.Char == ' ' || cell.Char == 0;
}

// What the terminal shows is the same: equal cells, or two blanks on the same
// background, whose foreground colour nobody can see.  Clearing a screen of
// text in another colour then costs nothing per blank cell.
bool LooksSame(const model::Cell& shown, const model::Cell& wanted) {
  if (shown == wanted) return true;
  return BlankCell(shown) && BlankCell(wanted) && ((shown.Attr ^ wanted.Attr) & 0xF0) == 0;
}

}  // namespace

int ForegroundSgr(uint8_t attr) {
  const int colour = attr & 0x0F;
  return ((colour & 8) != 0 ? 90 : 30) + AnsiColour(colour & 7);
}

int BackgroundSgr(uint8_t attr) {
  const int colour = (attr >> 4) & 0x0F;
  return ((colour & 8) != 0 ? 100 : 40) + AnsiColour(colour & 7);
}

char AsciiGlyph(uint8_t byte) {
  return AsciiTable()[byte];
}

void AppendGlyph(std::string& out, uint8_t byte, Charset charset) {
  if (charset == Charset::Utf8) {
    AppendCp866AsUtf8(out, byte);
  } else {
    out.push_back(AsciiGlyph(byte));
  }
}

std::string TitleSequence(std::string_view bytes, Charset charset) {
  std::string out = "\x1b]2;";
  for (const char ch : bytes) {
    const auto byte = static_cast<uint8_t>(ch);
    if (byte == 0) break;
    if (byte < 32 || byte == 127) continue;
    AppendGlyph(out, byte, charset);
  }
  out += '\a';
  return out;
}

bool HasAlternateScreen(const char* term) {
  return term == nullptr || std::string_view(term).substr(0, 5) != "linux";
}

std::string EnterSequence(bool saveTitle, bool alternateScreen) {
  // The user's meta setting is saved (XTSAVE) only with the title: a take
  // without a hand-back before it would save the program's own over it.
  std::string out = saveTitle ? "\x1b[22;0t" : "";
  if (alternateScreen) out += "\x1b[?1049h";
  out += "\x1b[?7l";
  if (saveTitle) out += MetaKeysSave;
  return out += MetaKeysOn;
}

std::string LeaveSequence(bool alternateScreen) {
  std::string out = "\x1b[0m\x1b[?25h\x1b[?7h" + std::string(MetaKeysRestore);
  if (alternateScreen) out += "\x1b[?1049l";
  return out + "\x1b[23;0t";
}

namespace {

// The last row the user keeps: the last one with anything on it, and at
// least the row above the cursor; -1 for none.
int LastTextRow(const model::ScreenBuffer& screen, int cursorRow) {
  int last = std::min(cursorRow, screen.Height()) - 1;
  for (int y = screen.Height() - 1; y > last; --y) {
    bool content = false;
    for (int x = 0; x < screen.Width() && !content; ++x) content = !BlankCell(screen.At(x, y));
    if (content) last = y;
  }
  return last;
}

}  // namespace

std::string ScreenText(const model::ScreenBuffer& screen, int cursorRow, Charset charset) {
  const int last = LastTextRow(screen, cursorRow);
  std::string out;
  for (int y = 0; y <= last; ++y) {
    int end = screen.Width();
    while (end > 0 && BlankCell(screen.At(end - 1, y))) --end;
    for (int x = 0; x < end; ++x) AppendGlyph(out, screen.At(x, y).Char, charset);
    out += "\r\n";
  }
  return out;
}

std::string LineAfterText(const model::ScreenBuffer& screen, int cursorRow) {
  const int last = LastTextRow(screen, cursorRow);
  std::string out;
  AppendCup(out, 0, std::max(last, 0));
  // CR LF rather than a move to the row below: on the bottom row it scrolls.
  if (last >= 0) out += "\r\n";
  return out;
}

Renderer::Renderer(int width, int height, Charset charset)
    : width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      charset_(charset),
      viewColumns_(width_),
      viewRows_(height_),
      front_(static_cast<size_t>(width_) * static_cast<size_t>(height_)),
      known_(front_.size(), false) {}

void Renderer::SetViewport(int columns, int rows) {
  viewColumns_ = std::max(columns, 1);
  viewRows_ = std::max(rows, 1);
  // A resized terminal may have reflowed, cleared or kept its cells: trust
  // none of them.
  Invalidate();
}

void Renderer::Invalidate() {
  std::fill(known_.begin(), known_.end(), false);
  fresh_ = true;
  cursorKnown_ = false;
  attrKnown_ = false;
  visibilityKnown_ = false;
}

void Renderer::SetAttr(std::string& out, uint8_t attr) {
  if (attrKnown_ && attr == attr_) return;
  const bool foreground = !attrKnown_ || ((attr ^ attr_) & 0x0F) != 0;
  const bool background = !attrKnown_ || ((attr ^ attr_) & 0xF0) != 0;
  out += "\x1b[";
  // The Linux console shows 90-97 as bold 30-37, and a later 30-37 leaves
  // the bold on: a foreground that stops being bright says so (SGR 22), and
  // one whose state the terminal may hold from before starts from none.
  if (!attrKnown_) {
    out += "0;";
  } else if (foreground && (attr_ & 8) != 0 && (attr & 8) == 0) {
    out += "22;";
  }
  if (foreground) AppendNumber(out, ForegroundSgr(attr));
  if (foreground && background) out += ';';
  if (background) AppendNumber(out, BackgroundSgr(attr));
  out += 'm';
  attr_ = attr;
  attrKnown_ = true;
}

namespace {

int Digits(int n) {
  int digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

// Length of CSI n <final> as AppendCsi() writes it.
int CsiLength(int n) {
  return 3 + (n != 1 ? Digits(n) : 0);
}

void AppendCsi(std::string& out, int n, char final) {
  out += "\x1b[";
  if (n != 1) AppendNumber(out, n);
  out += final;
}

}  // namespace

void Renderer::MoveTo(std::string& out, int x, int y, const model::ScreenBuffer& screen) {
  if (cursorKnown_ && x == cursorX_ && y == cursorY_) return;
  // The candidates are compared by length first and only the shortest is
  // built: this runs for every run of changed cells.
  enum class Way { Cup, Vertical, Return, Forward, Back, Column, Again };
  Way best = Way::Cup;
  int bestLength = 3 + (x == 0 ? (y != 0 ? Digits(y + 1) : 0) : Digits(y + 1) + 1 + Digits(x + 1));
  int again = 0;
  if (cursorKnown_) {
    const int dy = y - cursorY_;
    const int vertical = dy == 0 ? 0 : CsiLength(dy > 0 ? dy : -dy);
    const auto consider = [&best, &bestLength](Way way, int length) {
      if (length < bestLength) {
        best = way;
        bestLength = length;
      }
    };
    if (x == cursorX_) consider(Way::Vertical, vertical);
    if (x == 0) consider(Way::Return, 1 + vertical);
    if (x > cursorX_) consider(Way::Forward, vertical + CsiLength(x - cursorX_));
    if (x < cursorX_) consider(Way::Back, vertical + CsiLength(cursorX_ - x));
    consider(Way::Column, vertical + CsiLength(x + 1));
    // Writing the unchanged cells in between again moves the cursor as well,
    // and is often the shortest way (one or two cells).
    if (dy == 0 && x > cursorX_ && attrKnown_) {
      std::string cells;
      for (int i = cursorX_; i < x && static_cast<int>(cells.size()) < bestLength; ++i) {
        const size_t index = Index(i, y);
        const model::Cell& cell = screen.At(originX_ + i, originY_ + y);
        if (!known_[index] || !(front_[index] == cell) || cell.Attr != attr_) {
          cells.clear();
          break;
        }
        AppendGlyph(cells, cell.Char, charset_);
      }
      again = static_cast<int>(cells.size());
      if (again > 0 && again < bestLength) {
        out += cells;
        best = Way::Again;
      }
    }
    if (best != Way::Cup && best != Way::Again) {
      if (best == Way::Return) out += '\r';
      if (dy > 0) AppendCsi(out, dy, 'B');
      if (dy < 0) AppendCsi(out, -dy, 'A');
      if (best == Way::Forward) AppendCsi(out, x - cursorX_, 'C');
      if (best == Way::Back) AppendCsi(out, cursorX_ - x, 'D');
      if (best == Way::Column) AppendCsi(out, x + 1, 'G');
    }
  }
  if (best == Way::Cup) AppendCup(out, x, y);
  cursorKnown_ = true;
  cursorX_ = x;
  cursorY_ = y;
}

std::string Renderer::Render(model::Console& console) {
  std::string out;
  // Read through a const view: the writable cell access marks cells changed.
  const model::ScreenBuffer& screen = console.Screen;
  const int width = std::min(width_, screen.Width());
  const int height = std::min(height_, screen.Height());
  const int left = std::clamp(console.Window.Left, 0, width - 1);
  const int top = std::clamp(console.Window.Top, 0, height - 1);
  // Every terminal cell now shows another buffer cell: each is compared
  // anew, and only those that look different are sent.
  const bool moved = left != originX_ || top != originY_;
  originX_ = left;
  originY_ = top;
  const int rows = std::min(viewRows_, height - top);
  const int columns = std::min(viewColumns_, width - left);
  // x and y are terminal cells.
  const auto visit = [&](int y, int first, int last) {
    for (int x = first; x <= last; ++x) {
      const size_t index = Index(x, y);
      const model::Cell& cell = screen.At(left + x, top + y);
      if (known_[index] && LooksSame(front_[index], cell)) continue;
      MoveTo(out, x, y, screen);
      SetAttr(out, cell.Attr);
      AppendGlyph(out, cell.Char, charset_);
      front_[index] = cell;
      known_[index] = true;
      // After the last column terminals differ (pending wrap, or the cursor
      // stays): the next move is absolute.
      if (++cursorX_ >= viewColumns_) cursorKnown_ = false;
    }
  };
  const bool whole = fresh_ || moved;
  if (fresh_) {
    // Default colours for whatever lies outside the console area.
    out += "\x1b[0m\x1b[2J";
    fresh_ = false;
    attrKnown_ = false;
  }
  if (whole) {
    for (int y = 0; y < rows; ++y) visit(y, 0, columns - 1);
  } else {
    // Only what changed since the last render can differ from the terminal.
    const int bottom = std::min(screen.ChangedBottom(), top + rows - 1);
    for (int y = std::max(screen.ChangedTop(), top); y <= bottom; ++y) {
      const model::ScreenBuffer::Span& span = screen.ChangedIn(y);
      visit(y - top, std::max<int>(span.Left - left, 0), std::min(span.Right - left, columns - 1));
    }
  }
  console.Screen.ClearChanged();

  const int cx = console.Cursor.X - left;
  const int cy = console.Cursor.Y - top;
  const bool inside = cx >= 0 && cy >= 0 && cx < columns && cy < rows;
  const bool visible = console.CursorInfo.bVisible != FALSE && inside;
  if (visible) MoveTo(out, cx, cy, screen);
  if (!visibilityKnown_ || visible != visible_) {
    out += visible ? "\x1b[?25h" : "\x1b[?25l";
    visible_ = visible;
    visibilityKnown_ = true;
  }
  return out;
}

}  // namespace vt
