// The process services of console/process.cpp: the exit handlers with the
// standard output's own.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tests/console/console_test_support.h"

namespace {

using ProcessTest = ConsoleServicesTest;

// At the end the handlers run, last registered first, and std::cout, with
// what its 128-byte buffer still holds, and stdio's buffer reach their files
// (here standard output on a pipe).
TEST_F(ProcessTest, ExitStepsRunLastFirstAndHandStandardOutputBack) {
  std::streambuf* const own = std::cout.rdbuf();
  Start();
  static std::vector<int> order;
  AddExitHandler([] { order.push_back(1); });
  AddExitHandler([] { order.push_back(2); });
  std::cout << "ab" << std::flush << "cd" << std::flush;
  std::cout << std::string(200, 'x') << "\r\nleft in the buffer";
  std::fflush(stdout);
  const int savedStdout = dup(1);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  dup2(pipeEnds[1], 1);
  std::fputs("stdio tail", stdout);
  EXPECT_THROW(EndProcess(3), testend::ProcessExit);
  dup2(savedStdout, 1);
  close(savedStdout);
  close(pipeEnds[1]);
  std::string tail(64, '\0');
  tail.resize(static_cast<size_t>(std::max<ssize_t>(read(pipeEnds[0], tail.data(), 64), 0)));
  close(pipeEnds[0]);
  EXPECT_EQ(tail, "stdio tail");
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  EXPECT_EQ(testend::Calls().back(), "ExitProcess 3");
  EXPECT_EQ(testend::Row(1) + testend::Row(3), "abcd" + std::string(120, 'x'));
  EXPECT_EQ(testend::Row(4), "left in the buffer");
  EXPECT_EQ(std::cout.rdbuf(), own);
}

}  // namespace
