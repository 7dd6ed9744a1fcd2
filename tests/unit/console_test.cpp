// The console services on the in-memory console: the writer, the cursor and
// its thread, colours, scrolling, the exit steps, and key records in, key
// bytes out.
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "console/cursor.h"
#include "tests/unit/console_test_support.h"

namespace {

using ConsoleTest = ConsoleServicesTest;

TEST_F(ConsoleTest, WriterLeavesScreenAndCursor) {
  struct Case {
    const char* name;
    int width, height;
    COORD start;  // 0-based cursor before writing
    std::string bytes;
    std::vector<std::string> rows;  // from the first
    int endX, endY;                 // 1-based cursor after writing
    size_t writes, beeps;           // cell writes; bells
  };
  const std::string controls("a\0\t\x1b\x62", 5);  // the last byte is 'b'
  // clang-format off
  const Case cases[] = {
      {"backspace lets the next glyph overwrite", 80, 25, {0, 0}, "AB\bC", {"AC"}, 3, 1, 2, 0},
      {"backspace never goes up a row", 10, 5, {0, 1}, "\b\bZ", {"", "Z"}, 2, 2, 1, 0},
      {"line feed keeps the column", 80, 25, {0, 0}, "ab\ncd", {"ab", "  cd"}, 5, 2, 2, 0},
      {"the bell beeps within a run", 80, 25, {0, 0}, "ab\acd", {"abcd"}, 5, 1, 1, 1},
      {"other control bytes are glyphs", 80, 25, {0, 0}, controls, {controls}, 6, 1, 1, 0},
      {"the wrap is immediate", 4, 3, {2, 0}, "xy", {"  xy", ""}, 1, 2, 1, 0},
      {"the last cell scrolls", 4, 3, {3, 2}, "q", {"", "   q", ""}, 1, 3, 1, 0},
      {"a line feed on the last row scrolls", 4, 3, {2, 2}, "\n", {"", "", ""}, 3, 3, 0, 0},
      {"a full line and CR LF leave an empty row", 80, 25, {0, 0},
       std::string(80, '=') + "\r\nnext", {std::string(80, '='), "", "next"}, 5, 3, 2, 0}};
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start({.Width = c.width, .Height = c.height, .Cursor = c.start});
    // Something on the first row so scrolling shows.
    if (c.start.Y == c.height - 1) testend::Screen().At(0, 0).Char = '#';
    testend::ClearCalls();
    Put(c.bytes);
    for (size_t row = 0; row < c.rows.size(); ++row)
      EXPECT_EQ(testend::Row(static_cast<int>(row) + 1), c.rows[row]) << "row " << row + 1;
    EXPECT_EQ(WhereX(), c.endX);
    EXPECT_EQ(WhereY(), c.endY);
    EXPECT_EQ(testend::CallsStarting("WriteConsoleOutputA").size(), c.writes);
    EXPECT_EQ(testend::MessageBeeps(), static_cast<int>(c.beeps));
  }
}

TEST_F(ConsoleTest, GotoXYMovesTheConsoleCursorAtOnceAndIgnoresPositionsOutside) {
  Start();
  GotoXY(3, 4);
  EXPECT_EQ(testend::Console().Cursor.X * 100 + testend::Console().Cursor.Y, 203);
  for (const auto& [x, y] : {std::pair{0, 5}, {5, 0}, {81, 1}, {1, 26}}) {
    GotoXY(static_cast<uint8_t>(x), static_cast<uint8_t>(y));
    EXPECT_EQ(WhereX() * 100 + WhereY(), 304) << x << "," << y;
  }
  GotoXY(80, 25);
  EXPECT_EQ(WhereX() * 100 + WhereY(), 8025);
}

TEST_F(ConsoleTest, TextColorKeepsBackgroundAndSetsBlinkOnlyAbove15) {
  Start({.Fill = model::Cell{' ', 0x1E}});  // yellow on blue under the cursor
  Put("x");
  EXPECT_EQ(testend::AttrAt(1, 1), 0x1E);
  for (const auto& [color, attr] : {std::pair{7, 0x17}, {31, 0x9F}, {0, 0x10}, {16 + 4, 0x94}}) {
    TextColor(static_cast<uint8_t>(color));
    EXPECT_EQ(TextAttr, attr) << color;
  }
}

