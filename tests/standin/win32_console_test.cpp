// The stand-in's console functions (standin/win32_console.cpp) on its test
// end: what Windows refuses is refused, before anything is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "standin/model/console_model.h"
#include "standin/model/kernel_objects.h"
#include "standin/testend/test_end.h"
#include "win32/win32.h"

namespace {

TEST(Win32ConsoleTest, CallsWithoutTheirArgumentsFail) {
  testend::Reset();
  const HANDLE in = model::ConsoleInputHandle();
  const HANDLE out = model::ConsoleOutputHandle();
  INPUT_RECORD record{};
  DWORD count = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  CONSOLE_CURSOR_INFO cursor{};
  CHAR_INFO cell{};
  SMALL_RECT region{0, 0, 0, 0};
  EXPECT_EQ(ReadConsoleInputA(in, nullptr, 1, &count), FALSE);
  EXPECT_EQ(ReadConsoleInputA(in, &record, 1, nullptr), FALSE);
  EXPECT_EQ(ReadConsoleInputA(out, &record, 1, &count), FALSE);
  EXPECT_EQ(GetNumberOfConsoleInputEvents(in, nullptr), FALSE);
  EXPECT_EQ(GetNumberOfConsoleInputEvents(out, &count), FALSE);
  EXPECT_EQ(GetConsoleScreenBufferInfo(in, &info), FALSE);
  EXPECT_EQ(GetConsoleScreenBufferInfo(out, nullptr), FALSE);
  EXPECT_EQ(GetConsoleCursorInfo(out, nullptr), FALSE);
  EXPECT_EQ(GetConsoleCursorInfo(in, &cursor), FALSE);
  const CONSOLE_CURSOR_INFO shape{25, TRUE};  // a shape the output would take
  EXPECT_EQ(SetConsoleCursorInfo(in, &shape), FALSE);
  EXPECT_EQ(WriteConsoleOutputA(in, &cell, COORD{1, 1}, COORD{0, 0}, &region), FALSE);
  EXPECT_EQ(WriteConsoleOutputA(out, nullptr, COORD{1, 1}, COORD{0, 0}, &region), FALSE);
  EXPECT_EQ(ScrollConsoleScreenBufferA(out, nullptr, nullptr, COORD{0, 0}, &cell), FALSE);
  WORD attribute = 0;
  EXPECT_EQ(ReadConsoleOutputAttribute(out, nullptr, 1, COORD{0, 0}, &count), FALSE);
  EXPECT_EQ(ReadConsoleOutputAttribute(in, &attribute, 1, COORD{0, 0}, &count), FALSE);
  EXPECT_EQ(SetConsoleTitleA(nullptr), FALSE);
  EXPECT_EQ(GetStdHandle(7), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(testend::Console().Input.empty());
}

// The test end's 6 x 3 screen, rows apart by '|'.
std::string Shown() {
  std::string shown;
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 6; ++x) shown += static_cast<char>(testend::Console().Screen.At(x, y).Char);
    if (y < 2) shown += '|';
  }
  return shown;
}

auto Corners(const SMALL_RECT& r) {
  return std::tuple(r.Left, r.Top, r.Right, r.Bottom);
}

// A scroll moves the rectangle (the part inside the buffer, the destination
// moved with it) and fills what it leaves; a clipping rectangle keeps every
// cell outside it as it was; a rectangle wholly outside the buffer is
// refused.
TEST(Win32ConsoleTest, AScrollMovesTheRectangleAndFillsWhatItLeaves) {
  struct Row {
    const char* Name;
    SMALL_RECT Scroll;
    bool Clipped;  // to columns 0..2
    COORD To;
    const char* Rows;  // the three rows after it
    BOOL Result = TRUE;
  };
  const Row rows[] = {
      {"RightByTwo", {0, 0, 3, 0}, false, {2, 0}, "..abcd|ghijkl|mnopqr"},
      {"UpLeftPastTheRightEdge", {2, 1, 7, 2}, false, {0, 0}, "ijklef|opqr..|mn...."},
      {"FromLeftOfTheBuffer", {-2, 0, 1, 0}, false, {3, 0}, "..cdea|ghijkl|mnopqr"},
      {"FromAboveTheBuffer", {0, -1, 5, 0}, false, {0, 1}, "......|ghijkl|abcdef"},
      {"DownWithinTheClip", {0, 0, 5, 0}, true, {0, 1}, "...def|abcjkl|mnopqr"},
      {"RightOfTheBufferOnItsRows", {7, 0, 9, 2}, false, {0, 0}, "abcdef|ghijkl|mnopqr", FALSE},
  };
  for (const Row& row : rows) {
    testend::Reset({.Width = 6, .Height = 3});
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CHAR_INFO cells[18];
    for (int i = 0; i < 18; ++i) cells[i] = {{static_cast<WCHAR>('a' + i)}, 7};
    SMALL_RECT all{0, 0, 5, 2};
    ASSERT_EQ(WriteConsoleOutputA(out, cells, {6, 3}, {0, 0}, &all), TRUE);
    const SMALL_RECT clip{0, 0, 2, 2};
    const CHAR_INFO fill{{'.'}, 7};
    EXPECT_EQ(
        ScrollConsoleScreenBufferA(out, &row.Scroll, row.Clipped ? &clip : nullptr, row.To, &fill),
        row.Result)
        << row.Name;
    EXPECT_EQ(Shown(), row.Rows) << row.Name;
  }
}

