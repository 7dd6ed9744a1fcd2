// Shared set-up for the application's tests: the console services and the
// alarm state per case, a short notation for keys, a way to run the
// program's endless loops until they stop, and the screen with its colours.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "app/alarm_state.h"
#include "tests/console/console_test_support.h"

enum class Outcome { Returned, Waiting, Exited };

// Runs body until it returns, waits for input no script brings (or reaches
// the StopAt limit), or ends the process with exit code *code.
template <typename Body>
Outcome RunApp(const Body& body, UINT* code = nullptr) {
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
inline void Press(std::string_view keys) {
  for (const char key : keys) {
    if (key == '~') testend::PushKey('X', 45, 'x', LEFT_ALT_PRESSED);
    if (key == '@') testend::PushKey('B', 48, 'b', LEFT_ALT_PRESSED);
    if (key == '^') testend::PushKey('N', 49, 'n', LEFT_ALT_PRESSED);
    if (key == '`') testend::PushKey(0xDD, 27, 0, LEFT_ALT_PRESSED);
    if (key == '{') testend::PushKey(0x7A, 87, 0);
    if (key == '}') testend::PushKey(0x7A, 87, 0, SHIFT_PRESSED);
    if (key == '|') testend::PushKey(VK_LEFT, 75, 0, LEFT_ALT_PRESSED | ENHANCED_KEY);
    if (std::string_view("~@^`{}|").find(key) == std::string_view::npos)
      testend::TypeBytes(std::string_view(&key, 1));
  }
}

// A password as the state stores it, fillers included.
inline std::string Padded(const std::string& text) {
  return text + std::string(PasswordLength - text.size(), static_cast<char>(FillerChar));
}
inline std::string Stored(const uint8_t (&field)[PasswordLength]) {
  return {std::begin(field), std::end(field)};
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
    const uint8_t attr = testend::AttrAt(static_cast<int>(i) + 1, row);
    if (text[i] != ' ' && (attr == 15) != white) {
      out.insert(white ? glyphEnd : out.size(), white ? "}" : "{");
      white = !white;
    }
    out.push_back(text[i] == ' ' || attr == 7 || attr == 15 ? text[i] : '?');
    if (text[i] != ' ') glyphEnd = out.size();
  }
  if (white) out.insert(glyphEnd, "}");
  return out;
}
// A label row of the status screen: dots up to column 35, then the value in
// brackets.
inline std::string Label(std::string label, const std::string& value) {
  label.resize(35, '.');
  return label + "[" + value + "]";
}

// As the program starts; PrevKey as a field before would leave it.
inline void StartApp(const testend::Options& options = {}) {
  Start(options);
  AlarmState = {};
  StartUp();
  AlarmState.PrevKey = 1;
}
class AppTest : public ConsoleServicesTest {
 protected:
  void SetUp() override { StartApp(); }
};

constexpr int64_t Minute = int64_t{60} * 1000;
constexpr int64_t Hour = 60 * Minute;

// A waiting phase for an alarm at hour:minute, by default 07:30, with the
// password "abc" if there is one.
inline void PrepareWaiting(bool password, int hour = 7, int minute = 30) {
  AlarmState.AlarmHour = hour;
  AlarmState.AlarmMinute = minute;
  AlarmState.AlarmSeconds = SecondsOfDay(hour, minute, 0);
  AlarmState.SleepTime = 500;
  AlarmState.PasswordSet = AlarmState.PasswordChecking = password;
  const std::string stored = Padded(password ? "abc" : "");
  std::copy(stored.begin(), stored.end(), AlarmState.Password);
}
