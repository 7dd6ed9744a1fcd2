// A terminal's key bytes through the key decoder into the keyboard layer:
// with a protocol that reports releases, what the keyboard layer makes of
// the records is what it makes of a Windows console's.
#include <string>
#include <vector>

#include "posix/vt/key_decoder.h"
#include "tests/unit/console_test_support.h"

namespace {

#define ESC "\x1b"

std::vector<int> ReadAll() {
  std::vector<int> bytes;
  while (KeyPressed()) bytes.push_back(ReadKey());
  return bytes;
}

// The terminal's bytes, decoded and queued as the key reader queues them.
void TypeOnTerminal(const std::string& bytes) {
  vt::KeyDecoder decoder;
  decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 1000);
  std::vector<INPUT_RECORD> records;
  vt::KeyEvent key;
  while (decoder.Pop(&key)) vt::AppendKeyRecords(key, &records);
  for (const INPUT_RECORD& r : records) fake::PushRecord(r);
}

TEST_F(ConsoleServicesTest, KittyKeysReachTheKeyboardAsOnAWindowsConsole) {
  // The flags the terminal reports after the push: event types on.
  const std::string flags = ESC "[?31u";
  const std::string altDown = ESC "[57443;3u";
  const std::string altUp = ESC "[57443;1:3u";
  const auto pad = [](int digit, bool down) {
    return ESC "[" + std::to_string(57399 + digit) + (down ? ";3u" : ";3:3u");
  };
  struct {
    const char* name;
    std::string bytes;
    std::vector<int> keys;
  } const cases[] = {
      {"Alt+keypad 2 2 7 is one character",
       flags + altDown + pad(2, true) + pad(2, false) + pad(2, true) + pad(2, false) +
           pad(7, true) + pad(7, false) + altUp,
       {227}},
      {"Alt+top-row digits are Alt keys, no number",
       flags + altDown + ESC "[50;3u" ESC "[50;3:3u" + altUp,
       {0, 121}},
      {"Esc is Esc, and x after it is x", flags + ESC "[27u" ESC "[27;1:3u" ESC "[120u", {27, 'x'}},
      {"Alt+x leaves", flags + altDown + ESC "[120;3u" ESC "[120;3:3u" + altUp, {0, 45}},
      {"AltGr+q types @",
       flags + ESC "[57453u" ESC "[113;1;64u" ESC "[113;1:3u" ESC "[57453;1:3u",
       {'@'}},
      {"keypad 5 is the keypad's", flags + ESC "[57404u" ESC "[57404;1:3u", {'5'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    TypeOnTerminal(c.bytes);
    EXPECT_EQ(ReadAll(), c.keys);
  }
}

// What a terminal sends back for a query (the program's own, or another
// program's that arrives late) must never reach the entry fields as keys: an
// OSC colour reply once set the alarm to 11:12.  Pasted text stays keys, as a
// Windows console delivers a paste.
TEST_F(ConsoleServicesTest, TerminalRepliesTypeNothingAndPasteStaysKeys) {
  struct {
    const char* name;
    std::string bytes;
    std::vector<int> keys;
  } const cases[] = {
      {"OSC colour reply, ST",
       ESC "]11;rgb:1234/5678/9abc" ESC "\\"
           "7",
       {'7'}},
      {"OSC title reply, BEL",
       ESC "]l0730\a"
           "7",
       {'7'}},
      {"DCS status reply",
       ESC "P1$r0;1m" ESC "\\"
           "7",
       {'7'}},
      {"cursor position report",
       ESC "[12;5R"
           "7",
       {'7'}},
      {"device attributes",
       ESC "[?64;1;2c"
           "7",
       {'7'}},
      {"bracketed paste", ESC "[200~07" ESC "[201~", {'0', '7'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    TypeOnTerminal(c.bytes);
    EXPECT_EQ(ReadAll(), c.keys);
  }
}

}  // namespace
