// Console model to terminal bytes.  The renderer remembers what the terminal
// is known to show (a front buffer, the SGR colours in force, where the
// terminal's cursor stands and whether it is visible) and, given the model,
// returns the shortest bytes it can find that make the terminal show the
// model: unchanged cells are skipped, the cursor is moved with the cheapest
// of CUP, CUF/CUB/CUU/CUD, CHA, CR or re-writing the cells in between, and
// colours are sent only when they change.  Pure: the caller writes the
// string with one write().
//
// Autowrap is expected to be off (DECAWM, ESC[?7l) while the renderer owns
// the terminal; even so it never trusts the cursor position after a glyph in
// the last column, where terminals differ.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "standin/model/console_model.h"

namespace vt {

// How the terminal shows characters: UTF-8, or plain ASCII for a terminal
// whose locale uses another codeset (bytes 128..255 transliterated).
enum class Charset { Utf8, Ascii };

// SGR colour numbers of a console attribute: foreground bits 0-3 give
// 30-37/90-97; background bits 4-6 give 40-47, and the blink bit 7 brightens
// the background to 100-107, as the Windows console shows it.  Win32 orders
// the colour bits blue, green, red; ANSI orders them red, green, blue.
int ForegroundSgr(uint8_t attr);
int BackgroundSgr(uint8_t attr);

// Appends how a terminal of the given charset shows a cell byte of code page
// 866.  Never appends a C0 or C1 control character or DEL.
void AppendGlyph(std::string& out, uint8_t byte, Charset charset);
// The ASCII stand-in for a cell byte (letters transliterated, box drawing as
// + - |, blocks as #, anything else as ?).
char AsciiGlyph(uint8_t byte);

// OSC 2 (xterm "set window title") for a title of code page 866 bytes; the
// title ends at the first NUL, control bytes are dropped, the rest goes
// through the code page table.  Terminated by BEL, which every terminal that
// knows OSC accepts.
std::string TitleSequence(std::string_view bytes, Charset charset);

// Whether a terminal of type `term` (TERM; null when unset) has an
// alternate screen.  The Linux virtual console ("linux" and the variants of
// its terminfo entry) has none: it ignores DECSET 1049, so what the program
// draws stays on the user's one screen.  No other terminal says so itself
// (the Linux console answers no mode query), so every other type is taken to
// have one.
bool HasAlternateScreen(const char* term);

// Bytes that hand the terminal back: default colours, cursor shown,
// autowrap on, the user's own meta setting (XTRESTORE 1036, 1039), the
// normal screen (where the terminal has an alternate one), the saved title
// (xterm XTWINOPS 23).
std::string LeaveSequence(bool alternateScreen = true);
// Bytes that take the terminal over: save the title (XTWINOPS 22) and the
// user's meta setting (XTSAVE 1036, 1039), the alternate screen (DECSET
// 1049, where the terminal has one), autowrap off, and meta keys sent as ESC
// prefixes.  The saves are left out when taking it again without having
// handed it back, so that what is saved stays the user's and every save has
// one restore.
std::string EnterSequence(bool saveTitle = true, bool alternateScreen = true);

// The text of the first rows of a screen as plain lines ending in CR LF, for
// leaving what the program last showed on the normal screen: rows up to the
// last one with anything on it, and at least up to the row above `cursorRow`
// (so the shell's prompt lands where the cursor stood).  Trailing blanks are
// cut; no colours.
std::string ScreenText(const model::ScreenBuffer& screen, int cursorRow, Charset charset);
// On a terminal without an alternate screen the screen already shows that
// text: the bytes that put the cursor where ScreenText would leave it, at
// the start of the line below it (scrolling where that is past the bottom).
std::string LineAfterText(const model::ScreenBuffer& screen, int cursorRow);

class Renderer {
 public:
  // width x height is the console area; the terminal starts as large.
  Renderer(int width, int height, Charset charset);

  // The terminal's current size.  The terminal shows the console's window
  // (model::Console::Window) from its top left corner on, as far as the
  // terminal reaches; the console area itself keeps its size.
  void SetViewport(int columns, int rows);
  [[nodiscard]] int ViewColumns() const { return viewColumns_; }
  [[nodiscard]] int ViewRows() const { return viewRows_; }

  // Forget everything known about the terminal: the next Render clears the
  // screen and paints every cell (start, resize, return from a stop).
  void Invalidate();
  // The next Render repaints every cell (after Invalidate, or at the start).
  [[nodiscard]] bool Fresh() const { return fresh_; }

  // Bytes that make the terminal show the console's window: its cells, and
  // its cursor where the console has it, shown or hidden as its cursor info
  // says.  Empty when the terminal already shows it all.  Visits only the
  // cells the model marks as changed (all of the window's after Invalidate or
  // when the window has moved: then only the cells that now look different
  // are sent) and clears those marks: one renderer per console.
  std::string Render(model::Console& console);

 private:
  // The front buffer is indexed by terminal cell.
  [[nodiscard]] size_t Index(int x, int y) const {
    return static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x);
  }
  void MoveTo(std::string& out, int x, int y, const model::ScreenBuffer& screen);
  void SetAttr(std::string& out, uint8_t attr);

  int width_;
  int height_;
  Charset charset_;
  int viewColumns_;
  int viewRows_;
  // The buffer cell the terminal's top left cell shows.
  int originX_ = 0;
  int originY_ = 0;
  std::vector<model::Cell> front_;
  std::vector<bool> known_;
  bool fresh_ = true;         // nothing known: clear first
  bool cursorKnown_ = false;  // the terminal's cursor, in terminal cells
  int cursorX_ = 0;
  int cursorY_ = 0;
  bool attrKnown_ = false;
  uint8_t attr_ = 0;
  bool visibilityKnown_ = false;
  bool visible_ = false;
};

}  // namespace vt
