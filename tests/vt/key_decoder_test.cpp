#include "posix/vt/key_decoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace vt {
namespace {

#define ESC "\x1b"

constexpr DWORD Shift = SHIFT_PRESSED;
constexpr DWORD Ctrl = LEFT_CTRL_PRESSED;
constexpr DWORD Alt = LEFT_ALT_PRESSED;
constexpr DWORD RAlt = RIGHT_ALT_PRESSED;
constexpr DWORD Enh = ENHANCED_KEY;
constexpr Stroke Down = Stroke::Press;
constexpr Stroke Up = Stroke::Release;
const KeyEvent Esc{VK_ESCAPE, 1, 27, 0};
const KeyEvent A{'A', 30, 'a', 0};
const KeyEvent UpKey{VK_UP, 72, 0, Enh};
using Keys = std::vector<KeyEvent>;

// A string literal's bytes, NUL included.
template <size_t N>
std::string B(const char (&s)[N]) {
  return std::string(s, N - 1);
}

KeyEvent F(int n, DWORD state = 0) {
  return {static_cast<WORD>(VK_F1 + n - 1), static_cast<WORD>(n <= 10 ? 58 + n : 76 + n), 0, state};
}

Keys PopAll(KeyDecoder& decoder) {
  Keys keys;
  KeyEvent key;
  while (decoder.Pop(&key)) keys.push_back(key);
  return keys;
}

void Feed(KeyDecoder& decoder, const std::string& bytes, uint64_t nowMs) {
  decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), nowMs);
}

// The keys of bytes fed whole, and fed a byte a millisecond (split across
// reads, well inside the timeout), and then, if asked, left to time out.
std::pair<Keys, Keys> Decode(const std::string& bytes, bool timeOut = false) {
  KeyDecoder whole;
  KeyDecoder split;
  Feed(whole, bytes, 1000);
  for (size_t i = 0; i < bytes.size(); ++i) Feed(split, bytes.substr(i, 1), 1000 + i);
  if (timeOut) {
    whole.Tick(2000 + bytes.size());
    split.Tick(2000 + bytes.size());
  }
  return {PopAll(whole), PopAll(split)};
}

KeyEvent Decoded(const std::string& bytes) {
  const Keys keys = Decode(bytes).first;
  return keys.size() == 1 ? keys[0] : KeyEvent{};
}

struct KeyCase {
  const char* Name;
  std::string Bytes;
  Keys Expected;
};

