#include "standin/terminal/vt/key_decoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace vt {
namespace {

using namespace std::string_literals;  // "\0"s keeps its NUL

#define ESC "\x1b"

constexpr DWORD Shift = SHIFT_PRESSED;
constexpr DWORD Ctrl = LEFT_CTRL_PRESSED;
constexpr DWORD Alt = LEFT_ALT_PRESSED;
constexpr DWORD RAlt = RIGHT_ALT_PRESSED;
constexpr DWORD RCtrl = RIGHT_CTRL_PRESSED;
constexpr DWORD Enh = ENHANCED_KEY;
constexpr Stroke Down = Stroke::Press;
constexpr Stroke Up = Stroke::Release;
const KeyEvent Esc{VK_ESCAPE, 1, 27, 0};
const KeyEvent A{'A', 30, 'a', 0};
const KeyEvent UpKey{VK_UP, 72, 0, Enh};
using Keys = std::vector<KeyEvent>;

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

// The keys of bytes fed in one read, and then, if asked, left to time out.
Keys Decode(const std::string& bytes, bool timeOut = false) {
  KeyDecoder decoder;
  Feed(decoder, bytes, 1000);
  if (timeOut) decoder.Tick(2000);
  return PopAll(decoder);
}

KeyEvent Decoded(const std::string& bytes) {
  const Keys keys = Decode(bytes);
  return keys.size() == 1 ? keys[0] : KeyEvent{};
}

// A key typed becomes the records the Windows console gives for it: its
// modifiers pressed before it and released after it, in reverse order, each
// record holding the modifiers down at that moment and counted once, only the
// key's own records holding its character; a press or a release the terminal
// reports alone keeps its own count.
TEST(KeyDecoderTest, AKeyBecomesTheRecordsTheConsoleGives) {
  const std::tuple<const char*, KeyEvent, std::string> cases[] = {
      {"a", A, "+65=97/0x1 -65=97/0x1"},
      {"Alt+Ctrl+A",
       {'A', 30, 1, Alt | Ctrl},
       "+17/8x1 +18/10x1 +65=1/10x1 -65=1/10x1 -18/8x1 -17/0x1"},
      {"Shift+Up", {VK_UP, 72, 0, Enh | Shift}, "+16/16x1 +38/272x1 -38/272x1 -16/0x1"},
      {"Ctrl+Shift+Home",
       {VK_HOME, 71, 0, Enh | Ctrl | Shift},
       "+16/16x1 +17/24x1 +36/280x1 -36/280x1 -17/16x1 -16/0x1"},
      {"a release alone", {'A', 30, 'a', 0, Up, 3}, "-65=97/0x3"},
  };
  for (const auto& [name, key, expected] : cases) {
    std::vector<INPUT_RECORD> records;
    AppendKeyRecords(key, &records);
    std::string seen;
    for (const INPUT_RECORD& record : records) {
      const KEY_EVENT_RECORD& k = record.Event.KeyEvent;
      seen += (seen.empty() ? "" : " ") + std::string(k.bKeyDown != FALSE ? "+" : "-") +
              std::to_string(k.wVirtualKeyCode) +
              (k.uChar.AsciiChar != 0 ? "=" + std::to_string(uint8_t(k.uChar.AsciiChar)) : "") +
              "/" + std::to_string(k.dwControlKeyState) + "x" + std::to_string(k.wRepeatCount);
    }
    EXPECT_EQ(seen, expected) << name;
  }
}

// Every legacy form, win32-input-mode record and enhancement-protocol event
// with its keys; terminal replies and control strings type nothing, and
// broken input takes no real key down with it.
TEST(KeyDecoderTest, BytesDecodeToTheirKeys) {
  const std::tuple<const char*, std::string, Keys> cases[] = {
      {"CR and LF are Enter", "\r\n"s, {{VK_RETURN, 28, 13, 0}, {VK_RETURN, 28, 13, 0}}},
      {"DEL and BS are Backspace", "\x7f\b"s, {{VK_BACK, 14, 8, 0}, {VK_BACK, 14, 8, 0}}},
      {"NUL is Ctrl+2, GS Ctrl+]", "\0\x1d"s, {{'2', 3, 0, Ctrl}, {0xDD, 27, 29, Ctrl}}},
      {"Alt+Ctrl+A", ESC "\x01"s, {{'A', 30, 1, Alt | Ctrl}}},
      {"Up, CSI and SS3", ESC "[A" ESC "OA"s, {UpKey, UpKey}},
      {"Shift+Tab", ESC "[Z"s, {{VK_TAB, 15, 9, Shift}}},
      {"Meta+Right reads as Alt", ESC "[1;9C"s, {{VK_RIGHT, 77, 0, Enh | Alt}}},
      {"SS3 modifier alone, or after 1;", ESC "O5P" ESC "O1;2Q"s, {F(1, Ctrl), F(2, Shift)}},
      {"rxvt Ctrl+Insert", ESC "[2^"s, {{VK_INSERT, 82, 0, Enh | Ctrl}}},
      {"rxvt Shift+F8", ESC "[19$"s, {F(8, Shift)}},
      {"rxvt Shift+Up", ESC "[a"s, {{VK_UP, 72, 0, Enh | Shift}}},
      {"rxvt Ctrl+Left", ESC "Od"s, {{VK_LEFT, 75, 0, Enh | Ctrl}}},
      {"IE", "\xd0\x95"s, {{'T', 20, 0x85, Shift}}},
      {"yo on `", "\xd1\x91"s, {{0xC0, 41, 0xF1, 0}}},
      {"numero sign", "\xe2\x84\x96"s, {{'3', 4, 0xFC, Shift}}},
      {"degree sign", "\xc2\xb0"s, {{0xE7, 0, 0xF8, 0}}},
      {"w32 keypad 6 up", ESC "[102;77;0;0;2;1_"s, {{VK_NUMPAD0 + 6, 77, 0, Alt, Up}}},
      {"w32 AltGr+q", ESC "[81;16;64;1;9;1_"s, {{'Q', 16, '@', RAlt | Ctrl, Down}}},
      {"w32 Esc, repeated", ESC "[27;1;27;1;0;3_"s, {{VK_ESCAPE, 1, 27, 0, Down, 3}}},
      {"w32 ie released", ESC "[84;20;1077;0;0;1_"s, {{'T', 20, 0xA5, 0, Up}}},
      {"kitty Shift+a, text", ESC "[97:65;2;65u"s, {{'A', 30, 'A', Shift}}},
      {"kitty Shift+1", ESC "[49;2u"s, {{'1', 2, '!', Shift}}},
      {"kitty Ctrl+c", ESC "[99;5u"s, {{'C', 46, 3, Ctrl}}},
      {"kitty Ctrl+1", ESC "[49;5u"s, {{'1', 2, 0, Ctrl}}},
      {"kitty keypad 5 ~", ESC "[57427~"s, {{VK_CLEAR, 76, 0, 0}}},
      {"Ctrl+Left released", ESC "[1;5:3D"s, {{VK_LEFT, 75, 0, Enh | Ctrl, Up}}},
      {"Shift+Delete repeated", ESC "[3;2:2~"s, {{VK_DELETE, 83, 0, Enh | Shift, Down}}},
      {"kitty Num Lock", ESC "[13;129u"s, {{VK_RETURN, 28, 13, NUMLOCK_ON}}},
      {"kitty ie on its US key", ESC "[1077::116;1;1077u"s, {{'T', 20, 0xA5, 0}}},
      {"kitty left Alt",
       ESC "[57443;3:1u" ESC "[57443;3:3u"s,
       {{VK_MENU, 56, 0, Alt, Down}, {VK_MENU, 56, 0, 0, Up}}},
      {"kitty right Shift", ESC "[57447;2:1u"s, {{VK_SHIFT, 54, 0, Shift, Down}}},
      {"kitty left Ctrl, left and right Meta, pressed and released",
       ESC "[57442;5:1u" ESC "[57442;1:3u" ESC "[57446;33:1u" ESC "[57446;1:3u" ESC
           "[57452;33:1u" ESC "[57452;1:3u"s,
       {{VK_CONTROL, 29, 0, Ctrl, Down},
        {VK_CONTROL, 29, 0, 0, Up},
        {VK_MENU, 56, 0, Alt, Down},
        {VK_MENU, 56, 0, 0, Up},
        {VK_MENU, 56, 0, Enh | RAlt, Down},
        {VK_MENU, 56, 0, Enh, Up}}},
      // The lock keys and Print Screen: Num Lock and Print Screen are
      // extended keys, Caps Lock and Scroll Lock are not.
      {"kitty Caps Lock, Scroll Lock, Num Lock, Print Screen",
       ESC "[57358u" ESC "[57359u" ESC "[57360u" ESC "[57361u"s,
       {{0x14, 58, 0, 0}, {0x91, 70, 0, 0}, {0x90, 69, 0, Enh}, {0x2C, 55, 0, Enh}}},
      // A keypad whose decimal key types a comma.
      {"kitty keypad separator", ESC "[57416u"s, {{0x6E, 83, ',', 0}}},
      {"kitty Ctrl+a, Ctrl+], the ends of the control letters and brackets",
       ESC "[97;5u" ESC "[93;5u"s,
       {{'A', 30, 1, Ctrl}, {0xDD, 27, 29, Ctrl}}},
      // Pause and Menu, the ends of the lock and system keys.
      {"kitty Pause, Menu", ESC "[57362u" ESC "[57363u"s, {{0x13, 69, 0, 0}, {0x5D, 93, 0, Enh}}},
      // Event types asked for: AltGr as its own press and release, the right
      // Alt that the terminal counts as Alt stays right.
      {"with event types, press and release",
       ESC "[?31u" ESC "[97u" ESC "[97;1:3u" ESC "[57453u" ESC "[113;1;64u" ESC "[57453;1:3u" ESC
           "[57449;3u" ESC "[120;3u" ESC "[57449;1:3u"s,
       {{'A', 30, 'a', 0, Down},
        {'A', 30, 'a', 0, Up},
        {VK_MENU, 56, 0, Enh | RAlt, Down},
        {'Q', 16, '@', RAlt | Ctrl, Down},
        {VK_MENU, 56, 0, Enh, Up},
        {VK_MENU, 56, 0, Enh | RAlt, Down},
        {'X', 45, 'x', RAlt, Down},
        {VK_MENU, 56, 0, Enh, Up}}},
      {"without event types, typed whole", ESC "[?1u" ESC "[97u" ESC "[27u"s, {A, Esc}},
      {"SGR and X10 mouse", ESC "[<0;120;45M" ESC "[M\x80\xff\x1b"s, {}},
      {"DCS", ESC "P1+r"s + std::string(300, '4') + ESC "\\a", {A}},
      {"APC, SOS, PM", ESC "_Gi=1;OK" ESC "\\" ESC "Xs" ESC "\\" ESC "^p" ESC "\\"s, {}},
      {"DA1, DA2", ESC "[?64;1;2;6;9;15;16;17;18;21;22;28c" ESC "[>41;390;0c"s, {}},
      {"malformed replies", ESC "[?-1;2$y" ESC "[?-1u" ESC "[0;0;-52;1;0;1_" ESC "[1 2A"s, {}},
      {"a reply past the bound",
       ESC "[?" + std::string(300, '1') + "c" ESC "[" + std::string(300, ';') + "Aa",
       {A}},
      {"a long reply read whole", ESC "[?" + std::string(200, '1') + "ca", {A}},
      {"OSC past any bound", ESC "]11;rgb:" + std::string(5000, '1') + ESC "\\a", {A}},
      {"kitty text or shifted key a control",
       ESC "[97;1;10u" ESC "[97;1;127u" ESC "[97;1;155u" ESC "[97:10;2u" ESC "[97::13u"s,
       {}},
      {"kitty Ctrl+[", ESC "[91;5u"s, {{0xDB, 26, 27, Ctrl}}},
      {"kitty keys it lacks", ESC "[57428u" ESC "[97;1:4u" ESC "[1u" ESC "[233u"s, {}},
      {"too many parameters, or not 1",
       ESC "[1;2;3A" ESC "[97;1;97;1u" ESC "[2;5A" ESC "[2A" ESC "[1;1;1;1;1;1:1;1A" ESC "[3;2;1~"s,
       {}},
      {"a private byte past the first", ESC "[1;?A"s, {}},
      {"kitty a third sub-part, ignored", ESC "[97:65:97:3u"s, {A}},
      {"rxvt Ctrl+Shift+Home, / intermediate",
       ESC "[1@" ESC "[1/xa"s,
       {{VK_HOME, 71, 0, Enh | Ctrl | Shift}, A}},
      {"rxvt Shift+Insert, Shift+F9, $ alone",
       ESC "[2$" ESC "[20$" ESC "[$a"s,
       {{VK_INSERT, 82, 0, Enh | Shift}, F(9, Shift)}},
      {"w32 fields: no scan code, Ctrl+A, U+0080, a CJK character, five fields",
       ESC "[0;0;97;1;0;1_" ESC "[65;30;1;1;8;1_" ESC "[65;30;128;1;0;1_" ESC
           "[65;30;19968;1;0;1_" ESC "[65;30;97;1;0_"s,
       {{0, 0, 'a', 0, Down},
        {'A', 30, 1, Ctrl, Down},
        {'A', 30, 0, 0, Down},
        {'A', 30, 0, 0, Down},
        {'A', 30, 'a', 0, Down}}},
      {"w32 VK 1 alone, a char alone, nothing",
       ESC "[1;0;0;1;0;1_" ESC "[0;0;1;1;0;1_" ESC "[0;0;0;1;0;1_"s,
       {{1, 0, 0, 0, Down}, {0, 0, 1, 0, Down}}},
      {"kitty Shift+f typing U+0410, and U+0080",
       ESC "[102;2;1040u" ESC "[102;1;128u"s,
       {{'F', 33, 0x80, Shift}}},
      {"space, Ctrl+Z, Ctrl+\\ ^ _",
       " \x1a\x1c\x1e\x1f"s,
       {{VK_SPACE, 57, ' ', 0},
        {'Z', 44, 26, Ctrl},
        {0xDC, 43, 28, Ctrl},
        {'6', 7, 30, Ctrl | Shift},
        {0xBD, 12, 31, Ctrl | Shift}}},
      {"kitty space typed, NBSP, U+0410, Ctrl+ef",
       ESC "[32u" ESC "[97;1;32u" ESC "[97;1;160u" ESC "[160u" ESC "[1040u" ESC "[1092;5u"s,
       {{VK_SPACE, 57, ' ', 0},
        {'A', 30, ' ', 0},
        {'A', 30, 0xFF, 0},
        {0xE7, 0, 0xFF, 0},
        {'F', 33, 0x80, 0},
        {'A', 30, 0, Ctrl}}},
      {"kitty at the edges of the refused codes",
       ESC "[57344;1;97u" ESC "[128;1;97u" ESC "[63744;1;97u" ESC "[97;1;128u" ESC "[97;1<u"s,
       {{0xE7, 0, 'a', 0}}},
      // The right Ctrl key's press tells which Ctrl a key after it holds.
      {"with event types, right Ctrl",
       ESC "[?31u" ESC "[57448;5u" ESC "[97;5u" ESC "[57448;1:3u"s,
       {{VK_CONTROL, 29, 0, Enh | RCtrl, Down},
        {'A', 30, 1, RCtrl, Down},
        {VK_CONTROL, 29, 0, Enh, Up}}},
      // The left Alt key's press leaves a key after it on the left Alt.
      {"with event types, left Alt",
       ESC "[?31u" ESC "[57443;3u" ESC "[120;3u"s,
       {{VK_MENU, 56, 0, Alt, Down}, {'X', 45, 'x', Alt, Down}}},
      // Raw bytes are no sequence of the protocol, even with event types.
      {"with event types, raw bytes typed whole",
       ESC "[?3u"
           "a["s,
       {A, {0xDB, 26, '[', 0}}},
      {"kitty left Shift released",
       ESC "[57441;2:1u" ESC "[57441;2:3u"s,
       {{VK_SHIFT, 42, 0, Shift, Down}, {VK_SHIFT, 42, 0, 0, Up}}},
      {"w32 a sub-part in the last field", ESC "[65;30;97;1;0;1:1_"s, {{'A', 30, 'a', 0, Down}}},
      {"UTF-8 that is no 866 byte",
       "\x80\xff\xc0\x9b\xe0\x90\xb5\xed\xa0\x80\xc3\xa9\xc2\x9b\xe2\x98\xba\xe2\x84"s + "a",
       {A}},
      // Stray and 4-byte leads whose bits would spell U+2500 were they taken.
      {"no character from stray bytes", "\x80\x82\x94\x80\x82\x94\x80\xf2\x94\x80"s + "a", {A}},
      {"YA, the last capital", "\xd0\xaf"s, {{'Z', 44, 0x9F, Shift}}},
      {"UTF-8 with the continuation's edge bytes",
       "\xe2\x94\x80\xd0\xbf\xd0\x90"s,
       {{0xE7, 0, 0xC4, 0}, {'G', 34, 0xAF, 0}, {'F', 33, 0x80, Shift}}},
      {"OSC ended at once", ESC "]\aa"s, {A}},
      {"ESC and a stray byte", ESC "\x80"s + "a", {Esc, A}},
      {"ESC [ and a control byte", ESC "[\x01"s, {{0xDB, 26, '[', Alt}, {'A', 30, 1, Ctrl}}},
      {"ESC O and DEL", ESC "O\x7f"s, {{'O', 24, 'O', Alt | Shift}, {VK_BACK, 14, 8, 0}}},
      {"ESC [ [ and CR", ESC "[[\r"s, {{VK_RETURN, 28, 13, 0}}},
      {"CSI broken by a control byte", ESC "[1;\x01"s, {{'A', 30, 1, Ctrl}}},
      {"CSI broken by ESC", ESC "[1" ESC "[A"s, {UpKey}},
      {"unknown CSI, broken record", ESC "[99~" ESC "[1;2;3;4;5;6;7_a"s, {A}},
      {"unknown rxvt and Linux console keys",
       ESC "[99$" ESC "[[z" ESC "[[ " ESC "[[~" ESC "[[\x7f"s + "a",
       {{VK_BACK, 14, 8, 0}, A}},
      {"kitty code with a leading zero", ESC "[097u"s, {A}},
      {"SS3 with an unknown final", ESC "O1za"s, {A}},
      {"OSC past the bound ending in BEL", ESC "]" + std::string(300, '1') + "\aa", {A}},
      {"OSC ending in a backslash, cut off by a sequence", ESC "]1;C:\\" ESC "[A"s, {UpKey}},
      {"SS3 keypad space, Tab and comma",
       ESC "O " ESC "OI" ESC "Ol"s,
       {{VK_SPACE, 57, ' ', 0}, {VK_TAB, 15, 9, 0}, {VK_ADD, 78, '+', 0}}},
      {"OSC ending in BEL", ESC "]4;1;"s + std::string(60, 'f') + "\aa", {A}},
      {"OSC cut off by a sequence", ESC "]11;rgb:12" ESC "[A"s, {UpKey}},
      {"ESC ESC is Esc and a fresh start", ESC ESC "[A"s, {Esc, UpKey}},
      {"timed out: ESC [", ESC "["s, {{0xDB, 26, '[', Alt}}},
      {"timed out: ESC O", ESC "O"s, {{'O', 24, 'O', Alt | Shift}}},
      {"timed out: ESC ]", ESC "]"s, {{0xDD, 27, ']', Alt}}},
      {"timed out: ESC [ [", ESC "[["s, {}},
      {"timed out: cut CSI", ESC "[1;5"s, {}},
      {"timed out: cut mouse report", ESC "[M !"s, {}},
      {"timed out: cut UTF-8", "\xe2\x84"s, {}},
      {"timed out: ESC and cut UTF-8", ESC "\xd0"s, {Esc}},
      {"timed out: OSC and ESC", ESC "]1" ESC ""s, {Esc}},
      // Asked for event types, Esc alone is still typed whole.
      {"timed out: Esc after event types", ESC "[?31u" ESC ""s, {Esc}},
  };
  for (const auto& [name, bytes, expected] : cases) {
    // Only a prefix that could still grow waits for the timeout.
    EXPECT_EQ(Decode(bytes, std::string_view(name).starts_with("timed out")), expected) << name;
  }
}

// Every printable key, plain and shifted, on its PC key; the function keys by
// every numbering terminals use.  The keypad's keys come alike in application
// mode and in the enhancement protocol; without Num Lock each is the cursor
// key printed on it, but not an enhanced key, on the same PC key.
TEST(KeyDecoderTest, TypedCharactersFunctionAndKeypadKeysArriveOnTheirPcKeys) {
  const std::tuple<const char*, const char*, WORD> rows[] = {{"1234567890-=", "!@#$%^&*()_+", 2},
                                                             {"qwertyuiop[]", "QWERTYUIOP{}", 16},
                                                             {"asdfghjkl;'`", "ASDFGHJKL:\"~", 30},
                                                             {"\\zxcvbnm,./", "|ZXCVBNM<>?", 43}};
  for (const auto& [plains, shifted, firstScan] : rows) {
    for (size_t i = 0; plains[i] != 0; ++i) {
      const auto plain = static_cast<uint8_t>(plains[i]);
      const auto scan = static_cast<WORD>(firstScan + i);
      const KeyEvent key = Decoded(std::string(1, char(plain)));
      EXPECT_EQ(key, (KeyEvent{key.VirtualKey, scan, plain})) << plain;
      EXPECT_TRUE(std::isalnum(plain) == 0 || key.VirtualKey == std::toupper(plain));
      EXPECT_EQ(Decoded(std::string(1, shifted[i])),
                (KeyEvent{key.VirtualKey, scan, uint8_t(shifted[i]), Shift}));
    }
  }
  const int vt220[] = {11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 23, 24};
  for (int n = 1; n <= 12; ++n)
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(vt220[n - 1]) + "~"), F(n));
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(Decoded(ESC "O"s + char('O' + n)), F(n)) << n;
  for (int n = 1; n <= 5; ++n) EXPECT_EQ(Decoded(ESC "[["s + char('@' + n)), F(n)) << n;
  // F13..F24 by the enhancement protocol's codes; none past them.
  for (int n = 13; n <= 25; ++n) {
    const Keys keys = Decode(ESC "[" + std::to_string(57376 + n - 13) + "u");
    ASSERT_EQ(keys.size(), n <= 24 ? 1U : 0U) << n;
    if (n > 24) continue;
    const KeyEvent& key = keys[0];
    EXPECT_EQ(std::tuple(key.VirtualKey, key.Char, key.ControlState, key.Stroke),
              std::tuple(WORD(VK_F1 + n - 1), uint8_t{0}, DWORD{0}, Stroke::PressAndRelease))
        << n;
  }
  for (const char c : {'\t', '\r', '\x7f'})
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(c) + "u"), Decoded(std::string(1, c))) << c;
  // Home and End by the Linux console's, tmux's and rxvt's numbers; rxvt's
  // Shift and Ctrl arrows; F1..F4 as CSI finals.
  for (const auto& [form, same] : {std::pair{"[1~", "[H"},
                                   {"[4~", "[F"},
                                   {"[7~", "[H"},
                                   {"[8~", "[F"},
                                   {"[a", "[1;2A"},
                                   {"[b", "[1;2B"},
                                   {"[c", "[1;2C"},
                                   {"[d", "[1;2D"},
                                   {"Oa", "[1;5A"},
                                   {"Ob", "[1;5B"},
                                   {"Oc", "[1;5C"},
                                   {"Od", "[1;5D"},
                                   {"[P", "[11~"},
                                   {"[Q", "[12~"},
                                   {"[R", "[13~"},
                                   {"[S", "[14~"}})
    EXPECT_EQ(Decoded(ESC + std::string(form)), Decoded(ESC + std::string(same))) << form;
  // The keypad: 0..9 . / * - + Enter =, and without Num Lock the cursor keys
  // on 4 6 8 2 9 3 7 1 0 . 5 (the enhancement protocol's codes from 57417).
  const std::string_view ss3 = "pqrstuvwxynojmkMX";
  const char* const cursorKeys[] = {"[D", "[C", "[A",  "[B",  "[5~", "[6~",
                                    "[H", "[F", "[2~", "[3~", "[E"};
  const std::string_view onKey = "tvxryswqpnu";
  for (size_t i = 0; i < ss3.size(); ++i) {
    const KeyEvent key = Decoded(ESC "O"s + ss3[i]);
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(57399 + i) + "u"), key) << i;
    if (i < 10) {
      EXPECT_EQ(std::tuple(key.VirtualKey, key.Char, key.ControlState),
                std::tuple(WORD(VK_NUMPAD0 + i), uint8_t('0' + i), DWORD{0}));
    }
    if (i >= onKey.size()) continue;
    KeyEvent cursor = Decoded(ESC + std::string(cursorKeys[i]));
    cursor.ControlState &= ~Enh;
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(57417 + i) + "u"), cursor) << i;
    EXPECT_EQ(Decoded(ESC "O"s + onKey[i]).ScanCode, cursor.ScanCode) << i;
  }
}

