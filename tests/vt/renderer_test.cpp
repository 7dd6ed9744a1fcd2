// The renderer checked by what a terminal would show: its bytes applied to a
// small VT screen must match the model, with no control byte a terminal
// would act on.
#include "posix/vt/renderer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "posix/vt/cp866.h"
#include "tests/support/vt_screen.h"

namespace {

using vtscreen::VtCell;
using Vt = vtscreen::VtScreen;

char32_t Shown(uint8_t byte, vt::Charset charset) {
  return charset == vt::Charset::Utf8 ? vt::Cp866ToUnicode(byte)
                                      : static_cast<char32_t>(vt::AsciiGlyph(byte));
}

// The terminal shows the model: every cell within the viewport, the cursor.
::testing::AssertionResult ShowsModel(const Vt& vt, const model::Console& console, int columns,
                                      int rows, vt::Charset charset = vt::Charset::Utf8) {
  if (!vt.Errors.empty()) return ::testing::AssertionFailure() << vt.Errors.front();
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < columns; ++x) {
      const model::Cell& want = console.Screen.At(x, y);
      const VtCell& got = vt.At(x, y);
      // A blank shows no foreground colour, so only its background counts.
      const bool blank = got.Glyph == U' ';
      if (got.Glyph != Shown(want.Char, charset) ||
          (!blank && got.Fg != vt::ForegroundSgr(want.Attr)) ||
          got.Bg != vt::BackgroundSgr(want.Attr)) {
        return ::testing::AssertionFailure()
               << "cell " << x << "," << y << " shows U+" << std::hex
               << static_cast<uint32_t>(got.Glyph) << " " << std::dec << got.Fg << "/" << got.Bg
               << " for byte " << int{want.Char} << " attr " << int{want.Attr};
      }
    }
  }
  const bool visible =
      console.CursorInfo.bVisible != FALSE && console.Cursor.X < columns && console.Cursor.Y < rows;
  if (vt.CursorVisible != visible) return ::testing::AssertionFailure() << "cursor visibility";
  if (visible && (vt.X != console.Cursor.X || vt.Y != console.Cursor.Y))
    return ::testing::AssertionFailure() << "cursor at " << vt.X << "," << vt.Y;
  return ::testing::AssertionSuccess();
}

void Put(model::Console& console, int x, int y, std::string_view text, uint8_t attr) {
  std::vector<CHAR_INFO> cells(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    cells[i].Char.UnicodeChar = 0;
    cells[i].Char.AsciiChar = text[i];
    cells[i].Attributes = attr;
  }
  SMALL_RECT region{static_cast<SHORT>(x), static_cast<SHORT>(y),
                    static_cast<SHORT>(x + static_cast<int>(text.size()) - 1),
                    static_cast<SHORT>(y)};
  console.Screen.WriteOutput(cells.data(), COORD{static_cast<SHORT>(text.size()), 1}, COORD{0, 0},
                             &region);
}

struct Fixture {
  explicit Fixture(int w = 80, int h = 25, vt::Charset charset = vt::Charset::Utf8)
      : console(w, h, model::Cell{' ', 7}),
        renderer(w, h, charset),
        vt(w, h, charset == vt::Charset::Ascii),
        width(w),
        height(h) {
    vt.Feed(std::string(vt::EnterSequence()));
    vt.Feed(renderer.Render(console));
  }
  std::string Step() {
    std::string out = renderer.Render(console);
    vt.Feed(out);
    return out;
  }
  model::Console console;
  vt::Renderer renderer;
  Vt vt;
  int width;
  int height;
};

TEST(RendererColours, AttributesMapToSgrColours) {
  struct Case {
    uint8_t Attr;
    int Fg;
    int Bg;
  };
  // Win32 puts blue in bit 0, SGR puts red there; intensity picks 9x/10x.
  const Case cases[] = {{0x01, 34, 40}, {0x06, 33, 40}, {0x4E, 93, 41}, {0x87, 37, 100}};
  for (const Case& c : cases) {
    EXPECT_EQ(vt::ForegroundSgr(c.Attr), c.Fg) << int{c.Attr};
    EXPECT_EQ(vt::BackgroundSgr(c.Attr), c.Bg) << int{c.Attr};
  }
}