// Every legacy form, win32-input-mode record and enhancement-protocol event
// with its keys; terminal replies and control strings type nothing, and
// broken input takes no real key down with it.
TEST(KeyDecoder, BytesDecodeAlikeWholeByteByByteAndInAStream) {
  const std::vector<KeyCase> cases = {
      {"CR and LF are Enter", B("\r\n"), {{VK_RETURN, 28, 13, 0}, {VK_RETURN, 28, 13, 0}}},
      {"DEL and BS are Backspace", B("\x7f\b"), {{VK_BACK, 14, 8, 0}, {VK_BACK, 14, 8, 0}}},
      {"Ctrl+A", B("\x01"), {{'A', 30, 1, Ctrl}}},
      {"NUL is Ctrl+2", B("\0"), {{'2', 3, 0, Ctrl}}},
      {"Ctrl+]", B("\x1d"), {{0xDD, 27, 29, Ctrl}}},
      {"Alt+Ctrl+A", B(ESC "\x01"), {{'A', 30, 1, Alt | Ctrl}}},
      {"Alt+ie", B(ESC "\xd0\xb5"), {{'T', 20, 0xA5, Alt}}},
      {"Up, CSI and SS3", B(ESC "[A" ESC "OA"), {UpKey, UpKey}},
      {"Home and End", B(ESC "[H" ESC "[F"), {{VK_HOME, 71, 0, Enh}, {VK_END, 79, 0, Enh}}},
      {"keypad 5 CSI E", B(ESC "[E"), {{VK_CLEAR, 76, 0, 0}}},
      {"Shift+Tab", B(ESC "[Z"), {{VK_TAB, 15, 9, Shift}}},
      {"Ctrl+Left", B(ESC "[1;5D"), {{VK_LEFT, 75, 0, Enh | Ctrl}}},
      {"Meta+Right reads as Alt", B(ESC "[1;9C"), {{VK_RIGHT, 77, 0, Enh | Alt}}},
      {"Shift+Delete", B(ESC "[3;2~"), {{VK_DELETE, 83, 0, Enh | Shift}}},
      {"Ctrl+F12", B(ESC "[24;5~"), {F(12, Ctrl)}},
      {"Shift+F1 CSI", B(ESC "[1;2P"), {F(1, Shift)}},
      {"Ctrl+F1 old xterm", B(ESC "O5P"), {F(1, Ctrl)}},
      {"Shift+F2 SS3 1;2", B(ESC "O1;2Q"), {F(2, Shift)}},
      {"rxvt Ctrl+Insert", B(ESC "[2^"), {{VK_INSERT, 82, 0, Enh | Ctrl}}},
      {"rxvt Shift+F8", B(ESC "[19$"), {F(8, Shift)}},
      {"rxvt Shift+Up", B(ESC "[a"), {{VK_UP, 72, 0, Enh | Shift}}},
      {"rxvt Ctrl+Left", B(ESC "Od"), {{VK_LEFT, 75, 0, Enh | Ctrl}}},
      {"IE", B("\xd0\x95"), {{'T', 20, 0x85, Shift}}},
      {"er", B("\xd1\x80"), {{'H', 35, 0xE0, 0}}},
      {"yo on `", B("\xd1\x91"), {{0xC0, 41, 0xF1, 0}}},
      {"numero sign", B("\xe2\x84\x96"), {{'3', 4, 0xFC, Shift}}},
      {"degree sign", B("\xc2\xb0"), {{0xE7, 0, 0xF8, 0}}},
      {"w32 left Alt down", B(ESC "[18;56;0;1;2;1_"), {{VK_MENU, 56, 0, Alt, Down}}},
      {"w32 keypad 6 up", B(ESC "[102;77;0;0;2;1_"), {{VK_NUMPAD0 + 6, 77, 0, Alt, Up}}},
      {"w32 AltGr+q", B(ESC "[81;16;64;1;9;1_"), {{'Q', 16, '@', RAlt | Ctrl, Down}}},
      {"w32 Esc, repeated", B(ESC "[27;1;27;1;0;3_"), {{VK_ESCAPE, 1, 27, 0, Down, 3}}},
      {"w32 ie", B(ESC "[84;20;1077;1;0;1_"), {{'T', 20, 0xA5, 0, Down}}},
      {"kitty Esc", B(ESC "[27u"), {Esc}},
      {"kitty Alt+x", B(ESC "[120;3u"), {{'X', 45, 'x', Alt}}},
      {"kitty x released", B(ESC "[120;1:3u"), {{'X', 45, 'x', 0, Up}}},
      {"kitty Shift+a, text", B(ESC "[97:65;2;65u"), {{'A', 30, 'A', Shift}}},
      {"kitty Shift+1", B(ESC "[49;2u"), {{'1', 2, '!', Shift}}},
      {"kitty Ctrl+c", B(ESC "[99;5u"), {{'C', 46, 3, Ctrl}}},
      {"kitty Ctrl+1", B(ESC "[49;5u"), {{'1', 2, 0, Ctrl}}},
      {"kitty keypad 7", B(ESC "[57406;1:1u"), {{VK_NUMPAD0 + 7, 71, '7', 0, Down}}},
      {"kitty keypad 5 ~", B(ESC "[57427~"), {{VK_CLEAR, 76, 0, 0}}},
      {"kitty Left released", B(ESC "[1;1:3D"), {{VK_LEFT, 75, 0, Enh, Up}}},
      {"kitty Delete repeated", B(ESC "[3;1:2~"), {{VK_DELETE, 83, 0, Enh, Down}}},
      {"kitty Num Lock", B(ESC "[13;129u"), {{VK_RETURN, 28, 13, NUMLOCK_ON}}},
      {"kitty ie on its US key", B(ESC "[1077::116;1;1077u"), {{'T', 20, 0xA5, 0}}},
      {"kitty left Alt",
       B(ESC "[57443;3:1u" ESC "[57443;3:3u"),
       {{VK_MENU, 56, 0, Alt, Down}, {VK_MENU, 56, 0, 0, Up}}},
      {"kitty right Shift", B(ESC "[57447;2:1u"), {{VK_SHIFT, 54, 0, Shift, Down}}},
      // Event types asked for: AltGr as its own press and release, the right
      // Alt that the terminal counts as Alt stays right, Esc then x is no Alt+x.
      {"with event types, press and release",
       B(ESC "[?31u" ESC "[97u" ESC "[97;1:3u" ESC "[57453u" ESC "[113;1;64u" ESC "[57453;1:3u" ESC
             "[57449;3u" ESC "[120;3u" ESC "[57449;1:3u" ESC "[27u" ESC "[120u"),
       {{'A', 30, 'a', 0, Down},
        {'A', 30, 'a', 0, Up},
        {VK_MENU, 56, 0, Enh | RAlt, Down},
        {'Q', 16, '@', RAlt | Ctrl, Down},
        {VK_MENU, 56, 0, Enh, Up},
        {VK_MENU, 56, 0, Enh | RAlt, Down},
        {'X', 45, 'x', RAlt, Down},
        {VK_MENU, 56, 0, Enh, Up},
        {VK_ESCAPE, 1, 27, 0, Down},
        {'X', 45, 'x', 0, Down}}},
      {"without event types, typed whole", B(ESC "[?1u" ESC "[97u"), {A}},
      {"paste", B(ESC "[200~a" ESC "[201~"), {A}},
      {"SGR and X10 mouse", B(ESC "[<0;120;45M" ESC "[M\x80\xff\x1b"), {}},
      {"OSC reply, ST", B(ESC "]11;rgb:1234/5678/9abc" ESC "\\"), {}},
      {"DCS", B(ESC "P1+r") + std::string(300, '4') + B(ESC "\\a"), {A}},
      {"APC, SOS, PM", B(ESC "_Gi=1;OK" ESC "\\" ESC "Xs" ESC "\\" ESC "^p" ESC "\\"), {}},
      {"DA1, DA2", B(ESC "[?64;1;2;6;9;15;16;17;18;21;22;28c" ESC "[>41;390;0c"), {}},
      {"mode report, flags report", B(ESC "[?9001;2$y" ESC "[?0u"), {}},
      {"kitty keys it lacks", B(ESC "[57428u" ESC "[97;1:4u" ESC "[1u"), {}},
      {"too many parameters", B(ESC "[1;2;3A"), {}},
      {"UTF-8 that is no 866 byte",
       B("\x80\xff\xc0\x9b\xe0\x90\xb5\xed\xa0\x80\xc3\xa9\xc2\x9b\xe2\x98\xba\xe2\x84") + "a",
       {A}},
      {"ESC and a stray byte", B(ESC "\x80") + "a", {Esc, A}},
      {"ESC [ and a control byte", B(ESC "[\x01"), {{0xDB, 26, '[', Alt}, {'A', 30, 1, Ctrl}}},
      {"ESC O and DEL", B(ESC "O\x7f"), {{'O', 24, 'O', Alt | Shift}, {VK_BACK, 14, 8, 0}}},
      {"CSI broken by a control byte", B(ESC "[1;\x01"), {{'A', 30, 1, Ctrl}}},
      {"CSI broken by ESC", B(ESC "[1" ESC "[A"), {UpKey}},
      {"unknown CSI, broken record", B(ESC "[99~" ESC "[1;2;3;4;5;6;7_a"), {A}},
      {"OSC ending in BEL", B(ESC "]4;1;") + std::string(60, 'f') + "\aa", {A}},
      {"OSC cut off by a sequence", B(ESC "]11;rgb:12" ESC "[A"), {UpKey}},
      {"ESC ESC is Esc and a fresh start", B(ESC ESC "[A"), {Esc, UpKey}},
      {"timed out: ESC [", B(ESC "["), {{0xDB, 26, '[', Alt}}},
      {"timed out: ESC O", B(ESC "O"), {{'O', 24, 'O', Alt | Shift}}},
      {"timed out: cut CSI", B(ESC "[1;5"), {}},
      {"timed out: cut mouse report", B(ESC "[M !"), {}},
      {"timed out: cut UTF-8", B("\xe2\x84"), {}},
      {"timed out: ESC and cut UTF-8", B(ESC "\xd0"), {Esc}},
  };
  std::string stream;
  Keys all;
  for (const KeyCase& c : cases) {
    // Only a prefix that could still grow waits for the timeout.
    const bool timedOut = std::string_view(c.Name).starts_with("timed out");
    const auto [whole, split] = Decode(c.Bytes, timedOut);
    EXPECT_EQ(whole, c.Expected) << c.Name;
    EXPECT_EQ(split, c.Expected) << c.Name;
    if (timedOut) continue;  // it would join the next row
    stream += c.Bytes;
    all.insert(all.end(), c.Expected.begin(), c.Expected.end());
  }
  std::mt19937 random(866);
  for (int round = 0; round < 20; ++round) {
    KeyDecoder decoder;
    for (size_t pos = 0, take = 0; pos < stream.size(); pos += take) {
      take = std::min<size_t>(stream.size() - pos, 1 + random() % 40);
      Feed(decoder, stream.substr(pos, take), 5000);
    }
    EXPECT_EQ(PopAll(decoder), all) << "round " << round;
  }
}

