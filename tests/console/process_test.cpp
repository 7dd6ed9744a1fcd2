// The process services of console/process.cpp: the exit handlers with the
// standard output's own.
#include <iostream>
#include <string>
#include <vector>

#include "tests/console/console_test_support.h"

namespace {

using ProcessTest = ConsoleServicesTest;

// Read before any case binds std::cout to the console.
std::streambuf* const OwnCoutBuffer = std::cout.rdbuf();

// At the end the handlers run, last registered first, and std::cout writes
// what its 128-byte buffer still holds (a single character handed over
// alone too), then gets its own buffer back.
TEST_F(ProcessTest, ExitStepsRunLastFirstAndHandStandardOutputBack) {
  Start();
  static std::vector<int> order;
  AddExitHandler([] { order.push_back(1); });
  AddExitHandler([] { order.push_back(2); });
  std::cout << "ab" << std::flush << "c" << std::flush << "d";
  std::cout << std::string(200, 'x') << "\r\nleft in the buffer";
  EXPECT_THROW(EndProcess(3), testend::ProcessExit);
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  EXPECT_EQ(testend::Calls().back(), "ExitProcess 3");
  EXPECT_EQ(testend::Row(1) + testend::Row(3), "abcd" + std::string(120, 'x'));
  EXPECT_EQ(testend::Row(4), "left in the buffer");
  EXPECT_EQ(std::cout.rdbuf(), OwnCoutBuffer);
}

}  // namespace