// Windows 10 keeps 9001 rows; the layer works on the first 234 and the
// cursor may stand far below them.
TEST_F(ConsoleTest, OnATallBufferStartsInTheColoursUnderTheCursorAndClearsOnly234Rows) {
  ResetConsoleServices();
  testend::Reset({.Height = 300, .Cursor = COORD{3, 250}});
  testend::Screen().At(3, 250).Attr = 0x1E;
  testend::Screen().At(3, 233).Attr = 0x4F;
  for (int y = 0; y < 300; ++y) testend::Screen().At(5, y).Char = 'o';
  InitStandardOutput();
  InitConsole();
  EXPECT_EQ(TextAttr, 0x1E);
  EXPECT_EQ(WhereY(), 234);  // the layer's cursor is inside its area
  ClrScr();
  EXPECT_EQ(testend::Row(1) + testend::Row(234) + testend::Row(235), "     o");
  EXPECT_EQ(WhereX() * 100 + WhereY(), 101);
}

// Some consoles (a detached one, a pseudo console before its first resize)
// report a size of 0 by 0; the program still needs an area to draw in.
TEST_F(ConsoleTest, AConsoleThatReportsNoSizeGetsTheUsualArea) {
  Start({.Width = 0, .Height = 0});
  EXPECT_EQ(ScreenWidth * 100 + ScreenHeight, 8025);
}

// Windows 95 family consoles move the area in two halves and a last row.
TEST_F(ConsoleTest, ScrollMovesAreSplitExceptOnNt) {
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
    Start({.Platform = c.platform});
    Put("text");
    testend::ClearCalls();
    ScrollUp(c.rows);
    std::vector<std::string> moves;
    for (const int k : c.moves)
      moves.push_back("ScrollConsoleScreenBufferA 0,0,79,24 to 0," + std::to_string(-k));
    EXPECT_EQ(testend::CallsStarting("Scroll"), moves) << c.platform << ": " << c.rows;
    EXPECT_EQ(testend::Row(1), c.rows == 0 ? "text" : "") << c.platform << ": " << c.rows;
  }
}

// Wine refuses a destination above the buffer: the same scroll, done as a
// move of the rows below or as blank rows.
TEST_F(ConsoleTest, ScrollingWhereDestinationsAboveTheBufferAreRefused) {
  for (const int rows : {1, 25}) {
    Start({.RefuseDestinationAboveBuffer = true});
    Put("one\r\ntwo");
    ScrollUp(rows);
    EXPECT_EQ(testend::Row(1) + "|" + testend::Row(2) + "|" + testend::Row(25),
              rows == 1 ? "two||" : "||")
        << rows;
  }
}

// Hidden, then shown again: thin as it was, or thick, and shown even when
// it was hidden at the start.
TEST_F(ConsoleTest, CursorShapeRoundTrip) {
  for (const auto& [size, visible, restored] :
       {std::tuple{25u, TRUE, 15u}, {50u, TRUE, 99u}, {80u, FALSE, 15u}}) {
    Start({.CursorInfo = {size, visible}});
    HideCursor();
    EXPECT_EQ(testend::Console().CursorInfo.bVisible, FALSE);
    RestoreCursor();
    EXPECT_EQ(testend::Console().CursorInfo.bVisible, TRUE) << size;
    EXPECT_EQ(testend::Console().CursorInfo.dwSize, restored) << size;
  }
}

std::vector<int> handlerOrder;
CursorPosition cursorBeforeConsoleStep{};

// At the end the handlers run, last registered first: the console's own step
// puts the cursor where the layer last put it, and std::cout, with what its
// 128-byte buffer still holds, and stdio's buffer reach their files.
TEST_F(ConsoleTest, ExitStepsPlaceTheCursorAndHandStandardOutputBack) {
  std::streambuf* const own = std::cout.rdbuf();
  Start();
  handlerOrder.clear();
  AddExitHandler([] {
    handlerOrder.push_back(1);
    cursorBeforeConsoleStep = GetCursorPosition();
  });
  AddExitHandler([] { handlerOrder.push_back(2); });
  std::cout << "ab" << std::flush << "cd" << std::flush;
  std::cout << std::string(200, 'x') << "\r\nleft in the buffer";
  testend::Console().Cursor = COORD{0, 0};
  EXPECT_EQ(EndProcessWithStdoutPiped("stdio tail"), std::pair(3u, std::string("stdio tail")));
  EXPECT_EQ(handlerOrder, (std::vector<int>{2, 1}));
  EXPECT_EQ(testend::Calls().back(), "ExitProcess 3");
  EXPECT_EQ(testend::Row(1) + testend::Row(3), "abcd" + std::string(120, 'x'));
  EXPECT_EQ(testend::Row(4), "left in the buffer");
  EXPECT_EQ(testend::Console().Cursor.X, cursorBeforeConsoleStep.X);
  EXPECT_EQ(testend::Console().Cursor.Y, cursorBeforeConsoleStep.Y);
  EXPECT_GT(cursorBeforeConsoleStep.X, 0);
  EXPECT_EQ(std::cout.rdbuf(), own);
}

