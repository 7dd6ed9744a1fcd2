#include "posix/vt/key_decoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vt {
namespace {

#define ESC "\x1b"

constexpr DWORD kShift = SHIFT_PRESSED;
constexpr DWORD Ctrl = LEFT_CTRL_PRESSED;
constexpr DWORD Alt = LEFT_ALT_PRESSED;
constexpr DWORD Enh = ENHANCED_KEY;
constexpr WORD VkPacket = 0xE7;

// A string literal's bytes, NUL included.
template <size_t N>
std::string B(const char (&s)[N]) {
  return std::string(s, N - 1);
}

struct KeyCase {
  const char* name;
  std::string bytes;
  KeyEvent key;
};

KeyEvent F(int n, DWORD state = 0) {
  const int scan = n <= 10 ? 58 + n : 76 + n;
  return {static_cast<WORD>(VK_F1 + n - 1), static_cast<WORD>(scan), 0, state};
}

// Every row is one key; no row is a prefix of a longer form, so the rows may
// also be concatenated.
const std::vector<KeyCase>& KeyCases() {
  static const std::vector<KeyCase> cases = {
      {"CR is Enter", B("\r"), {VK_RETURN, 28, 13, 0}},
      {"LF is Enter", B("\n"), {VK_RETURN, 28, 13, 0}},
      {"Tab", B("\t"), {VK_TAB, 15, 9, 0}},
      {"DEL is Backspace", B("\x7f"), {VK_BACK, 14, 8, 0}},
      {"BS is Backspace", B("\b"), {VK_BACK, 14, 8, 0}},
      {"space", B(" "), {VK_SPACE, 57, ' ', 0}},
      {"Ctrl+A", B("\x01"), {'A', 30, 1, Ctrl}},
      {"NUL is Ctrl+2", B("\0"), {'2', 3, 0, Ctrl}},
      {"Ctrl+]", B("\x1d"), {0xDD, 27, 29, Ctrl}},
      {"Alt+x", B(ESC "x"), {'X', 45, 'x', Alt}},
      {"Alt+Ctrl+A", B(ESC "\x01"), {'A', 30, 1, Alt | Ctrl}},
      {"Alt+ie", B(ESC "\xd0\xb5"), {'T', 20, 0xA5, Alt}},
      {"Up", B(ESC "[A"), {VK_UP, 72, 0, Enh}},
      {"Home CSI H", B(ESC "[H"), {VK_HOME, 71, 0, Enh}},
      {"End CSI F", B(ESC "[F"), {VK_END, 79, 0, Enh}},
      {"Delete", B(ESC "[3~"), {VK_DELETE, 83, 0, Enh}},
      {"keypad 5 CSI E", B(ESC "[E"), {VK_CLEAR, 76, 0, 0}},
      {"Shift+Tab", B(ESC "[Z"), {VK_TAB, 15, 9, kShift}},
      {"Ctrl+Left", B(ESC "[1;5D"), {VK_LEFT, 75, 0, Enh | Ctrl}},
      {"Meta+Right reads as Alt", B(ESC "[1;9C"), {VK_RIGHT, 77, 0, Enh | Alt}},
      {"Shift+Delete", B(ESC "[3;2~"), {VK_DELETE, 83, 0, Enh | kShift}},
      {"Ctrl+F12", B(ESC "[24;5~"), F(12, Ctrl)},
      {"Shift+F1 CSI", B(ESC "[1;2P"), F(1, kShift)},
      {"Up SS3", B(ESC "OA"), {VK_UP, 72, 0, Enh}},
      {"Ctrl+F1 old xterm", B(ESC "O5P"), F(1, Ctrl)},
      {"Shift+F2 SS3 1;2", B(ESC "O1;2Q"), F(2, kShift)},
      {"rxvt Ctrl+Insert", B(ESC "[2^"), {VK_INSERT, 82, 0, Enh | Ctrl}},
      {"rxvt Shift+F8", B(ESC "[19$"), F(8, kShift)},
      {"rxvt Shift+Up", B(ESC "[a"), {VK_UP, 72, 0, Enh | kShift}},
      {"rxvt Ctrl+Left", B(ESC "Od"), {VK_LEFT, 75, 0, Enh | Ctrl}},
      // UTF-8 into code page 866, on the JCUKEN keys.
      {"ie", B("\xd0\xb5"), {'T', 20, 0xA5, 0}},
      {"IE", B("\xd0\x95"), {'T', 20, 0x85, kShift}},
      {"er", B("\xd1\x80"), {'H', 35, 0xE0, 0}},
      {"yo on `", B("\xd1\x91"), {0xC0, 41, 0xF1, 0}},
      {"numero sign", B("\xe2\x84\x96"), {'3', 4, 0xFC, kShift}},
      {"degree sign", B("\xc2\xb0"), {VkPacket, 0, 0xF8, 0}},
      {"no-break space", B("\xc2\xa0"), {VkPacket, 0, 0xFF, 0}},
      // win32-input-mode: each record on its own, exactly as sent.
      {"w32 left Alt down", B(ESC "[18;56;0;1;2;1_"), {VK_MENU, 56, 0, Alt, Stroke::Press}},
      {"w32 keypad 6 up under Alt",
       B(ESC "[102;77;0;0;2;1_"),
       {VK_NUMPAD0 + 6, 77, 0, Alt, Stroke::Release}},
      {"w32 AltGr+q gives @",
       B(ESC "[81;16;64;1;9;1_"),
       {'Q', 16, '@', RIGHT_ALT_PRESSED | Ctrl, Stroke::Press}},
      {"w32 Esc, repeated", B(ESC "[27;1;27;1;0;3_"), {VK_ESCAPE, 1, 27, 0, Stroke::Press, 3}},
      {"w32 ie, Unicode to 866", B(ESC "[84;20;1077;1;0;1_"), {'T', 20, 0xA5, 0, Stroke::Press}},
      // The progressive keyboard enhancement protocol.
      {"kitty Esc", B(ESC "[27u"), {VK_ESCAPE, 1, 27, 0}},
      {"kitty Alt+x", B(ESC "[120;3u"), {'X', 45, 'x', Alt}},
      {"kitty x released", B(ESC "[120;1:3u"), {'X', 45, 'x', 0, Stroke::Release}},
      {"kitty Shift+a, shifted key and text", B(ESC "[97:65;2;65u"), {'A', 30, 'A', kShift}},
      {"kitty Shift+1 without text", B(ESC "[49;2u"), {'1', 2, '!', kShift}},
      {"kitty Ctrl+c", B(ESC "[99;5u"), {'C', 46, 3, Ctrl}},
      {"kitty Ctrl+1 types nothing", B(ESC "[49;5u"), {'1', 2, 0, Ctrl}},
      {"kitty keypad 7 pressed", B(ESC "[57406;1:1u"), {VK_NUMPAD0 + 7, 71, '7', 0, Stroke::Press}},
      {"kitty keypad 5 in ~ form", B(ESC "[57427~"), {VK_CLEAR, 76, 0, 0}},
      {"kitty Left released, letter form",
       B(ESC "[1;1:3D"),
       {VK_LEFT, 75, 0, Enh, Stroke::Release}},
      {"kitty Delete repeated", B(ESC "[3;1:2~"), {VK_DELETE, 83, 0, Enh, Stroke::Press}},
      {"kitty Enter with Num Lock", B(ESC "[13;129u"), {VK_RETURN, 28, 13, NUMLOCK_ON}},
      {"kitty ie on its US key", B(ESC "[1077::116;1;1077u"), {'T', 20, 0xA5, 0}},
      {"kitty left Alt pressed", B(ESC "[57443;3:1u"), {VK_MENU, 56, 0, Alt, Stroke::Press}},
      {"kitty left Alt released", B(ESC "[57443;3:3u"), {VK_MENU, 56, 0, 0, Stroke::Release}},
      {"kitty right Shift pressed", B(ESC "[57447;2:1u"), {VK_SHIFT, 54, 0, kShift, Stroke::Press}},
  };
  return cases;
}

std::vector<KeyEvent> PopAll(KeyDecoder& decoder) {
  std::vector<KeyEvent> keys;
  KeyEvent key;
  while (decoder.Pop(&key)) keys.push_back(key);
  return keys;
}

void Feed(KeyDecoder& decoder, const std::string& bytes, uint64_t nowMs) {
  decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), nowMs);
}

