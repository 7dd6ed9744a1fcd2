// The check both targets over the in-memory console make after every step:
// every screen operation the console services asked of the console (as its
// call log records them) lies inside the console area, and the log is then
// emptied so that it never grows over a long run.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_output.h"
#include "fuzz/fuzz_support.h"
#include "standin/testend/test_end.h"

namespace fuzz {

// The numbers of a log line after its name: "ScrollConsoleScreenBufferA
// 0,0,79,24 to 0,-1" gives 0 0 79 24 0 -1.
FUZZ_NO_COVERAGE inline std::vector<long> LoggedNumbers(std::string_view line) {
  std::vector<long> numbers;
  const std::string text(
      line.substr(line.find(' ') == std::string_view::npos ? line.size() : line.find(' ')));
  const char* at = text.c_str();
  while (*at != 0) {
    char* end = nullptr;
    const long value = std::strtol(at, &end, 10);
    if (end == at) {
      ++at;
    } else {
      numbers.push_back(value);
      at = end;
    }
  }
  return numbers;
}

FUZZ_NO_COVERAGE inline void CheckCallRegions(int width, int height) {
  for (const std::string& call : testend::Calls()) {
    const std::vector<long> n = LoggedNumbers(call);
    if (call.starts_with("WriteConsoleOutputA ") && n.size() == 4) {
      Check(n[0] >= 0 && n[1] >= 0 && n[2] < width && n[3] < height,
            "a write outside the console area");
      Check(n[1] == n[3] && n[2] >= n[0] && n[2] - n[0] < MaxRunLength,
            "a write that is not one run of one row");
    } else if (call.starts_with("ScrollConsoleScreenBufferA ") && n.size() == 6) {
      Check(n[0] >= 0 && n[1] >= 0 && n[2] < width && n[3] < height,
            "a scroll of cells outside the console area");
      Check(n[4] == 0 && n[5] <= 0, "a scroll that does not move rows up");
    } else if (call.starts_with("SetConsoleCursorPosition ") && n.size() == 2) {
      Check(n[0] >= 0 && n[1] >= 0 && n[0] < width && n[1] < height,
            "the cursor set outside the console area");
    }
  }
  testend::ClearCalls();
}

}  // namespace fuzz
