// The console writer, cursor, colours, scrolling and exit of the console
// services, on the in-memory console.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/console_test_support.h"

namespace {

struct WriteCase {
  const char* name;
  int width;
  int height;
  COORD start;  // 0-based cursor before writing
  std::string bytes;
  std::vector<std::pair<int, std::string>> rows;  // 1-based row, expected text
  int endX;                                       // 1-based cursor after writing
  int endY;
};
// CTest shows the parameter in the test name: the case's name, not its bytes.
void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string kControls("a\0\t\x1b\x62", 5);  // the last byte is 'b'

class ConsoleWriteTest : public ConsoleServicesTest,
                         public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ConsoleWriteTest, LeavesScreenAndCursor) {
  const WriteCase& c = GetParam();
  fake::Options options;
  options.Width = c.width;
  options.Height = c.height;
  options.Cursor = c.start;
  Start(options);
  // Something on the first row so scrolling shows.
  if (c.start.Y == c.height - 1) fake::Screen().At(0, 0).Char = '#';
  Put(c.bytes);
  for (const auto& [row, text] : c.rows) EXPECT_EQ(fake::Row(row), text) << "row " << row;
  EXPECT_EQ(WhereX(), c.endX);
  EXPECT_EQ(WhereY(), c.endY);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, ConsoleWriteTest,
    ::testing::Values(
        WriteCase{"BackspaceLetsNextGlyphOverwrite", 80, 25, {0, 0}, "AB\bC", {{1, "AC"}}, 3, 1},
        WriteCase{"EraseAtColumnOne", 80, 25, {0, 0}, "X\r\b \b", {{1, ""}}, 1, 1},
        WriteCase{"BackspaceNeverGoesUpARow", 10, 5, {0, 1}, "\b\bZ", {{1, ""}, {2, "Z"}}, 2, 2},
        WriteCase{"LineFeedKeepsColumn", 80, 25, {0, 0}, "ab\ncd", {{1, "ab"}, {2, "  cd"}}, 5, 2},
        WriteCase{"ControlBytesAreGlyphs", 80, 25, {0, 0}, kControls, {{1, kControls}}, 6, 1},
        WriteCase{"WrapIsImmediate", 4, 3, {2, 0}, "xy", {{1, "  xy"}}, 1, 2},
        WriteCase{
            "LastCellOfLastRowScrolls", 4, 3, {3, 2}, "q", {{1, ""}, {2, "   q"}, {3, ""}}, 1, 3},
        WriteCase{"LineFeedOnLastRowScrollsKeepingColumn", 4, 3, {2, 2}, "\n", {{1, ""}}, 3, 3},
        WriteCase{"FullLineAndLineEndLeaveEmptyRow",
                  80,
                  25,
                  {0, 0},
                  std::string(80, '=') + "\r\n" + "next",
                  {{1, std::string(80, '=')}, {2, ""}, {3, "next"}},
                  5,
                  3}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ConsoleServicesTest, BellBeepsAndChangesNothing) {
  Start();
  Put("ab\a");
  EXPECT_EQ(fake::MessageBeeps(), 1);
  EXPECT_EQ(fake::Row(1), "ab");
  EXPECT_EQ(WhereX(), 3);
}

TEST_F(ConsoleServicesTest, OneCellWritePerRunNotPerCharacter) {
  Start();
  fake::ClearCalls();
  Put("Hello, world");
  EXPECT_EQ(fake::CallsStarting("WriteConsoleOutputA").size(), 1u);
  GotoXY(1, 1);
  fake::ClearCalls();
  Put("ab\rcd\r\n");
  EXPECT_EQ(
      fake::CallsStarting("WriteConsoleOutputA"),
      (std::vector<std::string>{"WriteConsoleOutputA 0,0,1,0", "WriteConsoleOutputA 0,0,1,0"}));
}

TEST_F(ConsoleServicesTest, GotoXYIgnoresPositionsOutsideTheArea) {
  Start();
  GotoXY(3, 4);
  struct {
    int x, y;
  } const outside[] = {{0, 5}, {5, 0}, {81, 1}, {1, 26}};
  for (const auto& p : outside) {
    GotoXY(static_cast<uint8_t>(p.x), static_cast<uint8_t>(p.y));
    EXPECT_EQ(WhereX(), 3) << p.x << "," << p.y;
    EXPECT_EQ(WhereY(), 4) << p.x << "," << p.y;
  }
  GotoXY(80, 25);
  EXPECT_EQ(WhereX(), 80);
  EXPECT_EQ(WhereY(), 25);
}

TEST_F(ConsoleServicesTest, TextColorKeepsBackgroundAndSetsBlinkOnlyAbove15) {
  fake::Options options;
  options.Fill = model::Cell{' ', 0x1E};  // yellow on blue under the cursor
  Start(options);
  EXPECT_EQ(TextAttr, 0x1E);
  Put("x");
  EXPECT_EQ(fake::AttrAt(1, 1), 0x1E);
  struct {
    uint8_t color, attr;
  } const steps[] = {{7, 0x17}, {31, 0x9F}, {0, 0x10}, {16 + 4, 0x94}};
  for (const auto& step : steps) {
    TextColor(step.color);
    EXPECT_EQ(TextAttr, step.attr) << int{step.color};
  }
}

TEST_F(ConsoleServicesTest, ClrScrBlanksOnlyTheFirst234RowsOfATallBuffer) {
  fake::Options options;
  options.Height = 300;
  Start(options);
  for (int y = 0; y < 300; ++y) fake::Screen().At(5, y).Char = 'o';
  GotoXY(10, 10);
  ClrScr();
  EXPECT_EQ(ScreenHeight, 234);
  EXPECT_EQ(fake::Screen().At(5, 0).Char, ' ');
  EXPECT_EQ(fake::Screen().At(5, 233).Char, ' ');
  EXPECT_EQ(fake::Screen().At(5, 234).Char, 'o');
  EXPECT_EQ(fake::Screen().At(5, 299).Char, 'o');
  EXPECT_EQ(WhereX(), 1);
  EXPECT_EQ(WhereY(), 1);
}

TEST_F(ConsoleServicesTest, StartsInTheColoursUnderTheCursorBelowRow234) {
  // Windows 10 keeps 9001 rows; the cursor may stand far below the area.
  fake::Options options;
  options.Height = 300;
  options.Cursor = COORD{3, 250};
  ResetConsoleServices();
  fake::Reset(options);
  fake::Screen().At(3, 250).Attr = 0x1E;
  fake::Screen().At(3, 233).Attr = 0x4F;
  InitStandardOutput();
  InitConsole();
  EXPECT_EQ(TextAttr, 0x1E);
  EXPECT_EQ(WhereY(), 234);  // the layer's cursor is still inside its area
}

// Windows 95 family consoles move the area in two halves and a last row.
TEST_F(ConsoleServicesTest, ScrollMovesAreSplitExceptOnNt) {
  struct {
    DWORD platform;
    int rows;
    std::vector<int> moves;
  } const cases[] = {
      {VER_PLATFORM_WIN32_NT, 25, {25}},    {VER_PLATFORM_WIN32_WINDOWS, 25, {12, 12, 1}},
      {VER_PLATFORM_WIN32_WINDOWS, 1, {1}}, {VER_PLATFORM_WIN32_WINDOWS, 2, {1, 1}},
      {VER_PLATFORM_WIN32_WINDOWS, 0, {}},  {VER_PLATFORM_WIN32s, 3, {1, 1, 1}},
  };
  for (const auto& c : cases) {
    fake::Options options;
    options.Platform = c.platform;
    Start(options);
    Put("text");
    fake::ClearCalls();
    ScrollUp(c.rows);
    std::vector<std::string> moves;
    for (const int k : c.moves)
      moves.push_back("ScrollConsoleScreenBufferA 0,0,79,24 to 0," + std::to_string(-k));
    EXPECT_EQ(fake::CallsStarting("Scroll"), moves) << c.platform << ": " << c.rows;
    EXPECT_EQ(fake::Row(1), c.rows == 0 ? "text" : "") << c.platform << ": " << c.rows;
  }
}

TEST_F(ConsoleServicesTest, ScrollingWorksWhereDestinationsAboveTheBufferAreRefused) {
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    fake::Options options;
    options.Width = 10;
    options.Height = 5;
    options.Platform = platform;
    options.RefuseDestinationAboveBuffer = true;
    Start(options);
    Put("r1\r\nr2\r\nr3\r\nr4\r\nr5\r\n");
    EXPECT_EQ(fake::Row(1), "r2") << platform;
    EXPECT_EQ(fake::Row(4), "r5") << platform;
    EXPECT_EQ(fake::Row(5), "") << platform;
    TextColor(15);
    ClrScr();
    for (int row = 1; row <= 5; ++row) {
      EXPECT_EQ(fake::Row(row), "") << platform << " row " << row;
      EXPECT_EQ(fake::AttrAt(10, row), 0x0F) << platform << " row " << row;
    }
  }
}