TEST(KeyDecoderTest, EachSequenceStreamsWholeOrByteByByte) {
  for (const KeyCase& c : KeyCases()) {
    SCOPED_TRACE(c.name);
    KeyDecoder whole;
    Feed(whole, c.bytes, 1000);
    EXPECT_EQ(PopAll(whole), std::vector<KeyEvent>{c.key});
    EXPECT_EQ(whole.PendingBytes(), 0U);
    EXPECT_EQ(whole.PendingTimeoutMs(1000), -1);

    // One byte a millisecond: split across reads, well inside the timeout.
    KeyDecoder split;
    uint64_t now = 1000;
    for (size_t i = 0; i < c.bytes.size(); ++i, ++now) {
      Feed(split, c.bytes.substr(i, 1), now);
      split.Tick(now);
      if (i + 1 < c.bytes.size()) {
        EXPECT_EQ(split.QueuedKeys(), 0U) << "after byte " << i;
      }
    }
    EXPECT_EQ(PopAll(split), std::vector<KeyEvent>{c.key});
    EXPECT_EQ(split.PendingBytes(), 0U);
  }
}

KeyEvent Decoded(const std::string& bytes) {
  KeyDecoder decoder;
  Feed(decoder, bytes, 1000);
  const std::vector<KeyEvent> keys = PopAll(decoder);
  return keys.size() == 1 ? keys[0] : KeyEvent{};
}

