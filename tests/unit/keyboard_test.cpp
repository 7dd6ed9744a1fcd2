// Key records in, key bytes out: the translation tables, Alt numbers, the
// code page 866 rule, the queue limits and the break handling.
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
        KeyCase{"ShiftF1", {{VK_F1, 59, 0, kShift}}, {0, 84}},
        KeyCase{"CtrlAltF10TakesAlt", {{0x79, 68, 0, Ctrl | kLAlt}}, {0, 113}},
        KeyCase{"F11", {{0x7A, 87, 0, 0}}, {0, 133}},
        KeyCase{"ShiftF12", {{VK_F12, 88, 0, kShift}}, {0, 136}},
        KeyCase{"AltF12", {{VK_F12, 88, 0, kLAlt}}, {0, 140}},
        KeyCase{"GreyUp", {{VK_UP, 72, 0, Enh}}, {0, 72}},
        KeyCase{"CtrlLeft", {{VK_LEFT, 75, 0, Ctrl | Enh}}, {0, 115}},
        KeyCase{"AltGreyUp", {{VK_UP, 72, 0, kLAlt | Enh}}, {0, 152}},
        KeyCase{"CtrlAltHomeTakesCtrl", {{VK_HOME, 71, 0, Ctrl | kLAlt | Enh}}, {0, 119}},
        KeyCase{"AltKeypadMinus", {{VK_SUBTRACT, 74, 0, kLAlt}}, {0, 74}},
        KeyCase{"Enter", {{VK_RETURN, 28, 13, 0}}, {13}},
        KeyCase{"AltEnter", {{VK_RETURN, 28, 13, kLAlt}}, {0, 166}},
        KeyCase{"EscBackspaceTab",
                {{VK_ESCAPE, 1, 27, 0}, {VK_BACK, 14, 8, 0}, {VK_TAB, 15, 9, 0}},
                {27, 8, 9}},
        KeyCase{"ShiftTab", {{VK_TAB, 15, 9, kShift}}, {0, 15}},
        KeyCase{"EscWithoutCharacterIsStillEsc", {{VK_ESCAPE, 1, 0, NUMLOCK_ON}}, {27}},
        KeyCase{"AltEscWithoutCharacterIsNotEsc", {{VK_ESCAPE, 1, 0, kLAlt}}, {}},
        KeyCase{"CtrlA", {{'A', 30, 1, Ctrl}}, {1}},
        KeyCase{"CtrlTwoWithoutCharacter", {{'2', 3, 0, Ctrl}}, {0, 3}},
        KeyCase{"AltBackspace", {{VK_BACK, 14, 8, kLAlt}}, {0, 14}},
        KeyCase{"AltGrCharacterStaysCharacter", {{'Q', 16, '@', kRAlt | Ctrl}}, {'@'}},
        KeyCase{"RightAltWith240GivesScan", {{'Q', 16, 240, kRAlt}}, {0, 16}},
        KeyCase{"CtrlSlash", {{VK_DIVIDE, 53, 0, Ctrl | Enh}}, {0, 149}},
        KeyCase{"AltSlash", {{VK_DIVIDE, 53, 0, kLAlt | Enh}}, {0, 164}},
        KeyCase{"KeypadStarAlt", {{VK_MULTIPLY, 55, 0, kLAlt}}, {0, 55}},
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

TEST_F(ConsoleServicesTest, AltNumbersOnBothPlatformFamilies) {
  struct {
    DWORD platform;
    UINT codePage;
    std::vector<int> digits;
    std::vector<int> bytes;
  } const cases[] = {
      {VER_PLATFORM_WIN32_NT, 866, {6, 5}, {65}},
      {VER_PLATFORM_WIN32_WINDOWS, 866, {6, 5}, {65}},
      {VER_PLATFORM_WIN32_NT, 866, {2, 5, 6}, {}},  // 256 mod 256 is 0: nothing
      {VER_PLATFORM_WIN32_NT, 866, {2, 2, 4}, {224}},
      {VER_PLATFORM_WIN32_NT, 437, {2, 2, 4}, {0}},  // 224 is a prefix here
      {VER_PLATFORM_WIN32_NT, 0, {2, 2, 4}, {0}},    // no GetKBCodePage at all
      {VER_PLATFORM_WIN32_WINDOWS, 866, {1, 9, 5}, {195}},
  };
  for (const auto& c : cases) {
    fake::Options options;
    options.Platform = c.platform;
    options.KeyboardCodePage = c.codePage;
    Start(options);
    std::vector<Press> presses;
    for (int d : c.digits) presses.push_back(Pad(d));
    AltNumber(presses);
    EXPECT_EQ(ReadAll(), c.bytes) << c.platform << "/" << c.codePage;
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