// Bytes at given times, and ticks (no bytes): the timeout joins, splits and
// drops exactly at its edge, and a clock going back fires nothing.
TEST(KeyDecoderTest, TheEscapeTimeoutDecidesAtItsEdge) {
  const uint64_t t = 10000;
  const uint64_t timeout = 50;  // how long Esc alone takes to arrive
  const uint64_t e = t + timeout;
  using Steps = std::vector<std::pair<uint64_t, std::string>>;
  // Name, steps, PendingTimeoutMs at the last step, keys.
  const std::tuple<const char*, Steps, int, Keys> cases[] = {
      {"lone Esc, just before", {{t, ESC}, {e - 1, ""}}, 1, {}},
      {"from time 0 the first bytes count", {{0, "1"}}, -1, {{'1', 2, '1', 0}}},
      {"lone Esc, at the edge", {{t, ESC}, {e, ""}}, -1, {Esc}},
      {"the clock goes back", {{t, ESC}, {10, ""}}, 50, {}},
      {"x just inside joins", {{t, ESC}, {e - 1, "x"}}, -1, {{'X', 45, 'x', Alt}}},
      {"x at the edge does not", {{t, ESC}, {e, "x"}}, -1, {Esc, {'X', 45, 'x', 0}}},
      {"a whole mouse report waits for nothing", {{t, ESC "[M !!"}}, -1, {}},
      {"a sequence at the bound waits for nothing",
       {{t, ESC "[" + std::string(MaxSequenceBytes - 2, '1')}},
       -1,
       {}},
      {"a string at the bound waits for nothing",
       {{t, ESC "]" + std::string(MaxSequenceBytes - 2, '1')}},
       -1,
       {}},
      {"SS3 tail skipped", {{t, ESC "O1"}, {e, ""}, {e + 9, "5Pa"}}, -1, {A}},
      {"tail skipped", {{t, ESC "[1;"}, {e, ""}, {e + 9, "5"}, {e + 9 + timeout, "a"}}, -1, {A}},
      {"string paused", {{t, ESC "]1;2"}, {t + 9, "3"}, {e, ""}, {e + 9 + timeout, "a"}}, -1, {A}},
      {"string paused less", {{t, ESC "]1;2"}, {t + 9, "3"}, {e + 9 + timeout - 1, "a"}}, -1, {}},
  };
  for (const auto& [name, steps, pending, expected] : cases) {
    KeyDecoder decoder;
    for (const auto& [at, bytes] : steps) {
      if (bytes.empty()) decoder.Tick(at);
      Feed(decoder, bytes, at);
    }
    EXPECT_EQ(decoder.PendingTimeoutMs(steps.back().first), pending) << name;
    EXPECT_EQ(PopAll(decoder), expected) << name;
  }
  // Asked past the edge before a tick, what waits is due at once.
  KeyDecoder decoder;
  Feed(decoder, ESC, t);
  EXPECT_EQ(decoder.PendingTimeoutMs(e + 1), 0);
}