// The PC keyboard's rows as its scan codes number them: every printable key,
// plain and shifted, on its physical key.
TEST(KeyDecoderTest, TypedCharactersArriveOnTheirPcKeys) {
  const struct {
    const char* plain;
    const char* shifted;
    WORD firstScan;
  } rows[] = {{"1234567890-=", "!@#$%^&*()_+", 2},
              {"qwertyuiop[]", "QWERTYUIOP{}", 16},
              {"asdfghjkl;'`", "ASDFGHJKL:\"~", 30},
              {"\\zxcvbnm,./", "|ZXCVBNM<>?", 43}};
  for (const auto& row : rows) {
    for (size_t i = 0; row.plain[i] != 0; ++i) {
      const KeyEvent plain = Decoded(std::string(1, row.plain[i]));
      const KeyEvent shifted = Decoded(std::string(1, row.shifted[i]));
      SCOPED_TRACE(std::string(1, row.plain[i]));
      EXPECT_EQ(plain.ScanCode, row.firstScan + i);
      EXPECT_EQ(plain.Char, static_cast<uint8_t>(row.plain[i]));
      EXPECT_EQ(plain.ControlState, 0U);
      EXPECT_EQ(shifted, (KeyEvent{plain.VirtualKey, plain.ScanCode,
                                   static_cast<uint8_t>(row.shifted[i]), kShift}));
      if (std::isalnum(static_cast<unsigned char>(row.plain[i])) != 0) {
        EXPECT_EQ(plain.VirtualKey, std::toupper(static_cast<unsigned char>(row.plain[i])));
      }
    }
  }
}

// The punctuation keys' virtual key codes on the US layout.
TEST(KeyDecoderTest, PunctuationHasTheOemKeyCodes) {
  const std::pair<char, WORD> oem[] = {{'-', 0xBD}, {'=', 0xBB},  {'[', 0xDB}, {']', 0xDD},
                                       {';', 0xBA}, {'\'', 0xDE}, {'`', 0xC0}, {'\\', 0xDC},
                                       {',', 0xBC}, {'.', 0xBE},  {'/', 0xBF}};
  for (const auto& [c, vk] : oem) EXPECT_EQ(Decoded(std::string(1, c)).VirtualKey, vk) << c;
}

