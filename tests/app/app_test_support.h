// Shared set-up for the application's tests: a fresh console on the test
// end, console services and alarm state per case, a short notation for keys,
// a way to run the program's endless loops until they stop, and tables of
// named rows.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/alarm_state.h"
#include "app/command_line.h"
#include "console/console_output.h"
#include "console/process.h"
#include "console/reset.h"
#include "standin/testend/test_end.h"

enum class Outcome { Returned, Waiting, Exited };

// Runs body until it returns, waits for input no script brings (or reaches
// the StopAt limit), or ends the process with exit code *code.
inline Outcome RunApp(const std::function<void()>& body, UINT* code = nullptr) {
  try {
    body();
    return Outcome::Returned;
  } catch (const testend::InputExhausted&) {
    return Outcome::Waiting;
  } catch (const testend::ProcessExit& exit) {
    if (code != nullptr) *code = exit.Code;
    return Outcome::Exited;
  }
}

// Bytes as typed, except these keys without a character, whose scan codes
// equal bytes the program reacts to: ~ Alt+X (0, 45), @ Alt+B (0, "0"),
// ^ Alt+N (0, "1"), ` Alt+] (0, ESC), { F11 (0, 0x85), } Shift+F11 (0, 0x87),
// | Alt+Left (0, 0x9B).
inline void PressOne(char key) {
  if (key == '~') return testend::PushKey('X', 45, 'x', LEFT_ALT_PRESSED);
  if (key == '@') return testend::PushKey('B', 48, 'b', LEFT_ALT_PRESSED);
  if (key == '^') return testend::PushKey('N', 49, 'n', LEFT_ALT_PRESSED);
  if (key == '`') return testend::PushKey(0xDD, 27, 0, LEFT_ALT_PRESSED);
  if (key == '{') return testend::PushKey(0x7A, 87, 0);
  if (key == '}') return testend::PushKey(0x7A, 87, 0, SHIFT_PRESSED);
  if (key == '|') return testend::PushKey(VK_LEFT, 75, 0, LEFT_ALT_PRESSED | ENHANCED_KEY);
  testend::TypeBytes(std::string_view(&key, 1));
}
inline void Press(std::string_view keys) {
  for (const char key : keys) PressOne(key);
}

// A password as the state stores it, fillers included.
inline std::string Padded(const std::string& text) {
  return text + std::string(PasswordLength - text.size(), static_cast<char>(FillerChar));
}

// A row as shown (1-based, trailing blanks cut) with its colours: white
// glyphs between braces, light grey ones bare, a glyph in any other colour
// as '?'.  Blanks show no colour.
inline std::string Shown(int row) {
  const std::string text = testend::Row(row);
  std::string out;
  bool white = false;
  size_t glyphEnd = 0;  // just after the last glyph written
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') {
      out.push_back(' ');
      continue;
    }
    const uint8_t attr = testend::AttrAt(static_cast<int>(i) + 1, row);
    if ((attr == 15) != white) {
      out.insert(white ? glyphEnd : out.size(), white ? "}" : "{");
      white = !white;
    }
    out.push_back(attr == 7 || attr == 15 ? text[i] : '?');
    glyphEnd = out.size();
  }
  if (white) out.insert(glyphEnd, "}");
  return out;
}

// As the program starts: the standard output's exit step, the console, the
// application's start-up; PrevKey as a field before would leave it.
inline void StartApp(const testend::Options& options = {}) {
  ResetConsoleServices();
  testend::Reset(options);
  InitStandardOutput();
  InitConsole();
  AlarmState = {};
  StartUp();
  AlarmState.PrevKey = 1;
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override { StartApp(); }
  // Gives the standard output its own buffer back.
  void TearDown() override { ResetConsoleServices(); }
};

// A table whose rows are cases of their own, each named by its Name.
template <typename Row>
class AppTable : public AppTest, public ::testing::WithParamInterface<Row> {};
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.Name;
  }
};

constexpr int64_t Minute = 60 * 1000;
constexpr int64_t Hour = 60 * Minute;

// A label row of the status screen: dots up to column 35, then the value in
// brackets.
inline std::string Label(const char* label, const std::string& value) {
  return std::string(label) + std::string(35 - std::strlen(label), '.') + "[" + value + "]";
}
inline std::string Stored(const uint8_t (&field)[PasswordLength]) {
  return {std::begin(field), std::end(field)};
}
// A waiting phase for an alarm at hour:minute, by default 07:30.
inline void PrepareWaiting(bool password, int hour = 7, int minute = 30) {
  AlarmState.AlarmHour = hour;
  AlarmState.AlarmMinute = minute;
  AlarmState.AlarmSeconds = SecondsOfDay(hour, minute, 0);
  AlarmState.SleepTime = 500;
  AlarmState.PasswordSet = AlarmState.PasswordChecking = password;
}
inline void RunForEver() {
  for (;;) AlarmSequence();
}

// The status and the text of "rousel args...", written to out (closed
// afterwards) or else to a temporary file.
inline std::pair<int, std::string> AskCommandLine(std::vector<const char*> args,
                                                  std::FILE* out = nullptr) {
  args.insert(args.begin(), "rousel");
  const bool own = out == nullptr;
  if (own) out = std::tmpfile();
  const int status = AnswerCommandLine(static_cast<int>(args.size()), args.data(), out);
  std::string text;
  if (own) {
    std::rewind(out);
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text += static_cast<char>(c);
  }
  std::fclose(out);
  return {status, text};
}