// A sequence as long as the bound is still a key; one byte longer is cut.
TEST(KeyDecoderTest, TheSequenceBoundIsExact) {
  for (const size_t length : {MaxSequenceBytes, MaxSequenceBytes + 1}) {
    const std::string rest = std::string(length - 6, '0') + "1;5Pa";  // Ctrl+F1, a
    const size_t keys = length == MaxSequenceBytes ? 2 : 1;
    EXPECT_EQ(Decode(ESC "[" + rest).size(), keys) << length;
    EXPECT_EQ(Decode(ESC "O" + rest).size(), keys) << length;
  }
}

// Keys beyond the queue's bound are dropped, as a full keyboard buffer drops
// them; replies nobody collects keep only the newest.
TEST(KeyDecoderTest, TheQueuesKeepTheirBounds) {
  KeyDecoder decoder;
  Feed(decoder, std::string(KeyDecoder::MaxQueuedKeys + 5, 'a'), 1000);
  EXPECT_EQ(decoder.QueuedKeys(), KeyDecoder::MaxQueuedKeys);
  for (size_t mode = 1; mode <= KeyDecoder::MaxQueuedReplies + 3; ++mode)
    Feed(decoder, ESC "[?" + std::to_string(mode) + ";2$y", 1000);
  Reply reply;
  ASSERT_TRUE(decoder.PopReply(&reply));
  EXPECT_EQ(reply, (Reply{Reply::Kind::Mode, 4, 2}));
}