// A write takes no more than the source buffer holds from its coordinate and
// no more than the screen has, and says which rectangle it wrote (an empty
// one, left of and above its corner, when it wrote none); a coordinate
// outside the source buffer is refused.
TEST(Win32ConsoleTest, AWriteTakesWhatBothBuffersHoldAndSaysWhere) {
  struct Row {
    const char* Name;
    COORD Coord;  // in the 3 x 2 source "ABC" / "DEF"
    SMALL_RECT Region;
    BOOL Result;
    SMALL_RECT Written;
    const char* Rows;
  };
  const Row rows[] = {
      {"FromTheSourcesLastCell", {2, 1}, {1, 1, 5, 2}, TRUE, {1, 1, 1, 1}, "......|.F....|......"},
      {"PastTheScreensCorner", {0, 0}, {4, 2, 9, 9}, TRUE, {4, 2, 5, 2}, "......|......|....AB"},
      {"OffTheScreen", {0, 0}, {7, 4, 9, 5}, TRUE, {7, 4, 6, 3}, "......|......|......"},
      {"RightOfTheScreenOnItsRows",
       {0, 0},
       {7, 0, 9, 1},
       TRUE,
       {7, 0, 6, -1},
       "......|......|......"},
      {"ColumnPastTheSource", {3, 0}, {0, 0, 1, 1}, FALSE, {0, 0, 1, 1}, "......|......|......"},
      {"RowPastTheSource", {0, 2}, {0, 0, 1, 1}, FALSE, {0, 0, 1, 1}, "......|......|......"},
      {"ColumnLeftOfTheSource", {-1, 0}, {0, 0, 1, 1}, FALSE, {0, 0, 1, 1}, "......|......|......"},
  };
  for (const Row& row : rows) {
    testend::Reset({.Width = 6, .Height = 3, .Fill = model::Cell{'.', 7}});
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CHAR_INFO source[6];
    for (int i = 0; i < 6; ++i) source[i] = {{static_cast<WCHAR>('A' + i)}, 7};
    SMALL_RECT region = row.Region;
    EXPECT_EQ(WriteConsoleOutputA(out, source, {3, 2}, row.Coord, &region), row.Result) << row.Name;
    EXPECT_EQ(Corners(region), Corners(row.Written)) << row.Name;
    EXPECT_EQ(Shown(), row.Rows) << row.Name;
  }
}

// Attributes are read from a cell on, row after row, up to the buffer's
// end; from a cell outside it nothing is read and the call fails.
TEST(Win32ConsoleTest, AttributesAreReadOnUpToTheBuffersEnd) {
  testend::Reset({.Width = 6, .Height = 3, .Fill = model::Cell{'.', 7}});
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CHAR_INFO cells[3] = {{{'x'}, 0x1F}, {{'y'}, 0x2E}, {{'z'}, 0x4A}};
  SMALL_RECT region{5, 1, 5, 1};
  ASSERT_EQ(WriteConsoleOutputA(out, cells, {3, 1}, {0, 0}, &region), TRUE);
  region = {0, 2, 1, 2};
  ASSERT_EQ(WriteConsoleOutputA(out, cells + 1, {2, 1}, {0, 0}, &region), TRUE);
  const std::tuple<COORD, DWORD, BOOL, std::vector<WORD>> rows[] = {
      {{5, 1}, 3, TRUE, {0x1F, 0x2E, 0x4A}},  // on into the next row
      {{4, 2}, 5, TRUE, {7, 7}},              // the buffer's last cells
      {{6, 0}, 1, FALSE, {}},
      {{0, 3}, 1, FALSE, {}},
      {{-1, 0}, 1, FALSE, {}},
      {{0, -1}, 1, FALSE, {}},
  };
  for (const auto& [at, n, result, attrs] : rows) {
    std::vector<WORD> got(n, 0xFFFF);
    DWORD read = 99;
    EXPECT_EQ(ReadConsoleOutputAttribute(out, got.data(), n, at, &read), result) << at.X << at.Y;
    got.resize(read);
    EXPECT_EQ(got, attrs) << at.X << "," << at.Y;
  }
}

