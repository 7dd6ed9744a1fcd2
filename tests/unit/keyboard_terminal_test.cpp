// A terminal's key bytes through the key decoder into the keyboard layer:
// with a protocol that reports releases, what the keyboard layer makes of
// the records is what it makes of a Windows console's; and what a terminal
// sends back for a query never reaches the fields as keys (an OSC colour
// reply once set the alarm to 11:12), while a paste stays keys.
#include <string>
#include <vector>

#include "posix/vt/key_decoder.h"
#include "tests/unit/console_test_support.h"

namespace {

#define ESC "\x1b"
#define KITTY ESC "[?31u"  // the flags reported after the push: event types on
#define ALT_DOWN ESC "[57443;3u"
#define ALT_UP ESC "[57443;1:3u"

TEST_F(ConsoleServicesTest, TerminalKeysReachTheKeyboardAsOnAWindowsConsole) {
  struct {
    const char* name;
    std::string bytes;
    std::vector<int> keys;
  } const cases[] = {
      {"Alt+keypad 2 2 7 is one character",
       KITTY ALT_DOWN ESC "[57401;3u" ESC "[57401;3:3u" ESC "[57401;3u" ESC "[57401;3:3u" ESC
                          "[57406;3u" ESC "[57406;3:3u" ALT_UP,
       {227}},
      {"Alt+top-row digits are Alt keys",
       KITTY ALT_DOWN ESC "[50;3u" ESC "[50;3:3u" ALT_UP,
       {0, 121}},
      {"Esc is Esc, and x after it is x", KITTY ESC "[27u" ESC "[27;1:3u" ESC "[120u", {27, 'x'}},
      {"AltGr+q types @",
       KITTY ESC "[57453u" ESC "[113;1;64u" ESC "[113;1:3u" ESC "[57453;1:3u",
       {'@'}},
      {"OSC colour reply, ST", ESC "]11;rgb:1234/5678/9abc" ESC "\\7", {'7'}},
      {"OSC title reply, BEL", ESC "]l0730\a7", {'7'}},
      {"DCS status reply", ESC "P1$r0;1m" ESC "\\7", {'7'}},
      {"cursor position report", ESC "[12;5R7", {'7'}},
      {"device attributes", ESC "[?64;1;2c7", {'7'}},
      {"bracketed paste", ESC "[200~07" ESC "[201~", {'0', '7'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    vt::KeyDecoder decoder;
    decoder.Feed(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), 1000);
    std::vector<INPUT_RECORD> records;
    vt::KeyEvent key;
    while (decoder.Pop(&key)) vt::AppendKeyRecords(key, &records);
    for (const INPUT_RECORD& r : records) fake::PushRecord(r);
    EXPECT_EQ(ReadAll(), c.keys);
  }
}

}  // namespace