// Replies are told apart from keys and from other reports: private, whole,
// in the order they came.  The flags reported are kept; none before any.
TEST(KeyDecoderTest, RepliesAreNotedOnlyWhenWholeAndPrivate) {
  using Steps = std::vector<std::pair<uint64_t, std::string>>;
  using enum Reply::Kind;
  const uint64_t t = 10000;
  const uint64_t e = t + 50;
  const std::tuple<const char*, Steps, std::vector<Reply>, int> cases[] = {
      {"nothing yet", {}, {}, -1},
      {"mode, flags, DA1",
       {{t, ESC "[?9001;1$y" ESC "[?31u" ESC "[?62;22c"}},
       {{Mode, 9001, 1}, {KeyboardFlags, 0, 31}, Reply{DeviceAttributes}},
       31},
      {"DA1 without attributes", {{t, ESC "[?c"}}, {Reply{DeviceAttributes}}, -1},
      {"not private: no reply", {{t, ESC "[9001;2$y" ESC "[2c"}}, {}, -1},
      // A SS3 sequence cut off by the timeout is skipped to its end, which
      // is no DA1 even when it is a 'c'.
      {"SS3 tail ending in c", {{t, ESC "O1"}, {e, ""}, {e + 9, "c"}}, {}, -1},
  };
  for (const auto& [name, steps, expected, flags] : cases) {
    KeyDecoder decoder;
    for (const auto& [at, bytes] : steps) Feed(decoder, bytes, at);
    std::vector<Reply> replies;
    Reply reply;
    while (decoder.PopReply(&reply)) replies.push_back(reply);
    EXPECT_EQ(replies, expected) << name;
    EXPECT_EQ(decoder.KeyboardFlags(), flags) << name;
    EXPECT_EQ(PopAll(decoder), Keys{}) << name;
  }
}

