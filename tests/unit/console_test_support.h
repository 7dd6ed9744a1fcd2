// Fixture for tests of the console services on the in-memory console.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

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