TEST_F(ConsoleTest, WithoutAConsoleForInputTheProgramStopsInsteadOfSpinning) {
  ResetConsoleServices();
  testend::Reset({.InputIsNotAConsole = true});
  EXPECT_THROW(InitConsole(), testend::ProcessExit);
  EXPECT_TRUE(testend::CallsStarting("WriteConsoleOutputA").empty());
}

// Real threads and real time.  The updater wakes by itself only every
// 300 ms; the start and the stop signal it, so both take far less.
TEST_F(ConsoleTest, CursorThreadIsSignalledAtStartAppliesTheLastPositionAndStopsAtExit) {
  Start({.Cursor = COORD{4, 3}, .Threads = true});
  ASSERT_GT(CursorUpdaterState.load(), 0);
  EXPECT_TRUE(Within(200, [&] { return LastCursorMove() == "SetConsoleCursorPosition 4,3"; }));
  for (uint8_t x = 1; x <= 20; ++x) GotoXY(x, 5);
  EXPECT_TRUE(Within(2000, [&] { return LastCursorMove() == "SetConsoleCursorPosition 19,4"; }));
  GotoXY(7, 3);
  EXPECT_THROW(EndProcess(0), testend::ProcessExit);
  // Woken by the exit step, not by its 300 ms timeout.
  EXPECT_TRUE(Within(200, [] { return CursorUpdaterState.load() == CursorUpdaterAbsent; }));
  // The exit step itself puts the cursor in place, whatever the updater did.
  EXPECT_EQ(testend::Console().Cursor.X * 100 + testend::Console().Cursor.Y, 602);
}

