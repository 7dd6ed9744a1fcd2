// The renderer checked by what a terminal shows: its bytes fed to libvterm
// must draw the model, with no control byte a terminal would act on, and
// with no code the terminal did not need.
#include "standin/terminal/vt/renderer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

#include "tests/support/vterm_screen.h"

namespace {

void Put(model::Console& console, int x, int y, std::string_view text, uint8_t attr) {
  for (size_t i = 0; i < text.size(); ++i)
    console.Screen.At(x + static_cast<int>(i), y) = {static_cast<uint8_t>(text[i]), attr};
}

struct Fixture {
  explicit Fixture(int w = 80, int h = 25, vt::Charset charset = vt::Charset::Utf8)
      : console(w, h, model::Cell{' ', 7}),
        renderer(w, h, charset),
        vt(w, h, charset != vt::Charset::Utf8) {
    vt.Feed(vt::EnterSequence());
    Step();
  }
  std::string Step() {
    std::string out = renderer.Render(console);
    vt.Feed(out);
    return out;
  }
  // Where the terminal differs from the model, "" where it does not.
  [[nodiscard]] std::string Differs(vt::Charset charset = vt::Charset::Utf8) const {
    return vt.Differs(console, console.Screen.Width(), console.Screen.Height(), charset);
  }
  model::Console console;
  vt::Renderer renderer;
  vtscreen::VtScreen vt;
};

// Each change, one render after the other, costs the shortest bytes: the
// cheapest cursor move, colour codes only where they change (Win32 puts blue
// in bit 0, SGR red), no blank redrawn in a foreground nobody sees; a second
// render of the same model sends nothing, nor does moving a hidden cursor.
// A bright foreground that ends says so: the Linux console shows 90-97 as
// bold, which 30-37 keep.
TEST(Renderer, EachChangeCostsTheShortestBytes) {
  Fixture f;
  f.console.CursorInfo.bVisible = FALSE;
  f.Step();
  const std::tuple<int, int, const char*, uint8_t, std::string> cases[] = {
      {42, 0, "X", 7, "\x1b[42CX"},                 // right of the cursor: CUF
      {44, 0, "X", 7, " X"},                        // one unchanged cell in between: written again
      {5, 0, "X", 7, "\x1b[6GX"},                   // back on the row: CHA
      {6, 3, "X", 7, "\x1b[3BX"},                   // straight below: CUD
      {30, 8, "X", 7, "\x1b[9;31HX"},               // anywhere else: CUP
      {0, 9, "X", 7, "\r\x1b[BX"},                  // row 10, column 1: CR and CUD, not CUP
      {0, 15, "X", 7, "\x1b[16HX"},                 // column 1: CUP without a column
      {0, 16, "X", 7, "\r\x1b[BX"},                 // the row below, column 1: CR and CUD
      {2, 17, "X", 7, "\x1b[B\x1b[CX"},             // one down, one right
      {79, 18, "X", 7, "\x1b[19;80HX"},             // the last column
      {0, 19, "X", 7, "\x1b[20HX"},                 // after the last column the cursor is unknown
      {1, 19, "ab", 0x09, "\x1b[94mab"},            // foreground only, bright
      {3, 19, "ab", 0xC9, "\x1b[101mab"},           // background only, bright
      {5, 19, "ab", 0x73, "\x1b[22;36;47mab"},      // both, and no longer bright (bold)
      {7, 19, "X", 0x73, "X"},                      // the same colours again
      {0, 19, "X", 7, ""},                          // the same cell again: nothing
      {20, 19, " ", 0x0F, ""},                      // a blank in another foreground: nothing
      {20, 19, " ", 0x1F, "\x1b[12C\x1b[97;44m "},  // a blank on another background
  };
  for (const auto& [x, y, text, attr, expected] : cases) {
    Put(f.console, x, y, text, attr);
    f.console.SetCursorPosition(COORD{SHORT(x), SHORT(y)});  // hidden: never sent
    EXPECT_EQ(f.Step(), expected) << x << "," << y;
    EXPECT_EQ(f.Step(), "");
    EXPECT_EQ(f.Differs(), "");
  }
}

// A terminal smaller than the console shows the console's window, which
// follows the cursor, shown or hidden: the time field in a 40x12 terminal,
// the waiting screen's bracketed value.  A window that moves repaints what
// looks different, never clearing; a move that keeps it sends no cell, a
// value redrawn in it only its own.  A terminal resized, which lost its
// contents, gets the whole window.
TEST(Renderer, ASmallTerminalShowsTheWindowAroundTheCursor) {
  for (const BOOL shown : {TRUE, FALSE}) {
    Fixture f;
    f.console.CursorInfo.bVisible = shown;
    Put(f.console, 0, 0, "Enter alarm time or press ALT-X to exit: [  :  ]", 7);
    Put(f.console, 0, 2, "Remaining time.....................[08:53:45]", 0x0F);
    Put(f.console, 70, 20, "far away", 0x1F);
    f.Step();
    vtscreen::VtScreen vt(40, 12, false);
    vt.Feed(std::string(vt::EnterSequence()) + "\x1b[35;42m\x1b[2J");
    f.renderer.SetViewport(40, 12);
    f.console.SetWindowSize(40, 12);
    vt.Feed(f.renderer.Render(f.console));
    struct Move {
      COORD Cursor;
      COORD At;  // where Text is written first
      std::string Text;
      int Row;  // a terminal row that then shows Shows
      std::string Shows;
    };
    const Move moves[] = {
        {{42, 0}, {}, "", 0, "er alarm time or press ALT-X to exit: ["},
        {{44, 2}, {}, "", 2, "ning time.....................[08:53:45]"},
        {{44, 3}, {}, "", 2, ""},  // the same window: no cell
        {{44, 2}, {36, 2}, "08:53:44", 2, "ning time.....................[08:53:44]"},
        {{77, 21}, {}, "", 10, "far away"},
        {{77, 21}, {74, 20}, "AWAY", 10, "far AWAY"},
        {{0, 0}, {}, "", 0, "Enter alarm time or press ALT-X to exit:"},
    };
    for (const Move& move : moves) {
      Put(f.console, move.At.X, move.At.Y, move.Text, 0x0F);
      f.console.SetCursorPosition(move.Cursor);
      const std::string out = f.renderer.Render(f.console);
      vt.Feed(out);
      EXPECT_EQ(vt.Differs(f.console, 40, 12, vt::Charset::Utf8), "") << move.Shows;
      EXPECT_EQ(out.find("\x1b[2J"), std::string::npos);
      std::string shows;
      for (int x = 0; x < 40; ++x) shows += static_cast<char>(vt.At(x, move.Row).Glyph);
      EXPECT_NE(shows.find(move.Shows), std::string::npos) << shows;
      // A move that keeps the window sends at most the cursor's move, a
      // text written in it its own cells.
      const size_t most = move.Shows.empty() ? (shown != FALSE ? 8U : 0U) : move.Text.size() + 24;
      if (move.Shows.empty() || !move.Text.empty()) {
        EXPECT_LE(out.size(), most) << out;
      }
    }
    vtscreen::VtScreen grown(80, 25, false);
    grown.Feed(std::string(vt::EnterSequence()) + "\x1b[35;42m\x1b[2J");
    f.renderer.SetViewport(80, 25);
    f.console.SetWindowSize(80, 25);
    grown.Feed(f.renderer.Render(f.console));
    EXPECT_EQ(grown.Differs(f.console, 80, 25, vt::Charset::Utf8), "");
  }
}

// Random writes of every byte in every colour, scrolls and cursor moves.
TEST(Renderer, RandomChangesAlwaysEndAsTheModelWithNoRawControlByte) {
  for (const vt::Charset charset : {vt::Charset::Utf8, vt::Charset::Ascii}) {
    std::mt19937 random(20010525);
    const auto pick = [&random](int n) { return static_cast<int>(random() % unsigned(n)); };
    Fixture f(40, 12, charset);
    for (int b = 0; b < 256; ++b) Put(f.console, b % 40, b / 40, std::string(1, char(b)), 0x1F);
    for (int step = 0; step < 400; ++step) {
      f.Step();
      ASSERT_EQ(f.Differs(charset), "") << "step " << step;
      if (pick(5) < 2) {
        std::string text(static_cast<size_t>(1 + pick(12)), ' ');
        for (char& ch : text) ch = static_cast<char>(pick(3) == 0 ? pick(256) : 'a' + pick(3));
        const int x = pick(40);
        Put(f.console, x, pick(12), text.substr(0, size_t(40 - x)), uint8_t(pick(256)));
      } else if (pick(3) == 0) {
        const SMALL_RECT all{0, 0, 39, 11};
        const CHAR_INFO fill{{}, static_cast<WORD>(pick(256))};  // NUL cells, blank too
        f.console.Screen.Scroll(all, &all, COORD{0, static_cast<SHORT>(-pick(13))}, fill);
      } else {
        f.console.SetCursorPosition(COORD{SHORT(pick(40)), SHORT(pick(12))});
        f.console.CursorInfo.bVisible = pick(2) != 0 ? TRUE : FALSE;
      }
    }
  }
}

TEST(Renderer, TitleSequencesCarryNoControlByte) {
  const std::tuple<std::string, vt::Charset, std::string> cases[] = {
      {std::string("a\x07\x1b]\x7f\x1f\0cut", 10), vt::Charset::Utf8, "\x1b]2;a]\a"},
      {"\x80\xa5\xfa\xef", vt::Charset::Utf8, "\x1b]2;\xd0\x90\xd0\xb5\xc2\xb7\xd1\x8f\a"},
      {"\x80\xa5\xfa\xef", vt::Charset::Ascii, "\x1b]2;Ae.a\a"},
  };
  for (const auto& [title, charset, expected] : cases)
    EXPECT_EQ(vt::TitleSequence(title, charset), expected);
}

// The last screen's text, for the normal screen; a terminal without an
// alternate screen shows it already and gets the cursor put where the text
// would have left it.
TEST(Renderer, ScreenTextLeavesTheRowsUpToTheCursorOrTheLastText) {
  model::Console console(20, 6, model::Cell{' ', 7});
  Put(console, 0, 0, "Rousel", 7);
  Put(console, 0, 2, "\xfa|", 7);
  const std::tuple<int, std::string, std::string> cases[] = {
      {3, "", "\x1b[3H\r\n"}, {5, "\r\n\r\n", "\x1b[5H\r\n"}, {0, "", "\x1b[3H\r\n"}};
  for (const auto& [row, tail, lineAfter] : cases) {
    EXPECT_EQ(vt::ScreenText(console.Screen, row, vt::Charset::Utf8),
              std::string("Rousel\r\n\r\n\xc2\xb7|\r\n") + tail);
    EXPECT_EQ(vt::LineAfterText(console.Screen, row), lineAfter);
  }
  EXPECT_EQ(vt::ScreenText(model::Console(5, 3).Screen, 0, vt::Charset::Utf8), "");
  EXPECT_EQ(vt::LineAfterText(model::Console(5, 3).Screen, 0), "\x1b[H");
}

// Meta keys send an ESC prefix while the program holds the terminal (a stock
// xterm sends Alt+X as eight-bit meta otherwise); leaving gives back all the
// user had, also after a stop and a return, which keeps the saved title.
// Only the Linux console goes without the alternate screen.
TEST(Renderer, EnterAndLeaveGiveBackTheUserSettings) {
  for (const auto& [term, alternate] : {std::pair{"xterm", true}, std::pair{"linux", false}}) {
    ASSERT_EQ(vt::HasAlternateScreen(term), alternate);
    for (const bool userMeta : {false, true}) {
      vtscreen::VtScreen vt(80, 25, false);
      vt.Feed(userMeta ? "\x1b[?1036h" : "\x1b[?1036l");
      for (const bool first : {true, false}) {
        vt.Feed(vt::EnterSequence(first, alternate));
        EXPECT_TRUE(vt.Mode(1036) && vt.Mode(1039) && !vt.Mode(7) && vt.Alternate == alternate);
        vt.Feed(vt::LeaveSequence(alternate));
        EXPECT_TRUE(vt.Mode(1036) == userMeta && !vt.Mode(1039) && vt.Mode(7) && vt.Mode(25));
        EXPECT_FALSE(vt.Alternate);
      }
      EXPECT_TRUE(vt.Errors.empty()) << vt.Errors.front();
    }
    EXPECT_EQ(vt::EnterSequence(false, alternate).find("\x1b[22"), std::string::npos);
  }
  EXPECT_TRUE(vt::HasAlternateScreen(nullptr) && vt::HasAlternateScreen("") &&
              vt::HasAlternateScreen("screen.linux") && !vt::HasAlternateScreen("linux-16color"));
}

}  // namespace