// Every printable key, plain and shifted, on its PC key; the function keys by
// every numbering terminals use; the keypad in application mode and in the
// enhancement protocol alike.
TEST(KeyDecoder, TypedCharactersFunctionAndKeypadKeysArriveOnTheirPcKeys) {
  const struct {
    const char* Plain;
    const char* Shifted;
    WORD FirstScan;
  } rows[] = {{"1234567890-=", "!@#$%^&*()_+", 2},
              {"qwertyuiop[]", "QWERTYUIOP{}", 16},
              {"asdfghjkl;'`", "ASDFGHJKL:\"~", 30},
              {"\\zxcvbnm,./", "|ZXCVBNM<>?", 43}};
  for (const auto& row : rows) {
    for (size_t i = 0; row.Plain[i] != 0; ++i) {
      const auto plain = static_cast<uint8_t>(row.Plain[i]);
      const KeyEvent key = Decoded(std::string(1, char(plain)));
      EXPECT_EQ(key, (KeyEvent{key.VirtualKey, WORD(row.FirstScan + i), plain})) << plain;
      EXPECT_TRUE(std::isalnum(plain) == 0 || key.VirtualKey == std::toupper(plain));
      EXPECT_EQ(
          Decoded(std::string(1, row.Shifted[i])),
          (KeyEvent{key.VirtualKey, WORD(row.FirstScan + i), uint8_t(row.Shifted[i]), Shift}));
    }
  }
  const int vt220[] = {11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 23, 24};
  for (int n = 1; n <= 12; ++n) {
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(vt220[n - 1]) + "~"), F(n)) << n;
    if (n <= 4) {
      EXPECT_EQ(Decoded(ESC "O" + std::string(1, char('O' + n))), F(n)) << n;
    }
    if (n <= 5) {
      EXPECT_EQ(Decoded(ESC "[[" + std::string(1, char('@' + n))), F(n)) << n;
    }
  }
  const WORD scans[] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};  // 0..9
  for (int d = 0; d < 10; ++d) {
    const KeyEvent digit{WORD(VK_NUMPAD0 + d), scans[d], uint8_t('0' + d), 0};
    EXPECT_EQ(Decoded(ESC "O" + std::string(1, char('p' + d))), digit) << d;
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(57399 + d) + "u"), digit) << d;
  }
  // Without Num Lock the enhancement protocol names the keypad's other keys.
  const WORD navigation[][2] = {{VK_LEFT, 75},   {VK_RIGHT, 77}, {VK_UP, 72},   {VK_DOWN, 80},
                                {VK_PRIOR, 73},  {VK_NEXT, 81},  {VK_HOME, 71}, {VK_END, 79},
                                {VK_INSERT, 82}, {VK_DELETE, 83}};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(57417 + i) + "u"),
              (KeyEvent{navigation[i][0], navigation[i][1], 0, 0}));
  }
  const struct {
    char Ss3;
    KeyEvent Key;
  } others[] = {{'n', {0x6E, 83, '.', 0}},        {'o', {VK_DIVIDE, 53, '/', Enh}},
                {'j', {VK_MULTIPLY, 55, '*', 0}}, {'m', {VK_SUBTRACT, 74, '-', 0}},
                {'k', {VK_ADD, 78, '+', 0}},      {'M', {VK_RETURN, 28, 13, Enh}},
                {'X', {0xBB, 13, '=', 0}}};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Decoded(ESC "O" + std::string(1, others[i].Ss3)), others[i].Key) << i;
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(57409 + i) + "u"), others[i].Key) << i;
  }
}