// Each key record and what ReadKey gives for it ({}: nothing).  Cyrillic ER
// is byte 224, a prefix unless the keyboard's code page is 866; AltGr keeps a
// character, the left Alt makes a scan code of it.
TEST_F(ConsoleTest, KeyRecordsGiveTheBiosBytes) {
  const std::vector<std::pair<KeyPress, std::vector<int>>> keys = {
      {{VK_ESCAPE, 1, 27, 0}, {27}},
      {{VK_TAB, 15, 9, SHIFT_PRESSED}, {0, 15}},
      {{'A', 30, 1, Ctrl}, {1}},
      {{'Q', 16, '@', RIGHT_ALT_PRESSED | Ctrl}, {'@'}},
      {{'Q', 16, 240, RIGHT_ALT_PRESSED}, {0, 16}},
      {{'S', 31, 0xEB, 0}, {0xEB}},
      {{'P', 25, 0x87, SHIFT_PRESSED}, {0x87}},
      {{'H', 35, 224, 0}, {}},
      {{VK_ESCAPE, 1, 0, NUMLOCK_ON}, {27}},
      {{VK_ESCAPE, 1, 0, LAlt}, {}},
      {{VK_UP, 72, 0, ENHANCED_KEY}, {0, 72}},
      {{VK_MULTIPLY, 55, 0, LAlt}, {0, 55}},
      {{VK_SPACE, 57, ' ', LAlt}, {}},
      {{VK_MENU, 56, 0, LAlt}, {}},
      {{'A', 30, 'a', 0}, {'a'}}};
  Start();
  std::vector<int> expected;
  for (const auto& [p, bytes] : keys) {
    testend::PushKey(p.vk, p.scan, p.ch, p.state);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  // A key that gives nothing ends one queue update; poll until all is read.
  std::vector<int> read;
  for (int i = 0; i < 16; ++i)
    for (const int b : ReadAll()) read.push_back(b);
  EXPECT_EQ(read, expected);
}

// The scan codes a key without a character gives with Alt, Ctrl, Shift and
// alone, as the PC keyboard's BIOS numbers them: the first and last key of
// each region of the table, where an off-by-one would show.  0: nothing.
TEST(TranslateKeyTest, BiosScanCodesAtTheEdgesOfEachRegion) {
  struct Row {
    const char* key;
    uint8_t scan;
    int alt, ctrl, shift, plain;
  } const rows[] = {
      {"1", 2, 120, 2, 2, 2},
      {"=", 13, 131, 13, 13, 13},
      {"Backspace", 14, 14, 0, 0, 0},
      {"Tab", 15, 0, 0, 0, 0},
      {"Q", 16, 16, 0, 0, 0},
      {"]", 27, 27, 0, 0, 0},
      {"Enter", 28, 166, 0, 0, 0},
      {"left Ctrl", 29, 29, 0, 0, 0},
      {"/", 53, 164, 149, 53, 53},
      {"right Shift", 54, 0, 0, 0, 0},
      {"keypad *", 55, 55, 150, 55, 55},
      {"F1", 59, 104, 94, 84, 59},
      {"F10", 68, 113, 103, 93, 68},
      {"Num Lock", 69, 0, 0, 0, 0},
      {"F11", 87, 139, 137, 135, 133},
      {"F12", 88, 140, 138, 136, 134},
      {"F13", 89, 0, 0, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.key);
    EXPECT_EQ(TranslateKey(LAlt, 0, r.scan), r.alt * 256);
    EXPECT_EQ(TranslateKey(Ctrl, 0, r.scan), r.ctrl * 256);
    EXPECT_EQ(TranslateKey(SHIFT_PRESSED, 0, r.scan), r.shift * 256);
    EXPECT_EQ(TranslateKey(0, 0, r.scan), r.plain * 256);
  }
}

// The cursor block (71..83): with Alt the codes run 80 above the scan code,
// except the keypad's -, 5 and + which keep theirs; with Ctrl the six keys of
// the first PC keyboard have their old codes and the seven that came later
// take 141..147 in scan order.  Ctrl wins over Alt here.
TEST(TranslateKeyTest, CursorBlockWithAltAndCtrl) {
  const std::map<uint8_t, int> oldCtrl = {{71, 119}, {73, 132}, {75, 115},
                                          {77, 116}, {79, 117}, {81, 118}};
  int nextNewCtrl = 141;
  for (uint8_t scan = 71; scan <= 83; ++scan) {
    SCOPED_TRACE(int{scan});
    const bool keepsScan = scan == 74 || scan == 76 || scan == 78;
    EXPECT_EQ(TranslateKey(LAlt, 0, scan) >> 8, keepsScan ? scan : scan + 80);
    const int ctrl = oldCtrl.contains(scan) ? oldCtrl.at(scan) : nextNewCtrl++;
    EXPECT_EQ(TranslateKey(Ctrl, 0, scan) >> 8, ctrl);
    EXPECT_EQ(TranslateKey(Ctrl | LAlt, 0, scan) >> 8, ctrl);
    EXPECT_EQ(TranslateKey(SHIFT_PRESSED, 0, scan) >> 8, scan);
  }
}

TEST_F(ConsoleTest, AltNumbersWithEveryKeypadDigitOnBothPlatformFamilies) {
  struct {
    UINT codePage;
    std::vector<std::vector<int>> numbers;
    std::vector<int> bytes;
  } const cases[] = {
      // Each digit once: 65 147 203 89.
      {866, {{6, 5}, {1, 4, 7}, {2, 0, 3}, {8, 9}}, {65, 147, 203, 89}},
      {866, {{2, 5, 6}}, {}},  // 256 mod 256 is 0: nothing
      {866, {{2, 2, 4}}, {224}},
      {437, {{2, 2, 4}}, {0}},  // 224 is a prefix here
  };
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    for (const auto& c : cases) {
      Start({.Platform = platform, .KeyboardCodePage = c.codePage});
      for (const auto& number : c.numbers) TypeAltNumber(number);
      EXPECT_EQ(ReadAll(), c.bytes) << platform << "/" << c.codePage;
    }
  }
}

// A lone zero from an Alt number is not followed by a scan code.
TEST_F(ConsoleTest, KeysArriveInOrderAndTheQueueStopsAtSixteen) {
  Start({.KeyboardCodePage = 437});
  TypeAltNumber({2, 2, 4});
  testend::TypeBytes("abcdefghijklmnopqrs");
  EXPECT_TRUE(KeyPressed());
  EXPECT_EQ(KeyCount, 16);
  EXPECT_FALSE(testend::Console().Input.empty());  // the rest waits in the console
  std::string read;
  for (int i = 0; i < 20; ++i) read.push_back(static_cast<char>(ReadKey()));
  EXPECT_EQ(read, std::string(1, '\0') + "abcdefghijklmnopqrs");
  testend::PushAt(5000, [] { testend::TypeBytes("z"); });
  EXPECT_EQ(ReadKey(), 'z');  // waits for input that arrives later
  EXPECT_EQ(testend::NowMs(), 5000u);
}

TEST_F(ConsoleTest, ControlEventsAreIgnoredOnlyOnceCheckBreakIsOff) {
  Start();
  EXPECT_EQ(testend::RaiseCtrlEvent(CTRL_C_EVENT), false);
  CheckBreak = false;
  EXPECT_EQ(testend::RaiseCtrlEvent(CTRL_BREAK_EVENT), true);
}

}  // namespace
