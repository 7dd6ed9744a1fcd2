// The keyboard of console/keyboard.cpp on the test end: key records in, the
// BIOS's key bytes out, Alt numbers, the queue, and the control handler.
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "standin/model/control.h"
#include "tests/console/console_test_support.h"

namespace {

using KeyboardTest = ConsoleServicesTest;
constexpr DWORD LAlt = LEFT_ALT_PRESSED;
constexpr DWORD Ctrl = LEFT_CTRL_PRESSED;

// Every byte ReadKey gives for what is queued now.
std::vector<int> ReadAll() {
  std::vector<int> bytes;
  while (KeyPressed()) bytes.push_back(ReadKey());
  return bytes;
}

// Alt held, keypad digits with Num Lock on as an NT console reports them,
// Alt released.
void TypeAltNumber(const std::vector<int>& digits) {
  static const WORD Scans[10] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
  testend::PushRecord(model::KeyRecord(true, VK_MENU, 56, 0, LAlt));
  for (const int d : digits)
    testend::PushKey(static_cast<WORD>(VK_NUMPAD0 + d), Scans[d], static_cast<uint8_t>('0' + d),
                     LAlt | NUMLOCK_ON);
  testend::PushRecord(model::KeyRecord(false, VK_MENU, 56, 0, 0));
}

// Each key record and what ReadKey gives for it ({}: nothing; such a key ends
// one queue update, so they come last), on either platform family or only on
// the one named.  Cyrillic ER is byte 224, a
// prefix unless the keyboard's code page is 866; AltGr keeps a character,
// the left Alt makes a scan code of it.  Alt with the keypad's *, the key
// after its 9, is no Alt number, nor is Alt+Home on NT, whose Alt numbers
// come as keypad digits; a keypad digit without Alt is a digit.
TEST_F(KeyboardTest, KeyRecordsGiveTheBiosBytes) {
  const std::vector<std::pair<std::vector<int>, std::vector<int>>> keys = {
      {{VK_ESCAPE, 1, 27, 0}, {27}},
      {{VK_TAB, 15, 9, SHIFT_PRESSED}, {0, 15}},
      {{'Q', 16, '@', RIGHT_ALT_PRESSED | Ctrl}, {'@'}},
      {{'Q', 16, 240, RIGHT_ALT_PRESSED}, {0, 16}},
      {{VK_ESCAPE, 1, 0, NUMLOCK_ON}, {27}},
      {{VK_MULTIPLY, 55, 0, LAlt}, {0, 55}},
      {{VK_HOME, 71, 0, LAlt, VER_PLATFORM_WIN32_NT}, {0, 151}},
      {{VK_NUMPAD0 + 5, 76, '5', NUMLOCK_ON}, {'5'}},
      {{'A', 30, 'A', SHIFT_PRESSED}, {'A'}},
      {{VK_HOME, 71, 0, LAlt, VER_PLATFORM_WIN32_WINDOWS}, {}},
      {{'H', 35, 224, 0}, {}},
      {{VK_ESCAPE, 1, 0, LAlt}, {}}};
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    Start({.Platform = platform});
    std::vector<int> expected;
    for (const auto& [key, bytes] : keys) {
      if (key.size() > 4 && static_cast<DWORD>(key[4]) != platform) continue;
      testend::PushKey(static_cast<WORD>(key[0]), static_cast<WORD>(key[1]),
                       static_cast<uint8_t>(key[2]), static_cast<DWORD>(key[3]));
      expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(ReadAll(), expected) << platform;
  }
  // A key of the enhanced block keeps 224 as its scan byte, as the BIOS has it.
  EXPECT_EQ(TranslateKey(ENHANCED_KEY, 13, 28), 224 * 256 + 13);
}

// The scan codes a key without a character gives with Alt, Ctrl, Shift and
// alone, as the PC keyboard's BIOS numbers them: the first and last key of
// each region of the table, where an off-by-one would show.  0: nothing.
struct ScanRow {
  const char* Name;
  uint8_t Scan;
  int Alt, Ctrl, Shift, Plain;
};
class KeyboardScanCodes : public ::testing::TestWithParam<ScanRow> {};

TEST_P(KeyboardScanCodes, AreTheBiosCodesAtTheEdgesOfEachRegion) {
  const ScanRow& r = GetParam();
  EXPECT_EQ(TranslateKey(LAlt, 0, r.Scan), r.Alt * 256);
  EXPECT_EQ(TranslateKey(Ctrl, 0, r.Scan), r.Ctrl * 256);
  EXPECT_EQ(TranslateKey(SHIFT_PRESSED, 0, r.Scan), r.Shift * 256);
  EXPECT_EQ(TranslateKey(0, 0, r.Scan), r.Plain * 256);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Keyboard, KeyboardScanCodes, ::testing::Values(
    ScanRow{"Digit1", 2, 120, 2, 2, 2},
    ScanRow{"Equals", 13, 131, 13, 13, 13},
    ScanRow{"Backspace", 14, 14, 0, 0, 0},
    ScanRow{"Q", 16, 16, 0, 0, 0},
    ScanRow{"RightBracket", 27, 27, 0, 0, 0},
    ScanRow{"Enter", 28, 166, 0, 0, 0},
    ScanRow{"LeftCtrl", 29, 29, 0, 0, 0},
    ScanRow{"Period", 52, 52, 0, 0, 0},
    ScanRow{"Slash", 53, 164, 149, 53, 53},
    ScanRow{"KeypadStar", 55, 55, 150, 55, 55},
    ScanRow{"F1", 59, 104, 94, 84, 59},
    ScanRow{"F10", 68, 113, 103, 93, 68},
    ScanRow{"F11", 87, 139, 137, 135, 133},
    ScanRow{"F12", 88, 140, 138, 136, 134}),
    RowName());
// clang-format on

// Keys between the regions give nothing with any shift key: Tab without its
// character, right Shift, Caps Lock, Num Lock, Scroll Lock, SysRq, F13.
TEST_F(KeyboardTest, KeysBetweenTheRegionsGiveNothing) {
  for (const int scan : {15, 54, 58, 69, 70, 84, 89})
    for (const DWORD state : {LAlt, Ctrl, DWORD{SHIFT_PRESSED}, DWORD{0}})
      EXPECT_EQ(TranslateKey(state, 0, static_cast<uint8_t>(scan)), 0) << scan << "/" << state;
}

// The cursor block (71..83): with Alt the codes run 80 above the scan code,
// except the keypad's -, 5 and + which keep theirs; with Ctrl the six keys of
// the first PC keyboard have their old codes and the seven that came later
// take 141..147 in scan order.  Ctrl wins over Alt here.
TEST_F(KeyboardTest, CursorBlockWithAltAndCtrl) {
  const std::map<uint8_t, int> oldCtrl = {{71, 119}, {73, 132}, {75, 115},
                                          {77, 116}, {79, 117}, {81, 118}};
  int nextNewCtrl = 141;
  for (uint8_t scan = 71; scan <= 83; ++scan) {
    SCOPED_TRACE(int{scan});
    const bool keepsScan = scan == 74 || scan == 76 || scan == 78;
    EXPECT_EQ(TranslateKey(LAlt, 0, scan) >> 8, keepsScan ? scan : scan + 80);
    const int ctrl = oldCtrl.contains(scan) ? oldCtrl.at(scan) : nextNewCtrl++;
    EXPECT_EQ(TranslateKey(Ctrl, 0, scan) >> 8, ctrl);
    EXPECT_EQ(TranslateKey(Ctrl | LAlt, 0, scan) >> 8, ctrl);
    EXPECT_EQ(TranslateKey(SHIFT_PRESSED, 0, scan) >> 8, scan);
  }
}

TEST_F(KeyboardTest, AltNumbersWithEveryKeypadDigitOnBothPlatformFamilies) {
  // The keyboard's code page, the Alt numbers typed, the bytes they give (a
  // code page other than 866 in KeysArriveInOrderAndTheQueueStopsAtSixteen).
  const std::tuple<int, std::vector<std::vector<int>>, std::vector<int>> cases[] = {
      // Each digit once: 65 147 203 89.
      {866, {{6, 5}, {1, 4, 7}, {2, 0, 3}, {8, 9}}, {65, 147, 203, 89}},
      {866, {{2, 5, 6}}, {}},  // 256 mod 256 is 0: nothing
      {866, {{2, 2, 4}}, {224}},
  };
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    for (const auto& [codePage, numbers, bytes] : cases) {
      Start({.Platform = platform, .KeyboardCodePage = codePage});
      for (const auto& number : numbers) TypeAltNumber(number);
      EXPECT_EQ(ReadAll(), bytes) << platform << "/" << codePage;
    }
  }
}

