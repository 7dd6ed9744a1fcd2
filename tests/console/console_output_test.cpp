// The console output of console/console_output.cpp on the test end: the
// writer, the cursor's position and shape, colours, scrolling, and the start
// on consoles of every size.
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>

#include "tests/console/console_test_support.h"

namespace {

using ConsoleOutputTest = ConsoleServicesTest;

struct WriterRow {
  const char* Name;
  int Width, Height;
  COORD Start;  // 0-based cursor before writing
  std::string Bytes;
  std::vector<std::string> Rows;  // from the first
  int EndX, EndY;                 // 1-based cursor after writing
  size_t Writes, Beeps;           // cell writes; bells
};
using WriterRows = Table<ConsoleServicesTest, WriterRow>;

TEST_P(WriterRows, LeaveTheScreenAndTheCursor) {
  const WriterRow& c = GetParam();
  Start({.Width = c.Width, .Height = c.Height, .Cursor = c.Start});
  // Something on the first row so scrolling shows.
  if (c.Start.Y == c.Height - 1) testend::Console().Screen.At(0, 0).Char = '#';
  testend::ClearCalls();
  Put(c.Bytes);
  for (size_t row = 0; row < c.Rows.size(); ++row)
    EXPECT_EQ(testend::Row(static_cast<int>(row) + 1), c.Rows[row]) << "row " << row + 1;
  EXPECT_EQ(WhereX() * 100 + WhereY(), c.EndX * 100 + c.EndY);
  EXPECT_EQ(testend::CallsStarting({"WriteConsoleOutputA"}).size(), c.Writes);
  EXPECT_EQ(testend::CallsStarting({"MessageBeep 0"}).size(), c.Beeps);  // the default sound
}

const std::string Controls("a\0\t\x1b\x62", 5);  // the last byte is 'b'
// clang-format off
INSTANTIATE_TEST_SUITE_P(ConsoleOutput, WriterRows, ::testing::Values(
    WriterRow{"BackspaceAndReturnLetTheNextGlyphOverwrite", 80, 25, {0, 0}, "AB\bC\rD", {"DC"}, 2, 1, 3, 0},
    WriterRow{"BackspaceNeverGoesUpARow", 10, 5, {0, 1}, "\b\bZ", {"", "Z"}, 2, 2, 1, 0},
    WriterRow{"LineFeedKeepsTheColumn", 80, 25, {0, 0}, "ab\ncd", {"ab", "  cd"}, 5, 2, 2, 0},
    WriterRow{"TheBellBeepsWithinARun", 80, 25, {0, 0}, "ab\acd", {"abcd"}, 5, 1, 1, 1},
    WriterRow{"OtherControlBytesAreGlyphs", 80, 25, {0, 0}, Controls, {Controls}, 6, 1, 1, 0},
    WriterRow{"TheWrapIsImmediate", 4, 3, {2, 0}, "xy", {"  xy", ""}, 1, 2, 1, 0},
    WriterRow{"TheLastCellScrolls", 4, 3, {3, 2}, "q", {"", "   q", ""}, 1, 3, 1, 0},
    WriterRow{"ALineFeedOnTheLastRowScrolls", 4, 3, {2, 2}, "\n", {"", "", ""}, 3, 3, 0, 0},
    WriterRow{"AFullLineAndCrLfLeaveAnEmptyRow", 80, 25, {0, 0},
              std::string(80, '=') + "\r\nnext", {std::string(80, '='), "", "next"}, 5, 3, 2, 0}),
    RowName());
// clang-format on

TEST_F(ConsoleOutputTest, GotoXYMovesTheConsoleCursorAtOnceAndIgnoresPositionsOutside) {
  Start();
  GotoXY(3, 4);
  EXPECT_EQ(testend::Console().Cursor.X * 100 + testend::Console().Cursor.Y, 203);
  for (const auto& [x, y] : {std::pair{80, 25}, {0, 5}, {5, 0}, {81, 1}, {1, 26}}) {
    GotoXY(static_cast<uint8_t>(x), static_cast<uint8_t>(y));
    EXPECT_EQ(WhereX() * 100 + WhereY(), 8025) << x << "," << y;  // the corner, then kept
  }
}

TEST_F(ConsoleOutputTest, TextColorKeepsBackgroundAndSetsBlinkOnlyAbove15) {
  Start({.Fill = model::Cell{' ', 0x1E}});  // yellow on blue under the cursor
  Put("x");
  EXPECT_EQ(testend::AttrAt(1, 1), 0x1E);
  for (const auto& [color, attr] :
       {std::pair{7, 0x17}, {31, 0x9F}, {0, 0x10}, {16, 0x90}, {16 + 4, 0x94}}) {
    TextColor(static_cast<uint8_t>(color));
    EXPECT_EQ(TextAttr, attr) << color;
  }
}

// Windows 10 keeps 9001 rows; the layer works on the first 234 and the
// cursor may stand far below them.  Also where a scroll's destination above
// the buffer is refused (Wine), which clears by blank rows.
TEST_F(ConsoleOutputTest, OnATallBufferStartsInTheColoursUnderTheCursorAndClearsOnly234Rows) {
  for (const bool refused : {false, true}) {
    ResetConsoleServices();
    testend::Reset({.Height = 300, .Cursor = {3, 250}, .RefuseDestinationAboveBuffer = refused});
    testend::Console().Screen.At(3, 250).Attr = 0x1E;
    testend::Console().Screen.At(3, 233).Attr = 0x4F;
    for (int y = 0; y < 300; ++y) testend::Console().Screen.At(5, y).Char = 'o';
    InitStandardOutput();
    InitConsole();
    EXPECT_EQ(TextAttr, 0x1E);
    EXPECT_EQ(WhereY(), 234);  // the layer's cursor is inside its area
    ClrScr();
    EXPECT_EQ(testend::Row(1) + testend::Row(234) + testend::Row(235), "     o") << refused;
    EXPECT_EQ(WhereX() * 100 + WhereY(), 101);
  }
}

// Some consoles (a detached one, a pseudo console before its first resize)
// report a size of 0 by 0; the program still needs an area to draw in, and
// colours, where no cell lies under the cursor to give them.
TEST_F(ConsoleOutputTest, AConsoleThatReportsNoSizeGetsTheUsualAreaAndColours) {
  Start({.Width = 0, .Height = 0, .Cursor = {5, 5}});
  EXPECT_EQ(ScreenWidth * 100 + ScreenHeight, 8025);
  EXPECT_EQ(TextAttr, 7);
}

// Scrolling moves the area up and blanks what it leaves, on either platform
// family, and where a destination above the buffer is refused (Wine: there
// as a move of the rows below, or as blank rows).
TEST_F(ConsoleOutputTest, ScrollingMovesTheAreaUpInAtMostThreeCalls) {
  for (const auto& [platform, refused] : {std::pair{DWORD{VER_PLATFORM_WIN32_NT}, false},
                                          {VER_PLATFORM_WIN32_WINDOWS, false},
                                          {VER_PLATFORM_WIN32_NT, true}}) {
    // The NT family moves in one call, the others in halves and a last row.
    for (const auto& [rows, calls95] : {std::pair{0, 0u}, {1, 1u}, {2, 2u}, {23, 3u}, {25, 3u}}) {
      SCOPED_TRACE(::testing::Message() << platform << (refused ? " refused: " : ": ") << rows);
      Start({.Platform = platform, .RefuseDestinationAboveBuffer = refused});
      for (int y = 1; y <= 25; ++y) Put(std::to_string(y) + (y < 25 ? "\r\n" : ""));
      testend::ClearCalls();
      ScrollUp(rows);
      for (int y = 1; y <= 25; ++y)
        EXPECT_EQ(testend::Row(y), y + rows <= 25 ? std::to_string(y + rows) : "") << y;
      if (!refused) {
        EXPECT_EQ(testend::CallsStarting({"Scroll"}).size(),
                  platform == VER_PLATFORM_WIN32_NT ? (rows > 0 ? 1u : 0u) : calls95);
      }
    }
  }
}

// Hidden, then shown again in the shape it had: thin as it was (an underline,
// 15 % of the cell, up to 25 %), or tall (99 %), and shown even when it was
// hidden at the start.
TEST_F(ConsoleOutputTest, TheCursorComesBackInItsShape) {
  for (const auto& [size, visible, thin] :
       {std::tuple{25u, TRUE, true}, {26u, TRUE, false}, {80u, FALSE, true}}) {
    Start({.CursorInfo = {size, visible}});
    HideCursor();
    EXPECT_EQ(testend::Console().CursorInfo.bVisible, FALSE);
    RestoreCursor();
    EXPECT_EQ(testend::Console().CursorInfo.bVisible, TRUE) << size;
    EXPECT_EQ(testend::Console().CursorInfo.dwSize, thin ? 15u : 99u) << size;
  }
}

TEST_F(ConsoleOutputTest, WithoutAConsoleForInputTheProgramStopsInsteadOfSpinning) {
  ResetConsoleServices();
  testend::Reset({.InputIsNotAConsole = true});
  EXPECT_THAT([] { InitConsole(); }, ::testing::Throws<testend::ProcessExit>(
                                         ::testing::Field(&testend::ProcessExit::Code, 1u)));
  EXPECT_TRUE(testend::CallsStarting({"WriteConsoleOutputA"}).empty());
}

}  // namespace