// A cursor outside the buffer is refused and stays where it was; a cursor
// shape outside 1..100 too.
TEST(Win32ConsoleTest, PositionsAndShapesOutsideAreRefused) {
  model::PublishCursor(COORD{5, 5});  // for the console before: the new one has its own
  testend::Reset({.Width = 80, .Height = 25, .Cursor = COORD{3, 4}});
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ASSERT_EQ(GetConsoleScreenBufferInfo(out, &info), TRUE);
  EXPECT_EQ(info.dwCursorPosition.X * 100 + info.dwCursorPosition.Y, 304);
  for (const COORD at : {COORD{80, 0}, COORD{0, 25}, COORD{-1, 0}, COORD{0, -1}})
    EXPECT_EQ(SetConsoleCursorPosition(out, at), FALSE) << at.X << "," << at.Y;
  EXPECT_EQ(SetConsoleCursorPosition(out, COORD{79, 24}), TRUE);
  ASSERT_EQ(GetConsoleScreenBufferInfo(out, &info), TRUE);
  EXPECT_EQ(info.dwCursorPosition.X * 100 + info.dwCursorPosition.Y, 7924);
  // Refused shapes leave the cursor shown; a taken one says whether it is.
  for (const auto& [size, visible, taken, shown] :
       {std::tuple{0u, FALSE, FALSE, true}, std::tuple{101u, FALSE, FALSE, true},
        std::tuple{1u, FALSE, TRUE, false}, std::tuple{100u, TRUE, TRUE, true}}) {
    const CONSOLE_CURSOR_INFO shape{size, visible};
    EXPECT_EQ(SetConsoleCursorInfo(out, &shape), taken) << size;
    EXPECT_EQ(model::CursorShown(), shown) << size;
  }
}

// What the buffer reports of itself: its size (none for a console that
// reports none, though it has at least one cell), the default attribute,
// and a window that can grow no larger than it is now.
TEST(Win32ConsoleTest, TheBufferReportsItsSizeAndWindow) {
  struct Row {
    int Width, Height, Columns, Rows;
    COORD Cursor;
    std::tuple<int, int> Reported, Cells, MaximumWindow;
  };
  const Row rows[] = {
      {0, -3, 0, 0, {0, 0}, {0, 0}, {1, 1}, {1, 1}},
      {80, 25, 40, 12, {79, 24}, {80, 25}, {80, 25}, {40, 12}},
      {132, 50, 0, 0, {0, 0}, {132, 50}, {132, 50}, {132, 50}},
  };
  for (const Row& row : rows) {
    testend::Reset({.Width = row.Width,
                    .Height = row.Height,
                    .Cursor = row.Cursor,
                    .CursorInfo = {25, FALSE},
                    .WindowColumns = row.Columns,
                    .WindowRows = row.Rows});
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_EQ(GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info), TRUE);
    const auto xy = [](COORD c) { return std::tuple<int, int>(c.X, c.Y); };
    EXPECT_EQ(xy(info.dwSize), row.Reported) << row.Width;
    EXPECT_EQ(xy(model::ConsoleSize()), row.Cells) << row.Width;
    EXPECT_EQ(xy(info.dwMaximumWindowSize), row.MaximumWindow) << row.Width;
    EXPECT_EQ(info.wAttributes, 7);
    EXPECT_FALSE(model::CursorShown());
  }
}