TEST(Renderer, NothingChangedSendsNothing) {
  Fixture f;
  Put(f.console, 3, 4, "Enter alarm time", 7);
  f.Step();
  EXPECT_EQ(f.renderer.Render(f.console), "");
  // Writing the same cells again changes nothing either.
  Put(f.console, 3, 4, "Enter alarm time", 7);
  EXPECT_EQ(f.renderer.Render(f.console), "");
  f.console.CursorInfo.bVisible = FALSE;
  f.Step();
  EXPECT_EQ(f.renderer.Render(f.console), "");
}

TEST(Renderer, ClearingInAnotherForegroundSendsOnlyTheTextCells) {
  Fixture f;
  f.console.CursorInfo.bVisible = FALSE;
  Put(f.console, 0, 0, "Come on, sleepy head! Get up!", 0x0F);
  f.Step();
  // Blank the whole screen in light grey on the same black background: only
  // the 29 cells that held text need to change on the terminal.
  CHAR_INFO fill{};
  fill.Char.AsciiChar = ' ';
  fill.Attributes = 0x07;
  const SMALL_RECT all{0, 0, 79, 24};
  f.console.Screen.Scroll(all, &all, COORD{0, -25}, fill);
  const std::string out = f.Step();
  EXPECT_LT(out.size(), 29u + 16u) << out.size();
  EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height));
  // A new background is a visible change for every cell.
  fill.Attributes = 0x17;
  f.console.Screen.Scroll(all, &all, COORD{0, -25}, fill);
  EXPECT_GT(f.Step().size(), 80u * 25u);
  EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height));
}

TEST(Renderer, OneCellCostsOneShortMoveAndOneGlyph) {
  Fixture f;
  f.console.CursorInfo.bVisible = FALSE;
  f.Step();
  struct Case {
    int X;
    int Y;
    std::string Expected;  // after the previous case
  };
  const Case cases[] = {
      {42, 0, "\x1b[42CX"},      // right of where the cursor was left: CUF
      {44, 0, " X"},             // one unchanged cell in between: written again
      {60, 0, "\x1b[15CX"},      // further right on the row: CUF
      {5, 0, "\x1b[6GX"},        // back on the row: CHA
      {6, 3, "\x1b[3BX"},        // straight below the cursor: CUD
      {30, 9, "\x1b[10;31HX"},   // anywhere else: CUP
      {0, 15, "\x1b[16HX"},      // column 1 of another row: CUP without a column
      {0, 16, "\r\x1b[BX"},      // the row below, column 1: CR and CUD
      {2, 17, "\x1b[B\x1b[CX"},  // one down, one right: CUD and CUF
  };
  for (const Case& c : cases) {
    Put(f.console, c.X, c.Y, "X", 7);
    const std::string out = f.Step();
    EXPECT_EQ(out, c.Expected) << c.X << "," << c.Y;
    EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height));
  }
}

TEST(Renderer, ColourCodesAreSentOnlyWhenTheyChange) {
  Fixture f;
  f.console.CursorInfo.bVisible = FALSE;
  f.Step();
  struct Case {
    const char* Name;
    uint8_t Attr;
    int Sgrs;
    std::string Code;  // the one SGR sequence expected
  };
  const Case cases[] = {
      {"same colours as the screen", 0x07, 0, ""},
      {"foreground only", 0x0F, 1, "\x1b[97m"},
      {"background only", 0x1F, 1, "\x1b[44m"},
      {"both", 0x70, 1, "\x1b[30;47m"},
  };
  int row = 2;
  for (const Case& c : cases) {
    Put(f.console, 0, row, "0123456789", c.Attr);
    const int before = f.vt.SgrSequences;
    const std::string out = f.Step();
    EXPECT_EQ(f.vt.SgrSequences - before, c.Sgrs) << c.Name;
    if (!c.Code.empty()) {
      EXPECT_NE(out.find(c.Code), std::string::npos) << c.Name;
    }
    ++row;
  }
  EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height));
}

