// Shared set-up for the unit tests on the stand-in's test end: a fresh
// console and console services per case, and tables of named rows.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "console/console_output.h"
#include "console/keyboard.h"
#include "console/process.h"
#include "console/reset.h"
#include "standin/testend/test_end.h"

// As the program starts: the standard output's exit step, then the console.
inline void Start(const testend::Options& options = {}) {
  ResetConsoleServices();
  testend::Reset(options);
  InitStandardOutput();
  InitConsole();
}

inline void Put(std::string_view bytes) {
  ConsoleWrite(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

class ConsoleServicesTest : public ::testing::Test {
 protected:
  // Gives the standard output its own buffer back.
  void TearDown() override { ResetConsoleServices(); }
};

// A table on a fixture whose rows are cases of their own, each named by its
// Name.
template <typename Fixture, typename Row>
class Table : public Fixture, public ::testing::WithParamInterface<Row> {};
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.Name;
  }
};