// The function keys by every numbering terminals use, and the keypad in
// application mode.
TEST(KeyDecoderTest, FunctionAndKeypadKeysByTheirCodes) {
  const int vt220[] = {11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 23, 24};
  for (int n = 1; n <= 12; ++n) {
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(vt220[n - 1]) + "~"), F(n)) << n;
    if (n <= 4) {
      EXPECT_EQ(Decoded(ESC "O" + std::string(1, 'O' + n)), F(n)) << n;
    }
    if (n <= 5) {
      EXPECT_EQ(Decoded(ESC "[[" + std::string(1, '@' + n)), F(n)) << n;
    }
  }
  // The keypad: application mode (ESC O) and the enhancement protocol's
  // codes give the same keys, on the PC keypad's scan codes.
  const WORD scans[] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};  // 0..9
  for (int d = 0; d < 10; ++d) {
    const KeyEvent digit{static_cast<WORD>(VK_NUMPAD0 + d), scans[d], static_cast<uint8_t>('0' + d),
                         0};
    EXPECT_EQ(Decoded(ESC "O" + std::string(1, 'p' + d)), digit) << d;
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(57399 + d) + "u"), digit) << d;
  }
  const struct {
    char ss3;
    int kitty;
    KeyEvent key;
  } others[] = {{'n', 57409, {0x6E, 83, '.', 0}},        {'o', 57410, {VK_DIVIDE, 53, '/', Enh}},
                {'j', 57411, {VK_MULTIPLY, 55, '*', 0}}, {'m', 57412, {VK_SUBTRACT, 74, '-', 0}},
                {'k', 57413, {VK_ADD, 78, '+', 0}},      {'M', 57414, {VK_RETURN, 28, 13, Enh}},
                {'X', 57415, {0xBB, 13, '=', 0}}};
  for (const auto& o : others) {
    EXPECT_EQ(Decoded(ESC "O" + std::string(1, o.ss3)), o.key) << o.ss3;
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(o.kitty) + "u"), o.key) << o.kitty;
  }
  // Without Num Lock the enhancement protocol names the keypad's other keys.
  const WORD navigation[][2] = {{VK_LEFT, 75},   {VK_RIGHT, 77}, {VK_UP, 72},   {VK_DOWN, 80},
                                {VK_PRIOR, 73},  {VK_NEXT, 81},  {VK_HOME, 71}, {VK_END, 79},
                                {VK_INSERT, 82}, {VK_DELETE, 83}};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Decoded(ESC "[" + std::to_string(57417 + i) + "u"),
              (KeyEvent{navigation[i][0], navigation[i][1], 0, 0}))
        << i;
  }
}

TEST(KeyDecoderTest, ConcatenatedSequencesDecodeAlikeInAnyChunking) {
  std::string stream;
  std::vector<KeyEvent> expected;
  for (const KeyCase& c : KeyCases()) {
    stream += c.bytes;
    expected.push_back(c.key);
  }
  std::mt19937 random(866);
  for (int round = 0; round < 20; ++round) {
    KeyDecoder decoder;
    std::vector<KeyEvent> got;
    size_t pos = 0;
    while (pos < stream.size()) {
      const size_t take = std::min<size_t>(stream.size() - pos, 1 + random() % 40);
      Feed(decoder, stream.substr(pos, take), 5000);
      pos += take;
      for (const KeyEvent& k : PopAll(decoder)) got.push_back(k);
    }
    EXPECT_EQ(got, expected) << "round " << round;
  }
}

TEST(KeyDecoderTest, LoneEscWaitsExactlyTheTimeout) {
  const uint64_t t = 10000;
  KeyDecoder decoder;
  Feed(decoder, B(ESC), t);
  EXPECT_EQ(decoder.PendingTimeoutMs(t), EscapeTimeoutMs);
  decoder.Tick(t + EscapeTimeoutMs - 1);
  EXPECT_EQ(decoder.QueuedKeys(), 0U);
  EXPECT_EQ(decoder.PendingTimeoutMs(t + EscapeTimeoutMs - 1), 1);
  decoder.Tick(t + EscapeTimeoutMs);
  EXPECT_EQ(PopAll(decoder), (std::vector<KeyEvent>{{VK_ESCAPE, 1, 27, 0}}));
  EXPECT_EQ(decoder.PendingTimeoutMs(t + EscapeTimeoutMs), -1);
}

