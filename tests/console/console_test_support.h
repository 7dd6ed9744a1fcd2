// Fixture for tests of the console services on the stand-in's test end.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include <string_view>
#include <vector>

#include "console/console_output.h"
#include "console/keyboard.h"
#include "console/process.h"
#include "console/reset.h"
#include "standin/testend/test_end.h"

class ConsoleServicesTest : public ::testing::Test {
 protected:
  static void Start(const testend::Options& options = {}) {
    ResetConsoleServices();
    testend::Reset(options);
    InitStandardOutput();
    InitConsole();
  }
  void TearDown() override { ResetConsoleServices(); }

  static void Put(std::string_view bytes) {
    ConsoleWrite(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
};

// A table whose rows are cases of their own, each named by its Name.
template <typename Row>
class ConsoleTable : public ConsoleServicesTest, public ::testing::WithParamInterface<Row> {};
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.Name;
  }
};

constexpr DWORD LAlt = LEFT_ALT_PRESSED;
constexpr DWORD Ctrl = LEFT_CTRL_PRESSED;

struct KeyPress {
  WORD Vk;
  WORD Scan;
  uint8_t Ch;
  DWORD State;
};

// Every byte ReadKey gives for what is queued now.
inline std::vector<int> ReadAll() {
  std::vector<int> bytes;
  while (KeyPressed()) bytes.push_back(ReadKey());
  return bytes;
}

// Alt held, keypad digits with Num Lock on as an NT console reports them,
// Alt released.
inline void TypeAltNumber(const std::vector<int>& digits) {
  static const WORD Scans[10] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
  testend::PushRecord(model::KeyRecord(true, VK_MENU, 56, 0, LAlt));
  for (const int d : digits)
    testend::PushKey(static_cast<WORD>(VK_NUMPAD0 + d), Scans[d], static_cast<uint8_t>('0' + d),
                     LAlt | NUMLOCK_ON);
  testend::PushRecord(model::KeyRecord(false, VK_MENU, 56, 0, 0));
}

// Polls done every 2 ms for up to ms milliseconds of real time.
template <typename Done>
bool Within(int ms, const Done& done) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline && !done())
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return done();
}
inline std::string LastCursorMove() {
  const std::vector<std::string> moves = testend::CallsStarting("SetConsoleCursorPosition");
  return moves.empty() ? std::string() : moves.back();
}

// Writes text through stdio with standard output on a pipe, runs EndProcess,
// and gives its exit code and what reached the pipe.
inline std::pair<UINT, std::string> EndProcessWithStdoutPiped(const char* text) {
  std::fflush(stdout);
  const int savedStdout = dup(1);
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {0, "no pipe"};
  dup2(pipeEnds[1], 1);
  std::fputs(text, stdout);
  UINT code = 0;
  try {
    EndProcess(3);
  } catch (const testend::ProcessExit& exit) {
    code = exit.Code;
  }
  dup2(savedStdout, 1);
  close(savedStdout);
  close(pipeEnds[1]);
  char tail[64] = {};
  const ssize_t n = read(pipeEnds[0], tail, sizeof tail - 1);
  close(pipeEnds[0]);
  return {code, std::string(tail, n > 0 ? static_cast<size_t>(n) : 0)};
}