TEST_F(ConsoleServicesTest, ClrEolBlanksFromCursorToEdge) {
  Start();
  Put(std::string(80, 'x'));
  GotoXY(80, 1);
  ClrEol();
  EXPECT_EQ(fake::Row(1), std::string(79, 'x'));
  GotoXY(1, 1);
  ClrEol();
  EXPECT_EQ(fake::Row(1), "");
  EXPECT_EQ(WhereX(), 1);
}

TEST_F(ConsoleServicesTest, CursorShapeRoundTrip) {
  struct {
    CONSOLE_CURSOR_INFO before;
    DWORD restoredSize;
  } const cases[] = {{{25, TRUE}, 15}, {{50, TRUE}, 99}, {{80, FALSE}, 15}};
  for (const auto& c : cases) {
    fake::Options options;
    options.CursorInfo = c.before;
    Start(options);
    HideCursor();
    EXPECT_EQ(fake::Console().CursorInfo.bVisible, FALSE);
    EXPECT_EQ(fake::Console().CursorInfo.dwSize, 99u);
    RestoreCursor();
    EXPECT_EQ(fake::Console().CursorInfo.bVisible, TRUE) << c.before.dwSize;
    EXPECT_EQ(fake::Console().CursorInfo.dwSize, c.restoredSize) << c.before.dwSize;
  }
}