TEST(KeyDecoderTest, KeyAfterEscJoinsItOnlyWithinTheTimeout) {
  const KeyEvent esc{VK_ESCAPE, 1, 27, 0};
  const uint64_t t = 10000;
  KeyDecoder quick;
  Feed(quick, B(ESC), t);
  Feed(quick, B("x"), t + EscapeTimeoutMs - 1);
  EXPECT_EQ(PopAll(quick), (std::vector<KeyEvent>{{'X', 45, 'x', Alt}}));

  // No Tick in between: the late byte itself resolves the waiting Esc.
  KeyDecoder late;
  Feed(late, B(ESC), t);
  Feed(late, B("x"), t + EscapeTimeoutMs);
  EXPECT_EQ(PopAll(late), (std::vector<KeyEvent>{esc, {'X', 45, 'x', 0}}));
}

TEST(KeyDecoderTest, EscEscIsEscThenAFreshStart) {
  const KeyEvent esc{VK_ESCAPE, 1, 27, 0};
  const uint64_t t = 10000;
  KeyDecoder pair;
  Feed(pair, B(ESC ESC), t);
  EXPECT_EQ(PopAll(pair), std::vector<KeyEvent>{esc});  // the first at once
  pair.Tick(t + EscapeTimeoutMs);
  EXPECT_EQ(PopAll(pair), std::vector<KeyEvent>{esc});

  KeyDecoder thenUp;
  Feed(thenUp, B(ESC ESC "[A"), t);
  EXPECT_EQ(PopAll(thenUp), (std::vector<KeyEvent>{esc, {VK_UP, 72, 0, Enh}}));
}

