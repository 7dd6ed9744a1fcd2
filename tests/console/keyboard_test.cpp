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

// Each key record and what ReadKey gives for it ({}: nothing).  Cyrillic ER
// is byte 224, a prefix unless the keyboard's code page is 866; AltGr keeps a
// character, the left Alt makes a scan code of it.  Alt with the keypad's *,
// the key after its 9, is no Alt number.
TEST_F(KeyboardTest, KeyRecordsGiveTheBiosBytes) {
  const std::vector<std::pair<std::vector<int>, std::vector<int>>> keys = {
      {{VK_ESCAPE, 1, 27, 0}, {27}},
      {{VK_TAB, 15, 9, SHIFT_PRESSED}, {0, 15}},
      {{'A', 30, 1, Ctrl}, {1}},
      {{'Q', 16, '@', RIGHT_ALT_PRESSED | Ctrl}, {'@'}},
      {{'Q', 16, 240, RIGHT_ALT_PRESSED}, {0, 16}},
      {{'H', 35, 224, 0}, {}},
      {{VK_ESCAPE, 1, 0, NUMLOCK_ON}, {27}},
      {{VK_ESCAPE, 1, 0, LAlt}, {}},
      {{VK_MULTIPLY, 55, 0, LAlt}, {0, 55}},
      {{'A', 30, 'a', 0}, {'a'}}};
  Start();
  std::vector<int> expected;
  for (const auto& [key, bytes] : keys) {
    testend::PushKey(static_cast<WORD>(key[0]), static_cast<WORD>(key[1]),
                     static_cast<uint8_t>(key[2]), static_cast<DWORD>(key[3]));
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  // A key that gives nothing ends one queue update; poll until all is read.
  std::vector<int> read;
  for (int i = 0; i < 16; ++i)
    for (const int b : ReadAll()) read.push_back(b);
  EXPECT_EQ(read, expected);
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
    ScanRow{"Tab", 15, 0, 0, 0, 0},
    ScanRow{"Q", 16, 16, 0, 0, 0},
    ScanRow{"RightBracket", 27, 27, 0, 0, 0},
    ScanRow{"Enter", 28, 166, 0, 0, 0},
    ScanRow{"LeftCtrl", 29, 29, 0, 0, 0},
    ScanRow{"Slash", 53, 164, 149, 53, 53},
    ScanRow{"RightShift", 54, 0, 0, 0, 0},
    ScanRow{"KeypadStar", 55, 55, 150, 55, 55},
    ScanRow{"F1", 59, 104, 94, 84, 59},
    ScanRow{"F10", 68, 113, 103, 93, 68},
    ScanRow{"NumLock", 69, 0, 0, 0, 0},
    ScanRow{"F11", 87, 139, 137, 135, 133},
    ScanRow{"F12", 88, 140, 138, 136, 134},
    ScanRow{"F13", 89, 0, 0, 0, 0}),
    RowName());
// clang-format on

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
  // The keyboard's code page, the Alt numbers typed, the bytes they give.
  const std::tuple<int, std::vector<std::vector<int>>, std::vector<int>> cases[] = {
      // Each digit once: 65 147 203 89.
      {866, {{6, 5}, {1, 4, 7}, {2, 0, 3}, {8, 9}}, {65, 147, 203, 89}},
      {866, {{2, 5, 6}}, {}},  // 256 mod 256 is 0: nothing
      {866, {{2, 2, 4}}, {224}},
      {437, {{2, 2, 4}}, {0}},  // 224 is a prefix here
      {0, {{2, 2, 4}}, {0}},    // a keyboard that reports no code page
      {-1, {{2, 2, 4}}, {0}},   // a user32 without GetKBCodePage
  };
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    for (const auto& [codePage, numbers, bytes] : cases) {
      Start({.Platform = platform, .KeyboardCodePage = codePage});
      for (const auto& number : numbers) TypeAltNumber(number);
      EXPECT_EQ(ReadAll(), bytes) << platform << "/" << codePage;
    }
  }
}

// A lone zero from an Alt number is not followed by a scan code.
TEST_F(KeyboardTest, KeysArriveInOrderAndTheQueueStopsAtSixteen) {
  Start({.KeyboardCodePage = 437});
  TypeAltNumber({2, 2, 4});
  testend::TypeBytes("abcdefghijklmnopqrs");
  EXPECT_TRUE(KeyPressed());
  EXPECT_EQ(KeyCount, 16);
  EXPECT_FALSE(testend::Console().Input.empty());  // the rest waits in the console
  std::string read;
  for (int i = 0; i < 20; ++i) read.push_back(static_cast<char>(ReadKey()));
  EXPECT_EQ(read, std::string(1, '\0') + "abcdefghijklmnopqrs");
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
