// A small terminal for the tests and the fuzz targets: applies the bytes
// the renderer sends (CUP and the relative moves, CHA, CR, SGR colours, ED,
// the DEC private modes, XTWINOPS title saving, OSC 2, text in UTF-8 or
// ASCII) to a grid the size of the terminal's window, the way an xterm-like
// terminal with autowrap off would.  Everything else, and above all any
// control byte a real terminal would act on, is recorded as an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The fuzz targets' own checking code is built without coverage
// instrumentation, so that it does not feed the fuzzer's sense of progress.
#if defined(__clang__)
#define VT_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define VT_NO_COVERAGE
#endif

namespace vtscreen {

struct VtCell {
  char32_t Glyph = U' ';
  int Fg = 0;  // SGR number, 0 for the terminal's default
  int Bg = 0;
};

class VtScreen {
 public:
  // asciiOnly: the terminal's locale is not UTF-8, so any byte above 127
  // is an error as well.
  VtScreen(int columns, int rows, bool asciiOnly)
      : columns_(columns),
        rows_(rows),
        asciiOnly_(asciiOnly),
        cells_(static_cast<size_t>(columns) * static_cast<size_t>(rows)) {}

  // A terminal window of another size: xterm keeps what fits, the rest is
  // blank and the cursor is clamped.
  VT_NO_COVERAGE void Resize(int columns, int rows) {
    std::vector<VtCell> resized(static_cast<size_t>(columns) * static_cast<size_t>(rows));
    for (int y = 0; y < rows && y < rows_; ++y) {
      for (int x = 0; x < columns && x < columns_; ++x) {
        resized[static_cast<size_t>(y) * static_cast<size_t>(columns) + static_cast<size_t>(x)] =
            At(x, y);
      }
    }
    columns_ = columns;
    rows_ = rows;
    cells_ = std::move(resized);
    X = Clamp(X, columns_);
    Y = Clamp(Y, rows_);
  }

  VT_NO_COVERAGE void Feed(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
      const auto b = static_cast<uint8_t>(bytes[i]);
      if (b == 0x1b) {
        i = Escape(bytes, i);
      } else if (b == '\r') {
        X = 0;
        ++i;
      } else if (b == '\a') {
        ++Bells;
        ++i;
      } else if (b < 0x20 || b == 0x7f) {
        Errors.push_back("raw control byte " + std::to_string(b));
        ++i;
      } else {
        i = Text(bytes, i);
      }
    }
  }

  [[nodiscard]] VT_NO_COVERAGE const VtCell& At(int x, int y) const { return cells_[Index(x, y)]; }
  [[nodiscard]] int Columns() const { return columns_; }
  [[nodiscard]] int Rows() const { return rows_; }

  int X = 0;
  int Y = 0;
  bool CursorVisible = true;
  bool Autowrap = true;
  bool Alternate = false;
  int Bells = 0;
  int SgrSequences = 0;
  std::string Title;
  std::vector<std::string> Errors;

 private:
  VT_NO_COVERAGE size_t Escape(std::string_view s, size_t i) {
    if (i + 1 >= s.size()) {
      Errors.push_back("ESC at the end of a write");
      return s.size();
    }
    if (s[i + 1] == ']') {
      const size_t end = s.find('\a', i);
      if (end == std::string_view::npos) {
        Errors.push_back("unterminated OSC");
        return s.size();
      }
      const std::string_view body = s.substr(i + 2, end - i - 2);
      for (const char c : body) {
        const auto b = static_cast<uint8_t>(c);
        if (b < 0x20 || b == 0x7f) Errors.push_back("control byte inside OSC");
        if (asciiOnly_ && b >= 0x80) Errors.push_back("non-ASCII byte inside OSC");
      }
      if (body.substr(0, 2) == "2;") {
        Title = std::string(body.substr(2));
      } else {
        Errors.push_back("OSC other than 2");
      }
      return end + 1;
    }
    if (s[i + 1] != '[') {
      Errors.push_back("escape other than CSI or OSC");
      return i + 2;
    }
    size_t j = i + 2;
    const bool priv = j < s.size() && s[j] == '?';
    if (priv) ++j;
    std::vector<int> params;
    int number = -1;
    while (j < s.size() && ((s[j] >= '0' && s[j] <= '9') || s[j] == ';')) {
      if (s[j] == ';') {
        params.push_back(number);
        number = -1;
      } else {
        number = (number < 0 ? 0 : number) * 10 + (s[j] - '0');
        if (number > 100000) number = 100000;
      }
      ++j;
    }
    params.push_back(number);
    if (j >= s.size()) {
      Errors.push_back("unterminated CSI");
      return s.size();
    }
    Csi(priv, params, s[j]);
    return j + 1;
  }