// Keys that the line discipline would have turned into signals, had the
// terminal sent their control characters: by the terminal's own characters
// (moved or switched off with stty), and Ctrl+Break always.
TEST(KeyDecoderTest, ControlKeysStandForTheSignalsTheTerminalWouldRaise) {
  const SignalChars stock;
  const SignalChars moved{24, 0, 26};  // stty intr ^X quit undef
  const std::tuple<const char*, std::string, LineSignal, LineSignal> cases[] = {
      {"kitty Ctrl+C", ESC "[99;5u"s, LineSignal::Interrupt, LineSignal::None},
      {"kitty Ctrl+backslash", ESC "[92;5u"s, LineSignal::Quit, LineSignal::None},
      {"kitty Ctrl+Z", ESC "[122;5u"s, LineSignal::Suspend, LineSignal::Suspend},
      {"kitty Ctrl+X", ESC "[120;5u"s, LineSignal::None, LineSignal::Interrupt},
      {"kitty Ctrl+Pause", ESC "[57362;5u"s, LineSignal::Quit, LineSignal::Quit},
      {"kitty Alt+Ctrl+C", ESC "[99;7u"s, LineSignal::None, LineSignal::None},
      {"w32 Ctrl+C", ESC "[67;46;3;1;8;1_"s, LineSignal::Interrupt, LineSignal::None},
      {"w32 Ctrl+Break", ESC "[3;70;0;1;8;1_"s, LineSignal::Quit, LineSignal::Quit},
      {"c", "c"s, LineSignal::None, LineSignal::None},
      // Pause without Ctrl is no Break; a key without a character matches
      // no signal character, not even a switched-off one.
      {"kitty Pause", ESC "[57362u"s, LineSignal::None, LineSignal::None},
      {"Up", ESC "[A"s, LineSignal::None, LineSignal::None},
  };
  for (const auto& [name, bytes, withStock, withMoved] : cases) {
    const KeyEvent key = Decoded(bytes);
    EXPECT_NE(key, KeyEvent{}) << name;
    EXPECT_EQ(SignalOf(key, stock), withStock) << name;
    EXPECT_EQ(SignalOf(key, moved), withMoved) << name;
  }
}

}  // namespace
}  // namespace vt
