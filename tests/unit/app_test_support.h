// Shared set-up for the application's tests: a fresh in-memory console,
// console services and alarm state per case, a short notation for keys, and
// a way to run the program's endless loops until they stop.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>

#include "app/alarm_state.h"
#include "console/console_output.h"
#include "tests/fake/fake_console.h"

enum class Outcome { Returned, Waiting, Exited };

// Runs body until it returns, waits for input no script brings (or reaches
// the StopAt limit), or ends the process with exit code *code.
inline Outcome RunApp(const std::function<void()>& body, UINT* code = nullptr) {
  try {
    body();
    return Outcome::Returned;
  } catch (const fake::InputExhausted&) {
    return Outcome::Waiting;
  } catch (const fake::ProcessExit& exit) {
    if (code != nullptr) *code = exit.Code;
    return Outcome::Exited;
  }
}

// Bytes as typed, except these keys without a character, whose scan codes
// equal bytes the program reacts to: ~ Alt+X (0, 45), @ Alt+B (0, "0"),
// ^ Alt+N (0, "1"), ` Alt+] (0, ESC), { F11 (0, 0x85), } Shift+F11 (0, 0x87),
// | Alt+Left (0, 0x9B).
inline void PressOne(char key) {
  if (key == '~') return fake::PushKey('X', 45, 'x', LEFT_ALT_PRESSED);
  if (key == '@') return fake::PushKey('B', 48, 'b', LEFT_ALT_PRESSED);
  if (key == '^') return fake::PushKey('N', 49, 'n', LEFT_ALT_PRESSED);
  if (key == '`') return fake::PushKey(0xDD, 27, 0, LEFT_ALT_PRESSED);
  if (key == '{') return fake::PushKey(0x7A, 87, 0);
  if (key == '}') return fake::PushKey(0x7A, 87, 0, SHIFT_PRESSED);
  if (key == '|') return fake::PushKey(VK_LEFT, 75, 0, LEFT_ALT_PRESSED | ENHANCED_KEY);
  fake::TypeBytes(std::string_view(&key, 1));
}
inline void Press(std::string_view keys) {
  for (const char key : keys) PressOne(key);
}

// A password as the state stores it, fillers included.
inline std::string Padded(const std::string& text) {
  return text + std::string(PasswordLength - text.size(), static_cast<char>(FillerChar));
}

// Row text with the bytes as they stand in the cells (1-based, trailing
// blanks cut), for rows holding code page 866 characters.
inline std::string RawRow(int row) {
  return fake::Screen().RowText(row - 1, true);
}

// The colours of a row's glyphs as far as its text goes: '.' light grey (7),
// '#' white (15), '?' any other attribute; a blank shows no colour, ' '.
inline std::string Colours(int row) {
  std::string marks = fake::Row(row);
  for (size_t i = 0; i < marks.size(); ++i) {
    const uint8_t attr = fake::AttrAt(static_cast<int>(i) + 1, row);
    if (marks[i] != ' ') marks[i] = attr == 7 ? '.' : attr == 15 ? '#' : '?';
  }
  return marks;
}
// The same marks for text whose characters [white, white + count) are white
// and the rest grey.
inline std::string Marks(const std::string& text, size_t white = 0, size_t count = 0) {
  std::string marks = text;
  for (size_t i = 0; i < marks.size(); ++i)
    if (marks[i] != ' ') marks[i] = i >= white && i < white + count ? '#' : '.';
  return marks;
}

// As the program starts: the standard output's exit step, the console, the
// application's start-up; PrevKey as a field before would leave it.
inline void StartApp(const fake::Options& options = {}) {
  ResetConsoleServices();
  fake::Reset(options);
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