  VT_NO_COVERAGE static int Param(const std::vector<int>& p, size_t i, int fallback) {
    return i < p.size() && p[i] > 0 ? p[i] : fallback;
  }

  VT_NO_COVERAGE void Csi(bool priv, const std::vector<int>& p, char final) {
    if (priv) {
      if (final != 'h' && final != 'l') {
        Errors.push_back("private CSI other than a mode");
        return;
      }
      const bool set = final == 'h';
      switch (p[0]) {
        case 25:
          CursorVisible = set;
          break;
        case 7:
          Autowrap = set;
          break;
        case 1049:
          Alternate = set;
          break;
        default:
          Errors.push_back("unexpected private mode " + std::to_string(p[0]));
      }
      return;
    }
    switch (final) {
      case 'H':
        Y = Clamp(Param(p, 0, 1) - 1, rows_);
        X = Clamp(Param(p, 1, 1) - 1, columns_);
        break;
      case 'A':
        Y = Clamp(Y - Param(p, 0, 1), rows_);
        break;
      case 'B':
        Y = Clamp(Y + Param(p, 0, 1), rows_);
        break;
      case 'C':
        X = Clamp(X + Param(p, 0, 1), columns_);
        break;
      case 'D':
        X = Clamp(X - Param(p, 0, 1), columns_);
        break;
      case 'G':
        X = Clamp(Param(p, 0, 1) - 1, columns_);
        break;
      case 'J':
        if (p[0] != 2) Errors.push_back("erase other than the whole display");
        for (VtCell& cell : cells_) cell = VtCell{U' ', fg_, bg_};
        break;
      case 'm':
        ++SgrSequences;
        for (const int code : p) Sgr(code);
        break;
      case 't':
        if (p[0] != 22 && p[0] != 23) Errors.push_back("window operation other than the title");
        break;
      default:
        Errors.push_back(std::string("unexpected CSI ") + final);
    }
  }

  VT_NO_COVERAGE void Sgr(int code) {
    if (code <= 0) {
      fg_ = bg_ = 0;
    } else if ((code >= 30 && code <= 37) || (code >= 90 && code <= 97)) {
      fg_ = code;
    } else if ((code >= 40 && code <= 47) || (code >= 100 && code <= 107)) {
      bg_ = code;
    } else {
      Errors.push_back("unexpected SGR " + std::to_string(code));
    }
  }

  VT_NO_COVERAGE size_t Text(std::string_view s, size_t i) {
    const auto b = static_cast<uint8_t>(s[i]);
    size_t length = 1;
    char32_t cp = b;
    if (b >= 0x80 && asciiOnly_) {
      Errors.push_back("non-ASCII byte on an ASCII terminal");
      return i + 1;
    }
    if (b >= 0xF8 || (b >= 0x80 && b < 0xC2)) {
      Errors.push_back("invalid UTF-8 lead byte");
      return i + 1;
    }
    if (b >= 0xF0) {
      length = 4;
      cp = b & 0x07U;
    } else if (b >= 0xE0) {
      length = 3;
      cp = b & 0x0FU;
    } else if (b >= 0xC0) {
      length = 2;
      cp = b & 0x1FU;
    }
    for (size_t k = 1; k < length; ++k) {
      if (i + k >= s.size()) {
        Errors.push_back("UTF-8 cut at the end of a write");
        return s.size();
      }
      const auto c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) {
        Errors.push_back("invalid UTF-8 continuation");
        return i + k;
      }
      cp = (cp << 6) | (c & 0x3FU);
    }
    if (cp >= 0x80 && cp < 0xA0) Errors.push_back("C1 control as UTF-8");
    if (cp == 0x7f) Errors.push_back("DEL as UTF-8");
    cells_[Index(X, Y)] = VtCell{cp, fg_, bg_};
    if (X < columns_ - 1) {
      ++X;
    } else if (Autowrap) {
      Errors.push_back("a glyph in the last column with autowrap on");
    }
    return i + length;
  }

  [[nodiscard]] VT_NO_COVERAGE size_t Index(int x, int y) const {
    return static_cast<size_t>(y) * static_cast<size_t>(columns_) + static_cast<size_t>(x);
  }
  VT_NO_COVERAGE static int Clamp(int v, int size) {
    return v < 0 ? 0 : (v >= size ? size - 1 : v);
  }

  int columns_;
  int rows_;
  bool asciiOnly_;
  std::vector<VtCell> cells_;
  int fg_ = 0;
  int bg_ = 0;
};

}  // namespace vtscreen

namespace fuzz {
using vtscreen::VtCell;
using vtscreen::VtScreen;
}  // namespace fuzz
