// The renderer checked by what a terminal shows: its bytes fed to libvterm
// must draw the model, with no control byte a terminal would act on, and
// with no code the terminal did not need.
#include "standin/terminal/vt/renderer.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "tests/support/vterm_screen.h"

namespace {

void Put(model::Console& console, int x, int y, std::string_view text, uint8_t attr) {
  for (size_t i = 0; i < text.size(); ++i)
    console.Screen.At(x + static_cast<int>(i), y) = {static_cast<uint8_t>(text[i]), attr};
}

struct Fixture {
  Fixture()
      : Console(80, 25, model::Cell{' ', 7}),
        Renderer(80, 25, vt::Charset::Utf8),
        Vt(80, 25, false) {
    Vt.Feed(vt::EnterSequence());
    Step();
  }
  std::string Step() {
    std::string out = Renderer.Render(Console);
    Vt.Feed(out);
    return out;
  }
  // Where the terminal differs from the model, "" where it does not.
  [[nodiscard]] std::string Differs() const {
    return Vt.Differs(Console, 80, 25, vt::Charset::Utf8);
  }
  model::Console Console;
  vt::Renderer Renderer;
  vtscreen::VtScreen Vt;
};

// Each change, one render after the other, costs the shortest bytes: the
// cheapest cursor move, colour codes only where they change (Win32 puts blue
// in bit 0, SGR red), no blank redrawn in a foreground nobody sees; a second
// render of the same model sends nothing, nor does moving a hidden cursor.
// A bright foreground that ends says so: the Linux console shows 90-97 as
// bold, which 30-37 keep.
TEST(RendererTest, EachChangeCostsTheShortestBytes) {
  Fixture f;
  f.Console.CursorInfo.bVisible = FALSE;
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
      {21, 19, "Y", 0x18, "\x1b[90mY"},             // still bright: no SGR 22
      {22, 19, "Z", 0x17, "\x1b[22;37mZ"},          // dark grey ends: bright ends
      {23, 19, "W", 0x11, "\x1b[34mW"},             // neither bright: no SGR 22
      {30, 21, "abcdef", 0x1F, "\x1b[22;31H\x1b[97mabcdef"},
      {29, 21, "z", 0x1F, "\x1b[7Dz"},  // back over the row: CUB
      {34, 21, "Y", 0x1F, "\x1b[4CY"},  // four cells cost as much as CUF: CUF
      {37, 21, "V", 0x1F, "\x1b[2CV"},  // a cell in other colours between: not written again
  };
  for (const auto& [x, y, text, attr, expected] : cases) {
    Put(f.Console, x, y, text, attr);
    f.Console.SetCursorPosition(COORD{SHORT(x), SHORT(y)});  // hidden: never sent
    EXPECT_EQ(f.Step(), expected) << x << "," << y;
    EXPECT_EQ(f.Step(), "");
    EXPECT_EQ(f.Differs(), "");
  }
}

// The cursor shown moves the cheapest way, ties going to CUP, then to the
// relative moves before CHA: each row moves it from one cell to another.
TEST(RendererTest, TheCursorMovesTheCheapestWay) {
  model::Console console(120, 30, model::Cell{' ', 7});
  vt::Renderer renderer(120, 30, vt::Charset::Utf8);
  vtscreen::VtScreen vt(120, 30, false);
  vt.Feed(vt::EnterSequence());
  vt.Feed(renderer.Render(console));
  const std::tuple<COORD, COORD, std::string> cases[] = {
      {{4, 8}, {5, 9}, "\x1b[B\x1b[C"},     // into row 10: CUP would be longer
      {{8, 2}, {9, 3}, "\x1b[B\x1b[C"},     // into column 10
      {{4, 7}, {5, 8}, "\x1b[9;6H"},        // as long as CUD and CUF: CUP
      {{7, 0}, {8, 1}, "\x1b[2;9H"},        // into column 9, a tie too
      {{0, 1}, {0, 0}, "\x1b[H"},           // the home position, a tie with CUU
      {{5, 7}, {0, 8}, "\x1b[9H"},          // a tie with CR and CUD
      {{97, 0}, {99, 1}, "\x1b[B\x1b[2C"},  // into column 100
      {{85, 0}, {89, 1}, "\x1b[2;90H"},     // into column 90, a tie
      {{6, 4}, {5, 4}, "\x1b[D"},           // one back
      {{4, 4}, {2, 4}, "\x1b[2D"},          // CUB before an as long CHA
      {{3, 4}, {1, 4}, "\x1b[2D"},         {{18, 4}, {8, 4}, "\x1b[9G"},  // CHA shorter than CUB
  };
  for (const auto& [from, to, expected] : cases) {
    console.SetCursorPosition(from);
    vt.Feed(renderer.Render(console));
    console.SetCursorPosition(to);
    const std::string out = renderer.Render(console);
    vt.Feed(out);
    EXPECT_EQ(out, expected) << to.X << "," << to.Y;
    EXPECT_EQ(vt.Differs(console, 120, 30, vt::Charset::Utf8), "");
  }
}