// Bytes at given times, and ticks (no bytes): the timeout joins, splits and
// drops exactly at its edge, and a clock going back fires nothing.
TEST(KeyDecoder, TheEscapeTimeoutDecidesAtItsEdge) {
  const uint64_t t = 10000;
  const uint64_t timeout = EscapeTimeoutMs;
  const uint64_t e = t + timeout;
  const KeyEvent five{'5', 6, '5', 0};
  const struct {
    const char* Name;
    std::vector<std::pair<uint64_t, std::string>> Steps;
    int Pending;  // PendingTimeoutMs at the last step
    Keys Expected;
  } cases[] = {
      {"lone Esc, just before", {{t, ESC}, {e - 1, ""}}, 1, {}},
      {"lone Esc, at the edge", {{t, ESC}, {e, ""}}, -1, {Esc}},
      {"the clock goes back", {{t, ESC}, {10, ""}}, EscapeTimeoutMs, {}},
      {"x just inside joins", {{t, ESC}, {e - 1, "x"}}, -1, {{'X', 45, 'x', Alt}}},
      {"x at the edge does not", {{t, ESC}, {e, "x"}}, -1, {Esc, {'X', 45, 'x', 0}}},
      {"cut tail skipped", {{t, ESC "[1;"}, {e, ""}, {e + 10, "5D"}, {t + 1000, "5"}}, -1, {five}},
      {"digit long after", {{t, ESC "[1"}, {e, ""}, {e + 2 * timeout, "5"}}, -1, {five}},
      {"pause ends a string",
       {{t, ESC "]1;2"}, {t + 9, "3"}, {e, ""}, {e + timeout, "a"}},
       -1,
       {A}},
  };
  for (const auto& c : cases) {
    KeyDecoder decoder;
    for (const auto& [at, bytes] : c.Steps) {
      if (bytes.empty()) decoder.Tick(at);
      Feed(decoder, bytes, at);
    }
    EXPECT_EQ(decoder.PendingTimeoutMs(c.Steps.back().first), c.Pending) << c.Name;
    EXPECT_EQ(PopAll(decoder), c.Expected) << c.Name;
  }
}

