// Fixture for tests of the console services on the in-memory console.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "console/console_output.h"
#include "console/keyboard.h"
#include "tests/fake/fake_console.h"

class ConsoleServicesTest : public ::testing::Test {
 protected:
  static void Start(const fake::Options& options = {}) {
    ResetConsoleServices();
    fake::Reset(options);
    InitStandardOutput();
    InitConsole();
  }
  void TearDown() override { ResetConsoleServices(); }

  static void Put(std::string_view bytes) {
    ConsoleWrite(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
};

constexpr DWORD LAlt = LEFT_ALT_PRESSED;
constexpr DWORD Ctrl = LEFT_CTRL_PRESSED;

struct KeyPress {
  WORD vk;
  WORD scan;
  uint8_t ch;
  DWORD state;
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
  fake::PushRecord(model::KeyRecord(true, VK_MENU, 56, 0, LAlt));
  for (const int d : digits)
    fake::PushKey(static_cast<WORD>(VK_NUMPAD0 + d), Scans[d], static_cast<uint8_t>('0' + d),
                  LAlt | NUMLOCK_ON);
  fake::PushRecord(model::KeyRecord(false, VK_MENU, 56, 0, 0));
}