// With a user32 that lacks GetKBCodePage the code page is not 866, and an Alt
// number of 224 gives a lone zero, not followed by a scan code (224 is a
// prefix there, and the number has none).
TEST_F(KeyboardTest, KeysArriveInOrderAndTheQueueStopsAtSixteen) {
  Start({.KeyboardCodePage = -1});
  testend::TypeBytes("a");
  TypeAltNumber({2, 2, 4});                          // after a key, an Alt number starts afresh
  testend::PushKey(VK_SHIFT, 42, 0, SHIFT_PRESSED);  // no key of its own
  testend::TypeBytes("bcdefghijklmnopqrs");
  EXPECT_TRUE(KeyPressed());
  EXPECT_EQ(KeyCount, 16);
  std::string read;
  for (int i = 0; i < 20; ++i) read.push_back(static_cast<char>(ReadKey()));
  EXPECT_EQ(read, "a" + std::string(1, '\0') + "bcdefghijklmnopqrs");
  testend::PushAt(5000, [] { testend::TypeBytes("z"); });
  EXPECT_EQ(ReadKey(), 'z');  // waits for input that arrives later
  EXPECT_EQ(testend::NowMs(), 5000u);
}

TEST_F(KeyboardTest, ControlEventsAreIgnoredOnlyOnceCheckBreakIsOff) {
  Start();
  EXPECT_EQ(model::DispatchCtrlEvent(CTRL_C_EVENT), false);
  CheckBreak = false;
  EXPECT_EQ(model::DispatchCtrlEvent(CTRL_BREAK_EVENT), true);
}

}  // namespace