// Bytes that are no key come out as nothing and leave nothing waiting;
// broken or foreign bytes never take a real key down with them.  Each fed
// whole and byte by byte.
TEST(KeyDecoderTest, NonKeysAreSwallowedAndKeysAfterBrokenInputSurvive) {
  const KeyEvent esc{VK_ESCAPE, 1, 27, 0};
  const KeyEvent a{'A', 30, 'a', 0};
  const std::vector<std::tuple<const char*, std::string, std::vector<KeyEvent>>> cases = {
      {"paste start", B(ESC "[200~"), {}},
      {"SGR mouse", B(ESC "[<0;120;45M"), {}},
      {"X10 mouse with high bytes", B(ESC "[M\x80\xff\x1b"), {}},
      {"too many parameters", B(ESC "[1;2;3A"), {}},
      {"stray continuation byte", B("\x80"), {}},
      {"byte UTF-8 never uses", B("\xff"), {}},
      {"overlong ESC", B("\xc0\x9b"), {}},
      {"overlong 3-byte ie", B("\xe0\x90\xb5"), {}},
      {"surrogate", B("\xed\xa0\x80"), {}},
      {"e acute, not in 866", B("\xc3\xa9"), {}},
      {"C1 CSI as UTF-8", B("\xc2\x9b"), {}},
      {"smiley glyph of byte 1", B("\xe2\x98\xba"), {}},
      // Terminal replies, which come whenever the terminal sends them.
      {"OSC colour reply, ST", B(ESC "]11;rgb:1234/5678/9abc" ESC "\\"), {}},
      {"DCS longer than a sequence", B(ESC "P1+r") + std::string(300, '4') + B(ESC "\\"), {}},
      {"APC", B(ESC "_Gi=1;OK" ESC "\\"), {}},
      {"SOS", B(ESC "Xstring" ESC "\\"), {}},
      {"PM", B(ESC "^private" ESC "\\"), {}},
      {"secondary device attributes", B(ESC "[>41;390;0c"), {}},
      {"device attributes", B(ESC "[?64;1;2;6;9;15;16;17;18;21;22;28c"), {}},
      {"mode report", B(ESC "[?9001;2$y"), {}},
      {"keyboard flags report", B(ESC "[?0u"), {}},
      {"kitty key without a console name", B(ESC "[57428u"), {}},
      {"kitty event type it lacks", B(ESC "[97;1:4u"), {}},
      {"kitty control code as a key", B(ESC "[1u"), {}},
      {"cut 3-byte UTF-8", B("\xe2\x84") + "a", {a}},
      {"ESC and a stray byte", B(ESC "\x80") + "a", {esc, a}},
      {"ESC [ and a control byte", B(ESC "[\x01"), {{0xDB, 26, '[', Alt}, {'A', 30, 1, Ctrl}}},
      {"ESC O and DEL", B(ESC "O\x7f"), {{'O', 24, 'O', Alt | kShift}, {VK_BACK, 14, 8, 0}}},
      {"CSI broken by a control byte", B(ESC "[1;\x01"), {{'A', 30, 1, Ctrl}}},
      {"CSI broken by ESC", B(ESC "[1" ESC "[A"), {{VK_UP, 72, 0, Enh}}},
      {"unknown CSI then a", B(ESC "[99~a"), {a}},
      {"broken win32 record then a", B(ESC "[1;2;3;4;5;6;7_a"), {a}},
      {"overlong CSI then a", B(ESC "[1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1A") + "a", {a}},
      {"long DCS reply then a", B(ESC "P") + std::string(100, '1') + B(ESC "\\a"), {a}},
      {"long OSC ending in BEL then a", B(ESC "]4;1;") + std::string(60, 'f') + "\aa", {a}},
      {"OSC cut off by a sequence", B(ESC "]11;rgb:12" ESC "[A"), {{VK_UP, 72, 0, Enh}}},
      {"pasted text stays keys", B(ESC "[200~a" ESC "[201~"), {a}},
  };
  for (const auto& [name, bytes, expected] : cases) {
    SCOPED_TRACE(name);
    KeyDecoder whole;
    Feed(whole, bytes, 1000);
    EXPECT_EQ(whole.PendingBytes(), 0U) << "waits for the timeout";
    whole.Tick(1000 + EscapeTimeoutMs);
    EXPECT_EQ(PopAll(whole), expected);

    KeyDecoder split;
    for (size_t i = 0; i < bytes.size(); ++i) Feed(split, bytes.substr(i, 1), 1000);
    split.Tick(1000 + EscapeTimeoutMs);
    EXPECT_EQ(PopAll(split), expected);
  }
}

TEST(KeyDecoderTest, TimedOutPrefixesResolve) {
  const std::vector<std::tuple<const char*, std::string, std::vector<KeyEvent>>> cases = {
      {"ESC [ is Alt+[", B(ESC "["), {{0xDB, 26, '[', Alt}}},
      {"ESC O is Alt+Shift+O", B(ESC "O"), {{'O', 24, 'O', Alt | kShift}}},
      {"cut CSI is dropped", B(ESC "[1;5"), {}},
      {"cut mouse report is dropped", B(ESC "[M !"), {}},
      {"cut UTF-8 is dropped", B("\xe2\x84"), {}},
      {"ESC and cut UTF-8 is Esc", B(ESC "\xd0"), {{VK_ESCAPE, 1, 27, 0}}},
  };
  for (const auto& [name, bytes, expected] : cases) {
    SCOPED_TRACE(name);
    KeyDecoder decoder;
    Feed(decoder, bytes, 1000);
    EXPECT_EQ(decoder.QueuedKeys(), 0U);
    EXPECT_EQ(decoder.PendingTimeoutMs(1000), EscapeTimeoutMs);
    decoder.Tick(1000 + EscapeTimeoutMs);
    EXPECT_EQ(PopAll(decoder), expected);
    EXPECT_EQ(decoder.PendingBytes(), 0U);
  }
}