TEST(Renderer, NoControlByteReachesTheTerminalRaw) {
  for (const vt::Charset charset : {vt::Charset::Utf8, vt::Charset::Ascii}) {
    Fixture f(64, 8, charset);
    std::string all(256, '\0');
    for (int b = 0; b < 256; ++b) all[static_cast<size_t>(b)] = static_cast<char>(b);
    for (int row = 0; row < 4; ++row)
      Put(f.console, 0, row, all.substr(static_cast<size_t>(row) * 64, 64), 0x1F);
    f.Step();
    EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height, charset));
  }
}

TEST(Renderer, CursorFollowsTheModelOnlyWhileVisible) {
  Fixture f;
  struct Case {
    const char* Name;
    bool Visible;
    SHORT X;
    SHORT Y;
    bool ExpectOutput;
  };
  const Case cases[] = {
      {"hide", false, 0, 0, true},
      {"move while hidden", false, 10, 3, false},
      {"show: moved into place", true, 42, 0, true},
      {"move while shown", true, 7, 24, true},
      {"last cell", true, 79, 24, true},
  };
  for (const Case& c : cases) {
    f.console.CursorInfo.bVisible = c.Visible ? TRUE : FALSE;
    f.console.SetCursorPosition(COORD{c.X, c.Y});
    const std::string out = f.Step();
    EXPECT_EQ(!out.empty(), c.ExpectOutput) << c.Name;
    EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height)) << c.Name;
  }
}

TEST(Renderer, AGlyphInTheLastColumnIsNeverTrustedForTheNextMove) {
  Fixture f(20, 4);
  f.console.CursorInfo.bVisible = FALSE;
  f.Step();
  Put(f.console, 19, 1, "A", 7);
  Put(f.console, 0, 2, "B", 7);
  f.Step();
  EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height));
  Put(f.console, 19, 2, "C", 7);
  Put(f.console, 0, 3, "D", 7);
  f.Step();
  EXPECT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height));
}

TEST(Renderer, ASmallerTerminalShowsWhatFitsAndInvalidateRepaints) {
  // A terminal that lost its contents: blank in magenta on green.
  const std::string kScribble = "\x1b[35;42m\x1b[2J";
  Fixture f(80, 25);
  Put(f.console, 0, 0, "Enter alarm time or press ALT-X to exit: [  :  ]", 7);
  Put(f.console, 70, 20, "far away", 0x0F);
  f.Step();
  // The terminal shrinks to 50x10: a fresh interpreter of that size.
  Vt small(50, 10, false);
  small.Feed(std::string(vt::EnterSequence()) + kScribble);
  f.renderer.SetViewport(50, 10);
  f.console.SetCursorPosition(COORD{60, 5});  // outside: not shown
  small.Feed(f.renderer.Render(f.console));
  EXPECT_TRUE(ShowsModel(small, f.console, 50, 10));
  EXPECT_FALSE(small.CursorVisible);
  // Back to full size: everything again, the cursor too.
  Vt full(80, 25, false);
  full.Feed(std::string(vt::EnterSequence()) + kScribble);
  f.renderer.SetViewport(80, 25);
  full.Feed(f.renderer.Render(f.console));
  EXPECT_TRUE(ShowsModel(full, f.console, 80, 25));
}

TEST(Renderer, RandomChangesAlwaysEndAsTheModel) {
  for (const vt::Charset charset : {vt::Charset::Utf8, vt::Charset::Ascii}) {
    std::mt19937 random(20010525);
    Fixture f(40, 12, charset);
    const auto pick = [&random](int n) {
      return static_cast<int>(random() % static_cast<unsigned>(n));
    };
    for (int step = 0; step < 400; ++step) {
      switch (pick(5)) {
        case 0:
        case 1: {
          std::string text(static_cast<size_t>(1 + pick(12)), ' ');
          for (char& ch : text) ch = static_cast<char>(pick(3) == 0 ? pick(256) : 'a' + pick(3));
          Put(f.console, pick(40), pick(12), text, static_cast<uint8_t>(pick(256)));
          break;
        }
        case 2: {
          const SMALL_RECT all{0, 0, 39, 11};
          CHAR_INFO fill{};
          fill.Char.AsciiChar = ' ';
          fill.Attributes = static_cast<WORD>(pick(256));
          f.console.Screen.Scroll(all, &all, COORD{0, static_cast<SHORT>(-pick(13))}, fill);
          break;
        }
        case 3:
          f.console.SetCursorPosition(
              COORD{static_cast<SHORT>(pick(40)), static_cast<SHORT>(pick(12))});
          break;
        default:
          f.console.CursorInfo.bVisible = pick(2) != 0 ? TRUE : FALSE;
          break;
      }
      f.Step();
      ASSERT_TRUE(ShowsModel(f.vt, f.console, f.width, f.height, charset)) << "step " << step;
    }
  }
}