TEST(KeyDecoder, MemoryStaysBoundedWhateverArrives) {
  // One endless CSI, a byte at a time: held bytes stay bounded, and none of
  // its parameters come out as digits.
  KeyDecoder endless;
  Feed(endless, B(ESC "["), 0);
  for (int i = 0; i < 20000; ++i) {
    Feed(endless, B(";"), 1);
    ASSERT_LT(endless.PendingBytes(), MaxSequenceBytes);
  }
  Feed(endless, B("A"), 1);
  EXPECT_EQ(endless.QueuedKeys(), 0U);
  KeyDecoder unread;
  Feed(unread, std::string(10000, 'a'), 0);
  EXPECT_EQ(unread.QueuedKeys(), KeyDecoder::MaxQueuedKeys);
  // A control string swallows no more than its bound, counted from the ESC.
  EXPECT_EQ(Decode(ESC "]" + std::string(MaxControlStringBytes + 10, '7') + "a").first.size(), 13U);
  // A sequence as long as the bound is still a key; one byte longer is cut.
  for (const size_t length : {MaxSequenceBytes, MaxSequenceBytes + 1}) {
    const Keys keys = Decode(ESC "[" + std::string(length - 6, '0') + "1;5Da").first;
    EXPECT_EQ(keys.size(), length == MaxSequenceBytes ? 2U : 1U) << length;
  }
}

// Shift, Ctrl and Alt go down before the key and up after it, as on Windows;
// a code page 866 byte above 127 survives the trip through CHAR.
TEST(KeyDecoder, KeyRecordsComeInsideTheirModifiers) {
  const struct {
    KeyEvent Key;
    std::vector<std::tuple<bool, WORD, WORD, uint8_t, DWORD>> Records;
  } cases[] = {
      {{'T', 20, 0xA5, 0}, {{true, 'T', 20, 0xA5, 0}, {false, 'T', 20, 0xA5, 0}}},
      {{VK_LEFT, 75, 0, Enh | Ctrl | Alt | Shift},
       {{true, VK_SHIFT, 42, 0, Shift},
        {true, VK_CONTROL, 29, 0, Shift | Ctrl},
        {true, VK_MENU, 56, 0, Shift | Ctrl | Alt},
        {true, VK_LEFT, 75, 0, Enh | Ctrl | Alt | Shift},
        {false, VK_LEFT, 75, 0, Enh | Ctrl | Alt | Shift},
        {false, VK_MENU, 56, 0, Shift | Ctrl},
        {false, VK_CONTROL, 29, 0, Shift},
        {false, VK_SHIFT, 42, 0, 0}}},
  };
  for (const auto& c : cases) {
    std::vector<INPUT_RECORD> records;
    AppendKeyRecords(c.Key, &records);
    ASSERT_EQ(records.size(), c.Records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      const KEY_EVENT_RECORD& k = records[i].Event.KeyEvent;
      EXPECT_EQ(std::make_tuple(k.bKeyDown != 0, k.wVirtualKeyCode, k.wVirtualScanCode,
                                uint8_t(k.uChar.AsciiChar), k.dwControlKeyState),
                c.Records[i])
          << i;
      EXPECT_EQ(k.wRepeatCount, 1);
    }
  }
}

}  // namespace
}  // namespace vt