// The cells that changed are kept row by row until whoever shows the buffer
// clears them; a cleared buffer has nothing left, its last row included.
TEST(Win32ConsoleTest, ChangedCellsAreKeptUntilCleared) {
  model::ScreenBuffer screen(6, 3, model::Cell{' ', 7});
  EXPECT_EQ(std::tuple(screen.ChangedTop(), screen.ChangedBottom()), std::tuple(0, 2));
  screen.ClearChanged();
  EXPECT_GT(screen.ChangedTop(), screen.ChangedBottom());
  for (int y = 0; y < 3; ++y) EXPECT_GT(screen.ChangedIn(y).Left, screen.ChangedIn(y).Right) << y;
  screen.At(4, 1).Char = 'x';
  screen.At(2, 1).Char = 'y';
  EXPECT_EQ(std::tuple(screen.ChangedTop(), screen.ChangedBottom()), std::tuple(1, 1));
  EXPECT_EQ(std::tuple(screen.ChangedIn(1).Left, screen.ChangedIn(1).Right), std::tuple(2, 4));
  EXPECT_EQ(screen.RowText(1), "  y x");
}

// A window smaller than the buffer follows the cursor, shown or hidden: the
// window nearest the top left corner that shows the cursor's cell, so it
// goes back as far as the cursor lets it, and never leaves the buffer; a
// resized window shows the cursor too.
TEST(Win32ConsoleTest, ASmallWindowFollowsTheCursor) {
  struct Step {
    COORD Cursor;
    SMALL_RECT Window;
  };
  const Step road[] = {
      {{42, 0}, {3, 0, 42, 11}},     // the time field, right of the window
      {{46, 0}, {7, 0, 46, 11}},     // typed: one more column each
      {{39, 0}, {0, 0, 39, 11}},     // back as far as the cursor lets it
      {{44, 2}, {5, 0, 44, 11}},     // the waiting screen's last value
      {{18, 2}, {0, 0, 39, 11}},     // the ringing screen, whole
      {{0, 17}, {0, 6, 39, 17}},     // below
      {{79, 24}, {40, 13, 79, 24}},  // the far corner
      {{0, 11}, {0, 0, 39, 11}},
  };
  for (const BOOL shown : {TRUE, FALSE}) {
    testend::Reset({.CursorInfo = {25, shown}, .WindowColumns = 40, .WindowRows = 12});
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SMALL_RECT before{0, 0, 39, 11};
    for (const Step& step : road) {
      // Without the lock, a move is known to need it exactly when the
      // window must follow.
      EXPECT_EQ(model::WindowStays(step.Cursor),
                before.Left == step.Window.Left && before.Top == step.Window.Top);
      before = step.Window;
      ASSERT_EQ(SetConsoleCursorPosition(out, step.Cursor), TRUE);
      CONSOLE_SCREEN_BUFFER_INFO info{};
      ASSERT_EQ(GetConsoleScreenBufferInfo(out, &info), TRUE);
      EXPECT_EQ(Corners(info.srWindow), Corners(step.Window))
          << step.Cursor.X << "," << step.Cursor.Y << " shown " << shown;
      EXPECT_EQ(info.dwSize.X * 100 + info.dwSize.Y, 8025);
    }
  }
  model::Console& console = testend::Console();
  console.SetCursorPosition(COORD{79, 24});
  for (const auto& [columns, rows, left, top] :
       {std::tuple{100, 30, 0, 0}, std::tuple{10, 3, 70, 22}, std::tuple{0, 0, 79, 24},
        std::tuple{80, 24, 0, 1}}) {
    console.SetWindowSize(columns, rows);
    EXPECT_EQ(console.Window.Left * 100 + console.Window.Top, left * 100 + top) << columns;
  }
}

