// The process services of console/process.cpp: the platform family, and the
// exit handlers with the standard output's own.
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "console/cursor.h"
#include "tests/console/console_test_support.h"

namespace {

using ProcessTest = ConsoleServicesTest;

TEST_F(ProcessTest, ThePlatformFamilyIsTheConsoles) {
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    Start({.Platform = platform});
    EXPECT_EQ(GetPlatform(), platform);
  }
}

std::vector<int> HandlerOrder;
CursorPosition CursorBeforeConsoleStep{};

// At the end the handlers run, last registered first: the console's own step
// puts the cursor where the layer last put it, and std::cout, with what its
// 128-byte buffer still holds, and stdio's buffer reach their files.
TEST_F(ProcessTest, ExitStepsPlaceTheCursorAndHandStandardOutputBack) {
  std::streambuf* const own = std::cout.rdbuf();
  Start();
  HandlerOrder.clear();
  AddExitHandler([] {
    HandlerOrder.push_back(1);
    CursorBeforeConsoleStep = GetCursorPosition();
  });
  AddExitHandler([] { HandlerOrder.push_back(2); });
  std::cout << "ab" << std::flush << "cd" << std::flush;
  std::cout << std::string(200, 'x') << "\r\nleft in the buffer";
  testend::Console().Cursor = COORD{0, 0};
  EXPECT_EQ(EndProcessWithStdoutPiped("stdio tail"), std::pair(3u, std::string("stdio tail")));
  EXPECT_EQ(HandlerOrder, (std::vector<int>{2, 1}));
  EXPECT_EQ(testend::Calls().back(), "ExitProcess 3");
  EXPECT_EQ(testend::Row(1) + testend::Row(3), "abcd" + std::string(120, 'x'));
  EXPECT_EQ(testend::Row(4), "left in the buffer");
  EXPECT_EQ(testend::Console().Cursor.X, CursorBeforeConsoleStep.X);
  EXPECT_EQ(testend::Console().Cursor.Y, CursorBeforeConsoleStep.Y);
  EXPECT_GT(CursorBeforeConsoleStep.X, 0);
  EXPECT_EQ(std::cout.rdbuf(), own);
}

}  // namespace