TEST(RendererTitle, TitleSequences) {
  struct Case {
    std::string Title;
    vt::Charset Charset;
    std::string Expected;
  };
  const Case cases[] = {
      {"Rousel - time input", vt::Charset::Utf8, "\x1b]2;Rousel - time input\a"},
      {"a\x07"
       "b\x1b]c\x7f\x1f",
       vt::Charset::Utf8, "\x1b]2;ab]c\a"},
      {std::string("cut\0here", 8), vt::Charset::Utf8, "\x1b]2;cut\a"},
      {"\x80\xa5\xfa", vt::Charset::Utf8, "\x1b]2;\xd0\x90\xd0\xb5\xc2\xb7\a"},
      {"\x80\xa5\xfa", vt::Charset::Ascii, "\x1b]2;Ae.\a"},
  };
  for (const Case& c : cases) EXPECT_EQ(vt::TitleSequence(c.Title, c.Charset), c.Expected);
}

TEST(RendererText, AsciiStandInsArePrintable) {
  // The bytes around the printable range; the letters are checked through
  // the title above.
  EXPECT_EQ(vt::AsciiGlyph(0x00), ' ');
  EXPECT_EQ(vt::AsciiGlyph(0x1F), '?');
  EXPECT_EQ(vt::AsciiGlyph(0x7F), '?');
  for (int b = 0; b < 256; ++b) {
    const char shown = vt::AsciiGlyph(static_cast<uint8_t>(b));
    EXPECT_TRUE(shown >= 0x20 && shown < 0x7f) << b;
  }
}

TEST(RendererText, ScreenTextLeavesTheLastScreenAsLines) {
  model::Console console(20, 6, model::Cell{' ', 7});
  Put(console, 0, 0, "Rousel", 7);
  Put(console, 0, 2,
      "\xfa"
      "compiled",
      7);
  struct Case {
    int CursorRow;
    std::string Expected;
  };
  const Case cases[] = {
      {3,
       "Rousel\r\n\r\n\xc2\xb7"
       "compiled\r\n"},
      {5,
       "Rousel\r\n\r\n\xc2\xb7"
       "compiled\r\n\r\n\r\n"},
      {0,
       "Rousel\r\n\r\n\xc2\xb7"
       "compiled\r\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(vt::ScreenText(console.Screen, c.CursorRow, vt::Charset::Utf8), c.Expected);
  EXPECT_EQ(vt::ScreenText(model::Console(5, 3).Screen, 0, vt::Charset::Utf8), "");
}

}  // namespace

namespace {

// Meta keys send an ESC prefix while the program holds the terminal (a stock
// xterm sends Alt+X as eight-bit meta otherwise), and leaving gives back
// whatever the user had, also across a stop and a return.
TEST(EnterAndLeave, MetaSendsEscapeWhileHeldAndTheUserSettingComesBack) {
  for (const bool userMeta : {false, true}) {
    SCOPED_TRACE(userMeta);
    Vt vt(80, 25, false);
    vt.Feed(userMeta ? "\x1b[?1036h" : "\x1b[?1036l");
    vt.Feed(std::string(vt::EnterSequence()));
    EXPECT_TRUE(vt.MetaSendsEscape && vt.AltSendsEscape);
    vt.Feed(std::string(vt::LeaveSequence()));
    EXPECT_EQ(vt.MetaSendsEscape, userMeta);
    EXPECT_FALSE(vt.AltSendsEscape);
    vt.Feed(std::string(vt::EnterSequence(false)));  // back from a stop
    EXPECT_TRUE(vt.MetaSendsEscape && vt.AltSendsEscape);
    vt.Feed(std::string(vt::LeaveSequence()));
    EXPECT_EQ(vt.MetaSendsEscape, userMeta);
    EXPECT_TRUE(vt.Errors.empty());
  }
}

}  // namespace