std::vector<int> handlerOrder;

TEST_F(ConsoleServicesTest, ExitHandlersRunLastRegisteredFirstThenTheProcessEnds) {
  Start();
  handlerOrder.clear();
  AddExitHandler([] { handlerOrder.push_back(1); });
  AddExitHandler([] { handlerOrder.push_back(2); });
  GotoXY(7, 3);
  fake::ClearCalls();
  try {
    EndProcess(0);
    FAIL() << "EndProcess returned";
  } catch (const fake::ProcessExit& exit) {
    EXPECT_EQ(exit.Code, 0u);
  }
  EXPECT_EQ(handlerOrder, (std::vector<int>{2, 1}));
  // The console's own step puts the cursor where the layer last put it.
  EXPECT_EQ(fake::Calls().back(), "ExitProcess 0");
  EXPECT_EQ(fake::Console().Cursor.X, 6);
  EXPECT_EQ(fake::Console().Cursor.Y, 2);
}

TEST_F(ConsoleServicesTest, StandardOutputGoesThroughTheWriterAndIsHandedBackAtExit) {
  std::streambuf* const own = std::cout.rdbuf();
  Start();
  std::cout << "ab" << std::flush << "cd" << std::flush;
  EXPECT_EQ(fake::Row(1), "abcd");
  std::cout << std::string(200, 'x');  // past the 128-byte buffer
  std::cout << "\r\nleft in the buffer";
  // What stdio still holds must reach the file at the end: here a pipe.
  std::fflush(stdout);
  const int savedStdout = dup(1);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  dup2(pipeEnds[1], 1);
  std::fputs("stdio tail", stdout);
  EXPECT_THROW(EndProcess(0), fake::ProcessExit);
  dup2(savedStdout, 1);
  close(savedStdout);
  close(pipeEnds[1]);
  char tail[32] = {};
  EXPECT_EQ(read(pipeEnds[0], tail, sizeof tail - 1), 10);
  close(pipeEnds[0]);
  EXPECT_STREQ(tail, "stdio tail");
  EXPECT_EQ(fake::Row(1), "abcd" + std::string(76, 'x'));
  EXPECT_EQ(fake::Row(3), std::string(44, 'x'));
  EXPECT_EQ(fake::Row(4), "left in the buffer");
  EXPECT_EQ(std::cout.rdbuf(), own);
}