// Every change to what the console shows is told to the end, which would
// otherwise never draw it; a refused call tells it nothing, and neither does
// a hidden cursor moved within the window, which changes nothing shown.
TEST(Win32ConsoleTest, EveryChangeShownIsToldToTheEnd) {
  const HANDLE out = model::ConsoleOutputHandle();
  const CHAR_INFO cell{{'x'}, 7};
  const CONSOLE_CURSOR_INFO shown{25, TRUE};
  const CONSOLE_CURSOR_INFO hidden{25, FALSE};
  struct Row {
    const char* Name;
    CONSOLE_CURSOR_INFO Cursor;
    std::function<BOOL()> Call;
    BOOL Result;
    testend::Told Told;
  };
  const std::vector<Row> rows = {
      {"a write",
       shown,
       [&] {
         SMALL_RECT region{0, 0, 0, 0};
         return WriteConsoleOutputA(out, &cell, COORD{1, 1}, COORD{0, 0}, &region);
       },
       TRUE,
       {1, 0, 0}},
      {"a write from outside its source",
       shown,
       [&] {
         SMALL_RECT region{0, 0, 0, 0};
         return WriteConsoleOutputA(out, &cell, COORD{1, 1}, COORD{1, 0}, &region);
       },
       FALSE,
       {0, 0, 0}},
      {"a scroll",
       shown,
       [&] {
         const SMALL_RECT rectangle{0, 0, 5, 0};
         return ScrollConsoleScreenBufferA(out, &rectangle, nullptr, COORD{0, 1}, &cell);
       },
       TRUE,
       {1, 0, 0}},
      {"a shown cursor moved",
       shown,
       [&] {
         return SetConsoleCursorPosition(out, COORD{3, 2});
       },
       TRUE,
       {1, 0, 1}},
      {"a hidden cursor moved",
       hidden,
       [&] {
         return SetConsoleCursorPosition(out, COORD{3, 2});
       },
       TRUE,
       {0, 0, 0}},
      {"a cursor moved off the buffer",
       shown,
       [&] {
         return SetConsoleCursorPosition(out, COORD{80, 0});
       },
       FALSE,
       {0, 0, 0}},
      {"a cursor shape",
       shown,
       [&] {
         const CONSOLE_CURSOR_INFO half{50, TRUE};
         return SetConsoleCursorInfo(out, &half);
       },
       TRUE,
       {1, 0, 0}},
      {"a cursor shape refused",
       shown,
       [&] {
         const CONSOLE_CURSOR_INFO none{0, TRUE};
         return SetConsoleCursorInfo(out, &none);
       },
       FALSE,
       {0, 0, 0}},
      {"a title", shown, [] { return SetConsoleTitleA("Alarm"); }, TRUE, {0, 1, 0}},
  };
  for (const Row& row : rows) {
    testend::Reset({.CursorInfo = row.Cursor});
    EXPECT_EQ(row.Call(), row.Result) << row.Name;
    EXPECT_EQ(testend::ToldEnd(), row.Told) << row.Name;
  }
}

// Records read are gone from the queue, in order; the queue's memory keeps
// no copy of them.
TEST(Win32ConsoleTest, InputIsReadInOrderAndLeftNowhere) {
  testend::Reset();
  testend::TypeBytes("pw");
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD waiting = 0;
  ASSERT_EQ(GetNumberOfConsoleInputEvents(in, &waiting), TRUE);
  EXPECT_EQ(waiting, 4u);
  INPUT_RECORD records[3]{};
  DWORD read = 7;
  ASSERT_EQ(ReadConsoleInputA(in, records, 0, &read), TRUE);  // reads none
  EXPECT_EQ(read, 0u);
  ASSERT_EQ(ReadConsoleInputA(in, records, 3, &read), TRUE);
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(records[2].Event.KeyEvent.uChar.AsciiChar, 'w');
  ASSERT_EQ(GetNumberOfConsoleInputEvents(in, &waiting), TRUE);
  EXPECT_EQ(waiting, 1u);
}

// A move of a hidden cursor from another thread need not be shown when the
// window drawn around the new position is the one already shown: the
// window, as published, is the one the console has, at the start and after
// it has followed the cursor.
TEST(Win32ConsoleTest, TheWindowStaysOnlyWhereTheWindowAroundThePositionIsTheSame) {
  testend::Reset({.Width = 20, .Height = 10, .WindowColumns = 8, .WindowRows = 4});
  const std::tuple<COORD, bool> atStart[] = {
      {{0, 0}, true}, {{7, 3}, true}, {{8, 3}, false}, {{7, 4}, false}};
  for (const auto& [position, stays] : atStart)
    EXPECT_EQ(model::WindowStays(position), stays) << position.X << "," << position.Y;
  ASSERT_EQ(SetConsoleCursorPosition(model::ConsoleOutputHandle(), COORD{12, 6}), TRUE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ASSERT_EQ(GetConsoleScreenBufferInfo(model::ConsoleOutputHandle(), &info), TRUE);
  ASSERT_EQ(Corners(info.srWindow), std::tuple(5, 3, 12, 6));
  const std::tuple<COORD, bool> followed[] = {
      {{12, 6}, true}, {{11, 6}, false}, {{12, 5}, false}, {{13, 6}, false}, {{12, 7}, false}};
  for (const auto& [position, stays] : followed)
    EXPECT_EQ(model::WindowStays(position), stays) << position.X << "," << position.Y;
}

}  // namespace
