// The layer's cursor and its thread (console/cursor.cpp).
#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "console/cursor.h"
#include "tests/console/console_test_support.h"

namespace {

using CursorTest = ConsoleServicesTest;

// Polls done every 2 ms for up to ms milliseconds of real time.
bool Within(int ms, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return done();
}
// Where the console's cursor was last moved to, as "x,y".
std::string LastMove() {
  const std::vector<std::string> moves = testend::CallsStarting({"SetConsoleCursorPosition "});
  return moves.empty() ? "" : moves.back().substr(25);
}

// Real threads and real time.  The updater wakes by itself only every
// 300 ms; the start, each move (of the column or the row alone) once the pass
// ends, and the exit step wake it at once, and it sleeps in between.  The
// console's cursor, right of the 256 columns the layer works on, is brought
// into them.
TEST_F(CursorTest, CursorThreadIsSignalledAtStartAppliesTheLastPositionAndStopsAtExit) {
  Start({.Width = 300, .Cursor = COORD{290, 3}, .Threads = true});
  ASSERT_GT(CursorUpdaterState.load(), 0);
  EXPECT_TRUE(Within(200, [] { return LastMove() == "255,3"; }));
  for (uint8_t x = 1; x <= 20; ++x) GotoXY(x, 4);
  Sleep(0);  // the end of a pass, which gives the wakes it caused
  EXPECT_TRUE(Within(200, [] { return LastMove() == "19,3"; }));
  const std::clock_t busy = std::clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LT(std::clock() - busy, CLOCKS_PER_SEC / 50) << "the updater spins";
  GotoXY(20, 6);
  Sleep(0);
  EXPECT_TRUE(Within(2000, [] { return LastMove() == "19,5"; }));
  const auto exitStart = std::chrono::steady_clock::now();
  EXPECT_THROW(EndProcess(0), testend::ProcessExit);
  EXPECT_LT(std::chrono::steady_clock::now() - exitStart, std::chrono::milliseconds(200));
  EXPECT_EQ(CursorUpdaterState.load(), CursorUpdaterAbsent);
  EXPECT_EQ(testend::Console().Cursor.X * 100 + testend::Console().Cursor.Y, 1905);
}

}  // namespace
