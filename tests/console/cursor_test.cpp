// The layer's cursor and its thread (console/cursor.cpp).
#include <string>

#include "console/cursor.h"
#include "tests/console/console_test_support.h"

namespace {

using CursorTest = ConsoleServicesTest;

// Real threads and real time.  The updater wakes by itself only every
// 300 ms; the start and the stop signal it, so both take far less.
TEST_F(CursorTest, CursorThreadIsSignalledAtStartAppliesTheLastPositionAndStopsAtExit) {
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

}  // namespace