TEST(KeyDecoderTest, TailOfACutSequenceIsSkippedNotTyped) {
  // Over a slow link the end of Ctrl+Left comes after the timeout: the
  // "D" must not become a typed letter.
  KeyDecoder decoder;
  Feed(decoder, B(ESC "[1;"), 1000);
  decoder.Tick(1000 + EscapeTimeoutMs);
  Feed(decoder, B("5D"), 1000 + EscapeTimeoutMs + 10);
  EXPECT_EQ(decoder.QueuedKeys(), 0U);
  Feed(decoder, B("5"), 2000);
  EXPECT_EQ(PopAll(decoder), (std::vector<KeyEvent>{{'5', 6, '5', 0}}));

  // A digit typed well after the cut sequence is a digit.
  KeyDecoder later;
  Feed(later, B(ESC "[1"), 1000);
  later.Tick(1000 + EscapeTimeoutMs);
  Feed(later, B("5"), 1000 + 3 * EscapeTimeoutMs);
  EXPECT_EQ(PopAll(later), (std::vector<KeyEvent>{{'5', 6, '5', 0}}));
}

TEST(KeyDecoderTest, MemoryStaysBoundedWhateverArrives) {
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

  // Keys never popped: the queue stops growing.
  KeyDecoder unread;
  Feed(unread, std::string(10000, 'a'), 0);
  EXPECT_EQ(unread.QueuedKeys(), KeyDecoder::MaxQueuedKeys);
}

// A sequence as long as the bound is still a key; one byte longer is cut.
TEST(KeyDecoderTest, ASequenceUpToTheBoundIsAKey) {
  const KeyEvent ctrlLeft{VK_LEFT, 75, 0, Enh | Ctrl};
  const KeyEvent a{'A', 30, 'a', 0};
  for (const size_t length : {MaxSequenceBytes, MaxSequenceBytes + 1}) {
    KeyDecoder decoder;
    Feed(decoder, B(ESC "[") + std::string(length - 6, '0') + "1;5Da", 1000);
    const std::vector<KeyEvent> kept{ctrlLeft, a};
    EXPECT_EQ(PopAll(decoder), length == MaxSequenceBytes ? kept : std::vector<KeyEvent>{a})
        << length;
  }
}

TEST(KeyDecoderTest, ClockGoingBackwardsDoesNotFireTheTimeout) {
  KeyDecoder decoder;
  Feed(decoder, B(ESC), 1000);
  decoder.Tick(10);
  EXPECT_EQ(decoder.QueuedKeys(), 0U);
  EXPECT_EQ(decoder.PendingTimeoutMs(10), EscapeTimeoutMs);
  decoder.Tick(1000 + EscapeTimeoutMs);
  EXPECT_EQ(decoder.QueuedKeys(), 1U);
}

struct RecordView {
  bool down;
  WORD vk;
  WORD scan;
  uint8_t ch;
  DWORD state;
  bool operator==(const RecordView&) const = default;
};

std::vector<RecordView> Records(const KeyEvent& key) {
  std::vector<INPUT_RECORD> records;
  AppendKeyRecords(key, &records);
  std::vector<RecordView> views;
  for (const INPUT_RECORD& r : records) {
    EXPECT_EQ(r.EventType, KEY_EVENT);
    const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
    EXPECT_EQ(k.wRepeatCount, 1);
    views.push_back({k.bKeyDown != 0, k.wVirtualKeyCode, k.wVirtualScanCode,
                     static_cast<uint8_t>(k.uChar.AsciiChar), k.dwControlKeyState});
  }
  return views;
}

TEST(KeyRecordsTest, PressAndReleaseInsideTheModifiers) {
  // A code page 866 byte above 127 survives the trip through CHAR.
  EXPECT_EQ(Records({'T', 20, 0xA5, 0}),
            (std::vector<RecordView>{{true, 'T', 20, 0xA5, 0}, {false, 'T', 20, 0xA5, 0}}));
  EXPECT_EQ(Records({'X', 45, 'x', Alt}), (std::vector<RecordView>{
                                              {true, VK_MENU, 56, 0, Alt},
                                              {true, 'X', 45, 'x', Alt},
                                              {false, 'X', 45, 'x', Alt},
                                              {false, VK_MENU, 56, 0, 0},
                                          }));
  EXPECT_EQ(Records({VK_LEFT, 75, 0, Enh | Ctrl | kShift}),
            (std::vector<RecordView>{
                {true, VK_SHIFT, 42, 0, kShift},
                {true, VK_CONTROL, 29, 0, kShift | Ctrl},
                {true, VK_LEFT, 75, 0, Enh | Ctrl | kShift},
                {false, VK_LEFT, 75, 0, Enh | Ctrl | kShift},
                {false, VK_CONTROL, 29, 0, kShift},
                {false, VK_SHIFT, 42, 0, 0},
            }));
}

