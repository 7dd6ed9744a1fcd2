// The layer's cursor and its thread (console/cursor.cpp).
#include <chrono>
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
// 300 ms; the start and the stop signal it, so both take far less.
TEST_F(CursorTest, CursorThreadIsSignalledAtStartAppliesTheLastPositionAndStopsAtExit) {
  Start({.Cursor = COORD{4, 3}, .Threads = true});
  ASSERT_GT(CursorUpdaterState.load(), 0);
  EXPECT_TRUE(Within(200, [] { return LastMove() == "4,3"; }));
  for (uint8_t x = 1; x <= 20; ++x) GotoXY(x, 5);
  EXPECT_TRUE(Within(2000, [] { return LastMove() == "19,4"; }));
  GotoXY(7, 3);
  EXPECT_THROW(EndProcess(0), testend::ProcessExit);
  // Woken by the exit step, not by its 300 ms timeout.
  EXPECT_TRUE(Within(200, [] { return CursorUpdaterState.load() == CursorUpdaterAbsent; }));
  // The exit step itself puts the cursor in place, whatever the updater did.
  EXPECT_EQ(testend::Console().Cursor.X * 100 + testend::Console().Cursor.Y, 602);
}

}  // namespace