TEST_F(ConsoleServicesTest, WithoutAConsoleForInputTheProgramStopsInsteadOfSpinning) {
  fake::Options options;
  options.InputIsNotAConsole = true;
  ResetConsoleServices();
  fake::Reset(options);
  try {
    InitConsole();
    FAIL() << "InitConsole went on without a console";
  } catch (const fake::ProcessExit& exit) {
    EXPECT_EQ(exit.Code, 1u);
  }
  EXPECT_TRUE(fake::CallsStarting("WriteConsoleOutputA").empty());
}

// Real threads and real time.  The updater wakes by itself only every
// 300 ms; the start and the stop signal it, so both take far less.
TEST_F(ConsoleServicesTest, CursorThreadIsSignalledAtStartAppliesTheLastPositionAndStopsAtExit) {
  using Clock = std::chrono::steady_clock;
  const auto within = [](std::chrono::milliseconds limit, const auto& done) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline && !done())
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
  };
  const auto lastMove = [] {
    const std::vector<std::string> moves = fake::CallsStarting("SetConsoleCursorPosition");
    return moves.empty() ? std::string() : moves.back();
  };
  fake::Options options;
  options.Threads = true;
  options.Cursor = COORD{4, 3};
  Start(options);
  ASSERT_GT(CursorUpdaterState.load(), 0);
  EXPECT_TRUE(within(std::chrono::milliseconds(200),
                     [&] { return lastMove() == "SetConsoleCursorPosition 4,3"; }));
  for (uint8_t x = 1; x <= 20; ++x) GotoXY(x, 5);
  EXPECT_TRUE(within(std::chrono::milliseconds(2000),
                     [&] { return lastMove() == "SetConsoleCursorPosition 19,4"; }));
  GotoXY(7, 3);
  EXPECT_THROW(EndProcess(0), fake::ProcessExit);
  // Woken by the exit step, not by its 300 ms timeout.
  EXPECT_TRUE(within(std::chrono::milliseconds(200),
                     [] { return CursorUpdaterState.load() == CursorUpdaterAbsent; }));
  // The exit step itself puts the cursor in place, whatever the updater did
  // (read once the updater has ended: it writes the same cell).
  EXPECT_EQ(fake::Console().Cursor.X, 6);
  EXPECT_EQ(fake::Console().Cursor.Y, 2);
}

TEST_F(ConsoleServicesTest, WithoutThreadEveryCursorSettingMovesAtOnce) {
  Start();
  EXPECT_EQ(CursorUpdaterState.load(), CursorUpdaterAbsent);
  fake::ClearCalls();
  GotoXY(4, 2);
  EXPECT_EQ(fake::Calls(), (std::vector<std::string>{"SetConsoleCursorPosition 3,1"}));
}

}  // namespace