// The first render, and the first after a resize, clears the terminal and
// sets the cursor, the colours and the cursor's visibility, none of which
// it can know, and clears the model's change marks.  A size below one cell
// counts as one.
TEST(RendererTest, TheFirstRenderSetsEverything) {
  const std::tuple<const char*, int, int, std::string> cases[] = {
      {"as large as the console", 3, 2, "\x1b[0m\x1b[2J\x1b[H\x1b[0;37;40mab \x1b[2H   \x1b[?25l"},
      {"a terminal of no size", 0, 0, "\x1b[0m\x1b[2J\x1b[H\x1b[0;37;40ma\x1b[?25l"},
  };
  for (const auto& [name, columns, rows, expected] : cases) {
    model::Console console(3, 2, model::Cell{' ', 7});
    Put(console, 0, 0, "ab", 7);
    console.CursorInfo.bVisible = FALSE;
    vt::Renderer renderer(3, 2, vt::Charset::Utf8);
    EXPECT_TRUE(renderer.Fresh());
    if (columns != 3) renderer.SetViewport(columns, rows);
    EXPECT_EQ(renderer.Render(console), expected) << name;
    // The changes it drew are no longer marked.
    EXPECT_LT(console.Screen.ChangedBottom(), console.Screen.ChangedTop()) << name;
  }
  model::Console console(3, 2, model::Cell{' ', 7});
  Put(console, 0, 0, "ab", 7);
  console.CursorInfo.bVisible = FALSE;
  vt::Renderer none(0, 0, vt::Charset::Utf8);
  EXPECT_EQ(none.Render(console), "\x1b[0m\x1b[2J\x1b[H\x1b[0;37;40ma\x1b[?25l");
}

// A terminal smaller than the console shows the console's window, which
// follows the cursor, shown or hidden: the time field in a 40x12 terminal,
// the waiting screen's bracketed value.  A window that moves repaints what
// looks different, never clearing; a move that keeps it sends no cell, a
// value redrawn in it only its own.
TEST(RendererTest, ASmallTerminalShowsTheWindowAroundTheCursor) {
  for (const BOOL shown : {TRUE, FALSE}) {
    Fixture f;
    f.Console.CursorInfo.bVisible = shown;
    Put(f.Console, 0, 0, "Enter alarm time or press ALT-X to exit: [  :  ]", 7);
    Put(f.Console, 0, 2, "Remaining time.....................[08:53:45]", 0x0F);
    Put(f.Console, 70, 20, "far away", 0x1F);
    f.Step();
    vtscreen::VtScreen vt(40, 12, false);
    vt.Feed(std::string(vt::EnterSequence()) + "\x1b[35;42m\x1b[2J\x1b[7;9H");
    f.Renderer.SetViewport(40, 12);
    f.Console.SetWindowSize(40, 12);
    vt.Feed(f.Renderer.Render(f.Console));
    struct Move {
      COORD Cursor;
      COORD At;  // where Text is written first
      std::string Text;
      bool Keeps;  // the window stays where it was
    };
    const Move moves[] = {
        {{42, 0}, {}, "", false},  // the time field: the window starts at column 3
        {{44, 2}, {}, "", false},
        {{44, 3}, {}, "", true},
        {{44, 2}, {36, 2}, "08:53:44", true},
        {{44, 14}, {}, "", false},  // down only: the window moves down alone
        {{44, 2}, {}, "", false},
        {{77, 21}, {}, "", false},  // the far corner
        {{77, 21}, {74, 20}, "AWAY", true},
        {{0, 0}, {}, "", false},
    };
    for (const Move& move : moves) {
      Put(f.Console, move.At.X, move.At.Y, move.Text, 0x0F);
      f.Console.SetCursorPosition(move.Cursor);
      const std::string out = f.Renderer.Render(f.Console);
      vt.Feed(out);
      EXPECT_EQ(vt.Differs(f.Console, 40, 12, vt::Charset::Utf8), "") << move.Cursor.X;
      EXPECT_EQ(out.find("\x1b[2J"), std::string::npos);
      // A move that keeps the window sends at most the cursor's move, a
      // text written in it its own cells.
      const size_t most = move.Text.empty() ? (shown != FALSE ? 8U : 0U) : move.Text.size() + 24;
      if (move.Keeps) {
        EXPECT_LE(out.size(), most) << out;
      }
    }
  }
}

