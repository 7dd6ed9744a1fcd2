// A terminal for the tests and the fuzz targets, on libvterm: one instance
// shows what the bytes draw (cells, colours, cursor), a second one
// only parses them, to record the private modes libvterm's screen ignores
// (meta keys, XTSAVE and XTRESTORE) and every control byte or sequence no
// terminal should get from the program.
#pragma once

#include <vterm.h>

#include "standin/terminal/vt/cp866.h"
#include "standin/terminal/vt/renderer.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vtscreen {

struct VtCell {
  char32_t Glyph = U' ';
  int Fg = 0;  // SGR number, 0 for the terminal's default
  int Bg = 0;
};

class VtScreen {
 public:
  // asciiOnly: the terminal's locale is not UTF-8, so a byte above 127 is
  // an error as well.
  VtScreen(int columns, int rows, bool asciiOnly)
      : term_(vterm_new(rows, columns)), parser_(vterm_new(rows, columns)), asciiOnly_(asciiOnly) {
    vterm_set_utf8(term_, asciiOnly ? 0 : 1);
    vterm_set_utf8(parser_, asciiOnly ? 0 : 1);
    screen_ = vterm_obtain_screen(term_);
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_set_callbacks(screen_, &ScreenCallbacks, this);
    vterm_screen_set_unrecognised_fallbacks(screen_, &Unknown, this);
    vterm_screen_reset(screen_, 1);
    vterm_parser_set_callbacks(parser_, &Parsed, this);
  }
  ~VtScreen() {
    vterm_free(parser_);
    vterm_free(term_);
  }

  void Feed(std::string_view bytes) {
    vterm_input_write(parser_, bytes.data(), bytes.size());
    vterm_input_write(term_, bytes.data(), bytes.size());
  }
  // A terminal window of another size: what fits is kept.
  void Resize(int columns, int rows) { vterm_set_size(term_, rows, columns); }

  [[nodiscard]] VtCell At(int x, int y) const {
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_, VTermPos{y, x}, &cell);
    return {cell.chars[0] == 0 ? U' ' : static_cast<char32_t>(cell.chars[0]), Sgr(cell.fg, 30),
            Sgr(cell.bg, 40)};
  }
  // Where the terminal does not show the console's window within columns x
  // rows (its cells and cursor), or "" when it does.
  [[nodiscard]] std::string Differs(const model::Console& console, int columns, int rows,
                                    vt::Charset charset) const {
    if (!Errors.empty()) return Errors.front();
    const int left = console.Window.Left;
    const int top = console.Window.Top;
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < columns; ++x) {
        const model::Cell& want = console.Screen.At(left + x, top + y);
        const VtCell got = At(x, y);
        const char32_t glyph = charset == vt::Charset::Utf8 ? vt::Cp866ToUnicode(want.Char)
                                                            : vt::AsciiGlyph(want.Char);
        // A blank shows no foreground colour, so only its background counts.
        if (got.Glyph != glyph || got.Bg != vt::BackgroundSgr(want.Attr) ||
            (got.Glyph != U' ' && got.Fg != vt::ForegroundSgr(want.Attr)))
          return "cell " + std::to_string(x) + "," + std::to_string(y);
      }
    }
    const int cx = console.Cursor.X - left;
    const int cy = console.Cursor.Y - top;
    const bool visible =
        console.CursorInfo.bVisible != FALSE && cx >= 0 && cy >= 0 && cx < columns && cy < rows;
    if (CursorVisible != visible) return "cursor visibility";
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(term_), &pos);
    if (visible && (pos.col != cx || pos.row != cy)) return "cursor place";
    return "";
  }
  [[nodiscard]] bool Mode(int mode) const { return Modes.contains(mode) && Modes.at(mode); }

  bool CursorVisible = true;
  bool Alternate = false;
  std::map<int, bool> Modes;  // DEC private modes as the bytes set them
  std::vector<std::string> Errors;

 private:
  static int Sgr(const VTermColor& c, int base) {
    const bool fallback = VTERM_COLOR_IS_DEFAULT_FG(&c) || VTERM_COLOR_IS_DEFAULT_BG(&c);
    if (fallback || !VTERM_COLOR_IS_INDEXED(&c)) return 0;
    return c.indexed.idx < 8 ? base + c.indexed.idx : base + 60 + c.indexed.idx - 8;
  }
  static VtScreen& Self(void* user) { return *static_cast<VtScreen*>(user); }

  static int Prop(VTermProp prop, VTermValue* value, void* user) {
    if (prop == VTERM_PROP_CURSORVISIBLE) Self(user).CursorVisible = value->boolean != 0;
    if (prop == VTERM_PROP_ALTSCREEN) Self(user).Alternate = value->boolean != 0;
    return 1;
  }
  // What the screen does not know is an error, but for the title stack
  // (XTWINOPS 22 and 23) and XTSAVE / XTRESTORE, which the parser records.
  static int UnknownCsi(const char* leader, const long args[], int count, const char*, char final,
                        void* user) {
    const bool title = final == 't' && count > 0 && (args[0] == 22 || args[0] == 23);
    const bool saved = leader != nullptr && leader[0] == '?' && (final == 's' || final == 'r');
    if (!title && !saved) Self(user).Errors.push_back(std::string("unknown CSI ") + final);
    return 1;
  }
  static int UnknownString(const char*, size_t, void* user) {
    Self(user).Errors.emplace_back("unknown OSC or DCS");
    return 1;
  }
  static int Control(unsigned char byte, void* user) {
    if (byte != '\r') Self(user).Errors.push_back("raw control byte " + std::to_string(byte));
    return 1;
  }
  static int Escape(const char* bytes, size_t, void* user) {
    Self(user).Errors.push_back(std::string("escape other than CSI or OSC: ") + bytes[0]);
    return 1;
  }
  static int Text(const char* bytes, size_t length, void* user) {
    for (size_t i = 0; i < length && Self(user).asciiOnly_; ++i)
      if (static_cast<unsigned char>(bytes[i]) >= 0x80) Self(user).Errors.emplace_back("non-ASCII");
    return static_cast<int>(length);
  }
  static int Csi(const char* leader, const long args[], int count, const char*, char final,
                 void* user) {
    VtScreen& self = Self(user);
    if (leader == nullptr || leader[0] != '?') return 1;
    for (int i = 0; i < count; ++i) {
      const int mode = static_cast<int>(CSI_ARG(args[i]));
      if (final == 'h' || final == 'l') self.Modes[mode] = final == 'h';
      if (final == 's') self.saved_[mode] = self.Mode(mode);
      if (final == 'r') self.Modes[mode] = self.saved_[mode];
    }
    return 1;
  }

  static constexpr VTermScreenCallbacks ScreenCallbacks{nullptr, nullptr, nullptr, Prop,
                                                        nullptr, nullptr, nullptr, nullptr};
  static constexpr VTermParserCallbacks Unknown{nullptr,       nullptr,       nullptr, UnknownCsi,
                                                UnknownString, UnknownString, nullptr};
  static constexpr VTermParserCallbacks Parsed{Text,    Control, Escape, Csi,
                                               nullptr, nullptr, nullptr};

  VTerm* term_;
  VTerm* parser_;
  VTermScreen* screen_ = nullptr;
  bool asciiOnly_;
  std::map<int, bool> saved_;
};

}  // namespace vtscreen
