// Key records in, key bytes out: the translation tables, Alt numbers, the
// code page 866 rule, the queue limits and the break handling.
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/unit/console_test_support.h"

namespace {

constexpr DWORD kLAlt = LEFT_ALT_PRESSED;
constexpr DWORD kRAlt = RIGHT_ALT_PRESSED;
constexpr DWORD Ctrl = LEFT_CTRL_PRESSED;
constexpr DWORD kShift = SHIFT_PRESSED;
constexpr DWORD Enh = ENHANCED_KEY;

struct Press {
  WORD vk;
  WORD scan;
  uint8_t ch;
  DWORD state;
};

struct KeyCase {
  const char* name;
  std::vector<Press> presses;
  std::vector<int> bytes;  // what ReadKey returns, in order
};
// CTest shows the parameter in the test name: the case's name, not its bytes.
void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<int> ReadAll() {
  std::vector<int> bytes;
  while (KeyPressed()) bytes.push_back(ReadKey());
  return bytes;
}

class KeyTranslationTest : public ConsoleServicesTest,
                           public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTranslationTest, GivesTheBiosBytes) {
  Start();
  for (const Press& p : GetParam().presses) fake::PushKey(p.vk, p.scan, p.ch, p.state);
  // Keys that give nothing end one UpdateKeyQueue call; poll until the input
  // is used up.
  std::vector<int> bytes;
  for (int i = 0; i < 8; ++i)
    for (int b : ReadAll()) bytes.push_back(b);
  EXPECT_EQ(bytes, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Keyboard, KeyTranslationTest,
    ::testing::Values(
        KeyCase{"AltX", {{'X', 45, 'x', kLAlt}}, {0, 45}},
        KeyCase{"GreyUp", {{VK_UP, 72, 0, Enh}}, {0, 72}},
        KeyCase{"Enter", {{VK_RETURN, 28, 13, 0}}, {13}},
        KeyCase{"EscBackspaceTab",
                {{VK_ESCAPE, 1, 27, 0}, {VK_BACK, 14, 8, 0}, {VK_TAB, 15, 9, 0}},
                {27, 8, 9}},
        KeyCase{"ShiftTab", {{VK_TAB, 15, 9, kShift}}, {0, 15}},
        KeyCase{"EscWithoutCharacterIsStillEsc", {{VK_ESCAPE, 1, 0, NUMLOCK_ON}}, {27}},
        KeyCase{"AltEscWithoutCharacterIsNotEsc", {{VK_ESCAPE, 1, 0, kLAlt}}, {}},
        KeyCase{"CtrlA", {{'A', 30, 1, Ctrl}}, {1}},
        KeyCase{"AltGrCharacterStaysCharacter", {{'Q', 16, '@', kRAlt | Ctrl}}, {'@'}},
        KeyCase{"RightAltWith240GivesScan", {{'Q', 16, 240, kRAlt}}, {0, 16}},
        KeyCase{"KeypadStarAltIsNoAltDigit", {{VK_MULTIPLY, 55, 0, kLAlt}}, {0, 55}},
        KeyCase{"ModifiersAloneGiveNothing",
                {{VK_SHIFT, 42, 0, kShift}, {VK_CONTROL, 29, 0, Ctrl}, {VK_MENU, 56, 0, kLAlt}},
                {}},
        KeyCase{"AltSpaceGivesNothingButTheNextKeyComes",
                {{VK_SPACE, 57, ' ', kLAlt}, {'A', 30, 'a', 0}},
                {'a'}},
        KeyCase{"CyrillicErIs224AndGivesNothingUnder866",
                {{'H', 35, 224, 0}, {'T', 20, 0xA5, 0}},
                {0xA5}},
        KeyCase{"CyrillicLettersArriveAsTyped",
                {{'S', 31, 0xEB, 0}, {'P', 25, 0x87, kShift}},
                {0xEB, 0x87}}),
    [](const auto& test) { return std::string(test.param.name); });

// The scan codes a key without a character gives with Alt, Ctrl, Shift and
// alone, as the PC keyboard's BIOS numbers them: the first and last key of
// each region of the table, where an off-by-one would show.  0: nothing.
TEST(TranslateKeyTest, BiosScanCodesAtTheEdgesOfEachRegion) {
  struct Row {
    const char* key;
    uint8_t scan;
    int alt, ctrl, shift, plain;
  } const rows[] = {
      {"1", 2, 120, 2, 2, 2},
      {"=", 13, 131, 13, 13, 13},
      {"Backspace", 14, 14, 0, 0, 0},
      {"Tab", 15, 0, 0, 0, 0},
      {"Q", 16, 16, 0, 0, 0},
      {"]", 27, 27, 0, 0, 0},
      {"Enter", 28, 166, 0, 0, 0},
      {"left Ctrl", 29, 29, 0, 0, 0},
      {"/", 53, 164, 149, 53, 53},
      {"right Shift", 54, 0, 0, 0, 0},
      {"keypad *", 55, 55, 150, 55, 55},
      {"F1", 59, 104, 94, 84, 59},
      {"F10", 68, 113, 103, 93, 68},
      {"Num Lock", 69, 0, 0, 0, 0},
      {"Del", 83, 163, 147, 83, 83},
      {"F11", 87, 139, 137, 135, 133},
      {"F12", 88, 140, 138, 136, 134},
      {"F13", 89, 0, 0, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.key);
    EXPECT_EQ(TranslateKey(LEFT_ALT_PRESSED, 0, r.scan), r.alt * 256);
    EXPECT_EQ(TranslateKey(LEFT_CTRL_PRESSED, 0, r.scan), r.ctrl * 256);
    EXPECT_EQ(TranslateKey(SHIFT_PRESSED, 0, r.scan), r.shift * 256);
    EXPECT_EQ(TranslateKey(0, 0, r.scan), r.plain * 256);
  }
}

// The cursor block (71..83): with Alt the codes run 80 above the scan code,
// except the keypad's -, 5 and + which keep theirs; with Ctrl the six keys of
// the first PC keyboard have their old codes and the seven that came later
// take 141..147 in scan order.  Ctrl wins over Alt here.
TEST(TranslateKeyTest, CursorBlockWithAltAndCtrl) {
  const std::map<uint8_t, int> oldCtrl = {{71, 119}, {73, 132}, {75, 115},
                                          {77, 116}, {79, 117}, {81, 118}};
  int nextNewCtrl = 141;
  for (uint8_t scan = 71; scan <= 83; ++scan) {
    SCOPED_TRACE(int{scan});
    const bool keepsScan = scan == 74 || scan == 76 || scan == 78;
    EXPECT_EQ(TranslateKey(LEFT_ALT_PRESSED, 0, scan) >> 8, keepsScan ? scan : scan + 80);
    const int ctrl = oldCtrl.contains(scan) ? oldCtrl.at(scan) : nextNewCtrl++;
    EXPECT_EQ(TranslateKey(LEFT_CTRL_PRESSED, 0, scan) >> 8, ctrl);
    EXPECT_EQ(TranslateKey(LEFT_CTRL_PRESSED | LEFT_ALT_PRESSED, 0, scan) >> 8, ctrl);
    EXPECT_EQ(TranslateKey(SHIFT_PRESSED, 0, scan) >> 8, scan);
  }
}

void AltNumber(const std::vector<Press>& digits) {
  fake::PushRecord(model::KeyRecord(true, VK_MENU, 56, 0, kLAlt));
  for (const Press& d : digits) fake::PushKey(d.vk, d.scan, d.ch, d.state);
  fake::PushRecord(model::KeyRecord(false, VK_MENU, 56, 0, 0));
}

// Keypad keys with Num Lock on, as an NT console reports them with Alt held.
Press Pad(int digit) {
  static const WORD Scans[10] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
  return Press{static_cast<WORD>(VK_NUMPAD0 + digit), Scans[digit],
               static_cast<uint8_t>('0' + digit), kLAlt | NUMLOCK_ON};
}

TEST_F(ConsoleServicesTest, AltNumbersWithEveryKeypadDigitOnBothPlatformFamilies) {
  struct {
    UINT codePage;
    std::vector<std::vector<int>> numbers;
    std::vector<int> bytes;
  } const cases[] = {
      // Each digit once: 65 147 203 89.
      {866, {{6, 5}, {1, 4, 7}, {2, 0, 3}, {8, 9}}, {65, 147, 203, 89}},
      {866, {{2, 5, 6}}, {}},  // 256 mod 256 is 0: nothing
      {866, {{2, 2, 4}}, {224}},
      {437, {{2, 2, 4}}, {0}},  // 224 is a prefix here
      {0, {{2, 2, 4}}, {0}},    // no GetKBCodePage at all
  };
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    for (const auto& c : cases) {
      fake::Options options;
      options.Platform = platform;
      options.KeyboardCodePage = c.codePage;
      Start(options);
      for (const auto& number : c.numbers) {
        std::vector<Press> presses;
        for (int d : number) presses.push_back(Pad(d));
        AltNumber(presses);
      }
      EXPECT_EQ(ReadAll(), c.bytes) << platform << "/" << c.codePage;
    }
  }
}