// A terminal smaller than the console's window shows its top left part;
// what lies past the terminal's last column or row, the cursor included, is
// never sent.  A window at the buffer's end shows no cell past it.
TEST(RendererTest, NothingPastTheTerminalsEdgeIsSent) {
  Fixture f;
  f.Renderer.SetViewport(40, 12);
  f.Step();
  const std::tuple<COORD, COORD, std::string> cases[] = {
      {{0, 12}, {0, 12}, "\x1b[?25l"},                           // the row below, the cursor on it
      {{40, 0}, {40, 0}, ""},                                    // the column to the right
      {{39, 11}, {39, 11}, "\x1b[12;40Hx\x1b[12;40H\x1b[?25h"},  // the last cell
  };
  for (const auto& [cell, cursor, expected] : cases) {
    Put(f.Console, cell.X, cell.Y, "x", 7);
    f.Console.SetCursorPosition(cursor);
    EXPECT_EQ(f.Renderer.Render(f.Console), expected) << cursor.X << "," << cursor.Y;
  }
  // The terminal as large as the buffer, the window a quarter of it in its
  // bottom right corner: the terminal shows the window, which ends where
  // the buffer ends, and nothing past it.
  Fixture g;
  g.Console.SetWindowSize(40, 12);
  Put(g.Console, 40, 13, "corner", 0x1F);
  g.Console.SetCursorPosition({79, 24});
  g.Step();
  EXPECT_EQ(g.Vt.Differs(g.Console, 40, 12, vt::Charset::Utf8), "");
}

// The last screen's text, for the normal screen; a terminal without an
// alternate screen shows it already and gets the cursor put where the text
// would have left it.
TEST(RendererTest, ScreenTextLeavesTheRowsUpToTheCursorOrTheLastText) {
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
  EXPECT_EQ(vt::ScreenText(model::Console(5, 3, model::Cell{' ', 7}).Screen, 0, vt::Charset::Utf8),
            "");
  EXPECT_EQ(vt::LineAfterText(model::Console(5, 3, model::Cell{' ', 7}).Screen, 0), "\x1b[H");
  // Text in the first column of the bottom row alone; in the top row alone.
  model::Console corner(4, 3, model::Cell{' ', 7});
  Put(corner, 0, 2, "x", 7);
  EXPECT_EQ(vt::ScreenText(corner.Screen, 0, vt::Charset::Utf8), "\r\n\r\nx\r\n");
  model::Console top(4, 3, model::Cell{' ', 7});
  Put(top, 0, 0, "x", 7);
  EXPECT_EQ(vt::LineAfterText(top.Screen, 1), "\x1b[H\r\n");
  // Byte 1 is a character (a smiley), not a blank.
  model::Console smiley(3, 1, model::Cell{' ', 7});
  Put(smiley, 0, 0, "a\x01", 7);
  EXPECT_EQ(vt::ScreenText(smiley.Screen, 0, vt::Charset::Utf8), "a\xe2\x98\xba\r\n");
}

// Once told the terminal may show anything (after a stop, or another program
// drew on it), the next render draws every cell, the colours, the cursor and
// its visibility afresh.
TEST(RendererTest, AfterInvalidateTheTerminalIsDrawnAgainWhateverItShows) {
  Fixture f;
  Put(f.Console, 3, 2, "abc", 0x1F);
  f.Console.SetCursorPosition({5, 4});
  f.Step();
  f.Vt.Feed("\x1b[35;42m\x1b[2J\x1b[7;9H\x1b[?25l");
  f.Renderer.Invalidate();
  f.Step();
  EXPECT_EQ(f.Differs(), "");
}

// A terminal without UTF-8 gets a Latin letter for each Cyrillic one and a
// mark for each other character of the code page; a title drops the control
// bytes and ends at a NUL.  Only the Linux console has no alternate screen.
TEST(RendererTest, AnAsciiTerminalSeesALetterOrAMarkForEveryByte) {
  model::Console console(32, 8, model::Cell{' ', 7});
  for (int b = 0; b < 256; ++b) console.Screen.At(b % 32, b / 32) = {static_cast<uint8_t>(b), 7};
  EXPECT_EQ(vt::ScreenText(console.Screen, 0, vt::Charset::Ascii),
            " ??????.????????????????????????\r\n"
            " !\"#$%&'()*+,-./0123456789:;<=>?\r\n"
            "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_\r\n"
            "`abcdefghijklmnopqrstuvwxyz{|}~?\r\n"
            "ABVGDEZZIJKLMNOPRSTUFHCCSS'Y'EUA\r\n"
            "abvgdezzijklmnop###|++++++|+++++\r\n"
            "++++-++++++++-+++++++++++++#####\r\n"
            "rstufhccss'y'euaEeEeIiUuo..vN?# \r\n");
  using namespace std::string_view_literals;
  EXPECT_EQ(vt::TitleSequence("a\x1f\x7f~\x80"
                              "b\0c"sv,
                              vt::Charset::Ascii),
            "\x1b]2;a~Ab\a");
  for (const auto& [term, alternate] :
       {std::pair{"linux", false}, {"linux-16color", false}, {"linu", true}, {"xlinux", true}})
    EXPECT_EQ(vt::HasAlternateScreen(term), alternate) << term;
  EXPECT_TRUE(vt::HasAlternateScreen(nullptr));
}

}  // namespace