// A control string that never ends swallows no more than its bound, and no
// key after a pause.
TEST(KeyDecoderTest, AnEndlessControlStringIsBounded) {
  const KeyEvent a{'A', 30, 'a', 0};
  KeyDecoder flood;
  Feed(flood, B(ESC "]") + std::string(MaxControlStringBytes + 10, '7') + "a", 1000);
  // The bound counts from the ESC: 12 digits and the a are past it.
  EXPECT_EQ(PopAll(flood).size(), 13U) << "the bytes past the bound count again";
  KeyDecoder pause;
  Feed(pause, B(ESC "]11;rgb:12"), 1000);
  Feed(pause, "34", 1020);
  pause.Tick(1000 + EscapeTimeoutMs);  // the string is cut off here
  Feed(pause, "a", 1000 + 2 * EscapeTimeoutMs);
  EXPECT_EQ(PopAll(pause), std::vector<KeyEvent>{a});
}

// Whole runs of key events in the enhancement protocol: the flags the
// terminal reports decide whether a key without an event type is a press
// alone, and the modifier keys' own events which Alt and Ctrl are down.
TEST(KeyDecoderTest, KittyEventsAreRecordsOfTheirOwn) {
  constexpr DWORD RAlt = RIGHT_ALT_PRESSED;
  constexpr Stroke Down = Stroke::Press;
  constexpr Stroke Up = Stroke::Release;
  const KeyEvent a{'A', 30, 'a', 0};
  struct Run {
    const char* name;
    std::string bytes;
    std::vector<KeyEvent> keys;
  };
  const std::vector<Run> runs = {
      {"without event types a key is typed whole", B(ESC "[?1u" ESC "[97u"), {a}},
      {"with them, press then release",
       B(ESC "[?31u" ESC "[97u" ESC "[97;1:3u"),
       {{'A', 30, 'a', 0, Down}, {'A', 30, 'a', 0, Up}}},
      {"AltGr+q types @",
       B(ESC "[?31u" ESC "[57453u" ESC "[113;1;64u" ESC "[57453;1:3u" ESC "[113u"),
       {{VK_MENU, 56, 0, Enh | RAlt, Down},
        {'Q', 16, '@', RAlt | Ctrl, Down},
        {VK_MENU, 56, 0, Enh, Up},
        {'Q', 16, 'q', 0, Down}}},
      {"right Alt counted as Alt stays right",
       B(ESC "[?31u" ESC "[57449;3u" ESC "[120;3u" ESC "[57449;1:3u" ESC "[120;3u"),
       {{VK_MENU, 56, 0, Enh | RAlt, Down},
        {'X', 45, 'x', RAlt, Down},
        {VK_MENU, 56, 0, Enh, Up},
        {'X', 45, 'x', Alt, Down}}},
      {"Esc alone, then x at once, is no Alt+x",
       B(ESC "[?31u" ESC "[27u" ESC "[120u"),
       {{VK_ESCAPE, 1, 27, 0, Down}, {'X', 45, 'x', 0, Down}}},
  };
  for (const Run& run : runs) {
    SCOPED_TRACE(run.name);
    KeyDecoder whole;
    Feed(whole, run.bytes, 1000);
    EXPECT_EQ(PopAll(whole), run.keys);
    KeyDecoder split;
    for (size_t i = 0; i < run.bytes.size(); ++i) Feed(split, run.bytes.substr(i, 1), 1000 + i);
    EXPECT_EQ(PopAll(split), run.keys);
  }
}

}  // namespace
}  // namespace vt