TEST_F(ConsoleServicesTest, ALoneZeroFromAnAltNumberIsNotFollowedByAScanCode) {
  fake::Options options;
  options.KeyboardCodePage = 437;
  Start(options);
  AltNumber({Pad(2), Pad(2), Pad(4)});
  fake::TypeBytes("b");
  EXPECT_EQ(ReadAll(), (std::vector<int>{0, 'b'}));
}

TEST_F(ConsoleServicesTest, SeventeenKeysBeforeTheFirstReadAllArriveInOrder) {
  Start();
  const std::string typed = "abcdefghijklmnopq";
  fake::TypeBytes(typed);
  std::string read;
  for (size_t i = 0; i < typed.size(); ++i) read.push_back(static_cast<char>(ReadKey()));
  EXPECT_EQ(read, typed);
  EXPECT_EQ(KeyCount, 0);
}

TEST_F(ConsoleServicesTest, QueueStopsAtSixteenAndLeavesTheRestInTheConsole) {
  Start();
  fake::TypeBytes("abcdefghijklmnopqrs");
  EXPECT_TRUE(KeyPressed());
  EXPECT_EQ(KeyCount, 16);
  EXPECT_FALSE(fake::Console().Input.empty());
}

TEST_F(ConsoleServicesTest, ReadKeyWaitsForInputThatArrivesLater) {
  Start();
  fake::PushAt(5000, [] { fake::TypeBytes("z"); });
  EXPECT_EQ(ReadKey(), 'z');
  EXPECT_EQ(fake::NowMs(), 5000u);
}

TEST_F(ConsoleServicesTest, ControlEventsAreIgnoredOnlyOnceCheckBreakIsOff) {
  Start();
  PHANDLER_ROUTINE handler = fake::CtrlHandler();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler(CTRL_C_EVENT), FALSE);
  CheckBreak = false;
  for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT})
    EXPECT_EQ(handler(event), TRUE) << event;
}

}  // namespace
