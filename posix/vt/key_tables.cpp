#include "posix/vt/key_tables.h"

#include <array>

namespace vt::keys {
namespace {

// One key of the PC keyboard's main block: what it types without and with
// Shift on the US layout, its virtual key and its scan code (set 1).
struct LayoutKey {
  char plain;
  char shifted;
  WORD vk;
  WORD scan;
};

constexpr LayoutKey kUsLayout[] = {
    {'1', '!', '1', 2},           {'2', '@', '2', 3},          {'3', '#', '3', 4},
    {'4', '$', '4', 5},           {'5', '%', '5', 6},          {'6', '^', '6', 7},
    {'7', '&', '7', 8},           {'8', '*', '8', 9},          {'9', '(', '9', 10},
    {'0', ')', '0', 11},          {'-', '_', kVkOemMinus, 12}, {'=', '+', kVkOemPlus, 13},
    {'q', 'Q', 'Q', 16},          {'w', 'W', 'W', 17},         {'e', 'E', 'E', 18},
    {'r', 'R', 'R', 19},          {'t', 'T', 'T', 20},         {'y', 'Y', 'Y', 21},
    {'u', 'U', 'U', 22},          {'i', 'I', 'I', 23},         {'o', 'O', 'O', 24},
    {'p', 'P', 'P', 25},          {'[', '{', kVkOem4, 26},     {']', '}', kVkOem6, 27},
    {'a', 'A', 'A', 30},          {'s', 'S', 'S', 31},         {'d', 'D', 'D', 32},
    {'f', 'F', 'F', 33},          {'g', 'G', 'G', 34},         {'h', 'H', 'H', 35},
    {'j', 'J', 'J', 36},          {'k', 'K', 'K', 37},         {'l', 'L', 'L', 38},
    {';', ':', kVkOem1, 39},      {'\'', '"', kVkOem7, 40},    {'`', '~', kVkOem3, 41},
    {'\\', '|', kVkOem5, 43},     {'z', 'Z', 'Z', 44},         {'x', 'X', 'X', 45},
    {'c', 'C', 'C', 46},          {'v', 'V', 'V', 47},         {'b', 'B', 'B', 48},
    {'n', 'N', 'N', 49},          {'m', 'M', 'M', 50},         {',', '<', kVkOemComma, 51},
    {'.', '>', kVkOemPeriod, 52}, {'/', '?', kVkOem2, 53},     {' ', ' ', VK_SPACE, 57},
};

// The C0 control bytes that terminals send for keys of their own.  The rest
// of 1..31 are Ctrl+letter (1..26) or Ctrl+punctuation, as a PC types them.
struct ControlKey {
  uint8_t byte;
  KeyEvent key;
};

constexpr ControlKey kControlKeys[] = {
    // NUL is Ctrl+2 (Ctrl+@ and Ctrl+Space give it too): a top-row key
    // without a character, which the keyboard layer turns into 0, 3.
    {0, {'2', 3, 0, LEFT_CTRL_PRESSED}},
    {8, {VK_BACK, 14, 8, 0}},
    {9, {VK_TAB, 15, 9, 0}},
    {10, {VK_RETURN, 28, 13, 0}},  // LF (Ctrl+J, or ICRNL upstream) is Enter too
    {13, {VK_RETURN, 28, 13, 0}},
    {27, {VK_ESCAPE, 1, 27, 0}},
    {28, {kVkOem5, 43, 28, LEFT_CTRL_PRESSED}},                      // Ctrl+backslash
    {29, {kVkOem6, 27, 29, LEFT_CTRL_PRESSED}},                      // Ctrl+]
    {30, {'6', 7, 30, LEFT_CTRL_PRESSED | SHIFT_PRESSED}},           // Ctrl+^
    {31, {kVkOemMinus, 12, 31, LEFT_CTRL_PRESSED | SHIFT_PRESSED}},  // Ctrl+_
    // DEL is what most terminals send for Backspace; the console's
    // Backspace character is 8.
    {127, {VK_BACK, 14, 8, 0}},
};

constexpr std::array<KeyEvent, 128> BuildAsciiTable() {
  std::array<KeyEvent, 128> table{};
  for (const LayoutKey& k : kUsLayout) {
    table[static_cast<uint8_t>(k.plain)] = {k.vk, k.scan, static_cast<uint8_t>(k.plain), 0};
    if (k.shifted != k.plain) {
      table[static_cast<uint8_t>(k.shifted)] = {k.vk, k.scan, static_cast<uint8_t>(k.shifted),
                                                SHIFT_PRESSED};
    }
  }
  for (uint8_t b = 1; b <= 26; ++b) {
    const KeyEvent& letter = table['a' + b - 1];
    table[b] = {letter.VirtualKey, letter.ScanCode, b, LEFT_CTRL_PRESSED};
  }
  for (const ControlKey& c : kControlKeys) table[c.byte] = c.key;
  return table;
}

constexpr std::array<KeyEvent, 128> kAscii = BuildAsciiTable();

// The Russian JCUKEN layout: each small Cyrillic letter and the US key it
// sits on.  Capitals are the same keys with Shift.
struct CyrillicKey {
  char32_t letter;
  char usKey;
};

constexpr CyrillicKey kJcuken[] = {
    {U'\u0439', 'q'}, {U'\u0446', 'w'}, {U'\u0443', 'e'},  {U'\u043A', 'r'}, {U'\u0435', 't'},
    {U'\u043D', 'y'}, {U'\u0433', 'u'}, {U'\u0448', 'i'},  {U'\u0449', 'o'}, {U'\u0437', 'p'},
    {U'\u0445', '['}, {U'\u044A', ']'}, {U'\u0444', 'a'},  {U'\u044B', 's'}, {U'\u0432', 'd'},
    {U'\u0430', 'f'}, {U'\u043F', 'g'}, {U'\u0440', 'h'},  {U'\u043E', 'j'}, {U'\u043B', 'k'},
    {U'\u0434', 'l'}, {U'\u0436', ';'}, {U'\u044D', '\''}, {U'\u044F', 'z'}, {U'\u0447', 'x'},
    {U'\u0441', 'c'}, {U'\u043C', 'v'}, {U'\u0438', 'b'},  {U'\u0442', 'n'}, {U'\u044C', 'm'},
    {U'\u0431', ','}, {U'\u044E', '.'}, {U'\u0451', '`'},
};

constexpr char32_t kNumeroSign = U'\u2116';  // Shift+3 on the Russian layout

// Keys without a character (or with a fixed one) reached by sequences.
constexpr WORD kEnh = ENHANCED_KEY;
constexpr KeyEvent kUp{VK_UP, 72, 0, kEnh};
constexpr KeyEvent kDown{VK_DOWN, 80, 0, kEnh};
constexpr KeyEvent kRight{VK_RIGHT, 77, 0, kEnh};
constexpr KeyEvent kLeft{VK_LEFT, 75, 0, kEnh};
constexpr KeyEvent kHome{VK_HOME, 71, 0, kEnh};
constexpr KeyEvent kEnd{VK_END, 79, 0, kEnh};
constexpr KeyEvent kPgUp{VK_PRIOR, 73, 0, kEnh};
constexpr KeyEvent kPgDn{VK_NEXT, 81, 0, kEnh};
constexpr KeyEvent kIns{VK_INSERT, 82, 0, kEnh};
constexpr KeyEvent kDel{VK_DELETE, 83, 0, kEnh};
// Keypad 5 with Num Lock off: VK_CLEAR, and not an enhanced key.
constexpr KeyEvent kClear{VK_CLEAR, 76, 0, 0};

constexpr KeyEvent FKey(int n) {
  const WORD scan = n <= 10 ? static_cast<WORD>(58 + n) : static_cast<WORD>(76 + n);
  return {static_cast<WORD>(VK_F1 + n - 1), scan, 0, 0};
}

struct FinalKey {
  uint8_t final;
  KeyEvent key;
};

// CSI [params] final.  xterm puts modifiers in a second parameter
// (ESC [ 1 ; 5 D); rxvt sends Shift+arrows as ESC [ a .. ESC [ d.
constexpr FinalKey kCsiFinals[] = {
    {'A', kUp},
    {'B', kDown},
    {'C', kRight},
    {'D', kLeft},
    {'E', kClear},  // xterm's keypad 5
    {'G', kClear},  // the Linux console's and PuTTY's keypad 5
    {'F', kEnd},
    {'H', kHome},
    {'P', FKey(1)},  // F1..F4 in this form carry modifiers: ESC [ 1 ; 2 P
    {'Q', FKey(2)},
    {'R', FKey(3)},
    {'S', FKey(4)},
    {'Z', {VK_TAB, 15, 9, SHIFT_PRESSED}},  // back-tab (CBT) is Shift+Tab
    {'a', {VK_UP, 72, 0, kEnh | SHIFT_PRESSED}},
    {'b', {VK_DOWN, 80, 0, kEnh | SHIFT_PRESSED}},
    {'c', {VK_RIGHT, 77, 0, kEnh | SHIFT_PRESSED}},
    {'d', {VK_LEFT, 75, 0, kEnh | SHIFT_PRESSED}},
};

// CSI number ~ (VT220 editing and function keys; 7 and 8 are rxvt's Home
// and End, 1 and 4 the Linux console's and tmux's).
struct NumberKey {
  unsigned number;
  KeyEvent key;
};

constexpr NumberKey kCsiNumbers[] = {
    {1, kHome},    {2, kIns},     {3, kDel},      {4, kEnd},      {5, kPgUp},
    {6, kPgDn},    {7, kHome},    {8, kEnd},      {11, FKey(1)},  {12, FKey(2)},
    {13, FKey(3)}, {14, FKey(4)}, {15, FKey(5)},  {17, FKey(6)},  {18, FKey(7)},
    {19, FKey(8)}, {20, FKey(9)}, {21, FKey(10)}, {23, FKey(11)}, {24, FKey(12)},
};

constexpr FinalKey kLinuxConsole[] = {
    {'A', FKey(1)}, {'B', FKey(2)}, {'C', FKey(3)}, {'D', FKey(4)}, {'E', FKey(5)},
};

constexpr KeyEvent KeypadDigit(int d) {
  constexpr WORD kScans[10] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
  return {static_cast<WORD>(VK_NUMPAD0 + d), kScans[d], static_cast<uint8_t>('0' + d), 0};
}

// ESC O final: cursor keys in application mode, F1..F4, and the keypad in
// application mode (DECKPAM); rxvt sends Ctrl+arrows as ESC O a .. ESC O d.
constexpr FinalKey kSs3Finals[] = {
    {'A', kUp},
    {'B', kDown},
    {'C', kRight},
    {'D', kLeft},
    {'E', kClear},
    {'F', kEnd},
    {'H', kHome},
    {'P', FKey(1)},
    {'Q', FKey(2)},
    {'R', FKey(3)},
    {'S', FKey(4)},
    {'a', {VK_UP, 72, 0, kEnh | LEFT_CTRL_PRESSED}},
    {'b', {VK_DOWN, 80, 0, kEnh | LEFT_CTRL_PRESSED}},
    {'c', {VK_RIGHT, 77, 0, kEnh | LEFT_CTRL_PRESSED}},
    {'d', {VK_LEFT, 75, 0, kEnh | LEFT_CTRL_PRESSED}},
    {' ', {VK_SPACE, 57, ' ', 0}},
    {'I', {VK_TAB, 15, 9, 0}},
    {'M', {VK_RETURN, 28, 13, kEnh}},  // keypad Enter
    {'X', {kVkOemPlus, 13, '=', 0}},   // keypad =
    {'j', {VK_MULTIPLY, 55, '*', 0}},
    {'k', {VK_ADD, 78, '+', 0}},
    {'l', {VK_ADD, 78, '+', 0}},  // VT220 keypad comma: xterm's keypad + there
    {'m', {VK_SUBTRACT, 74, '-', 0}},
    {'n', {kVkDecimal, 83, '.', 0}},
    {'o', {VK_DIVIDE, 53, '/', kEnh}},
    {'p', KeypadDigit(0)},
    {'q', KeypadDigit(1)},
    {'r', KeypadDigit(2)},
    {'s', KeypadDigit(3)},
    {'t', KeypadDigit(4)},
    {'u', KeypadDigit(5)},
    {'v', KeypadDigit(6)},
    {'w', KeypadDigit(7)},
    {'x', KeypadDigit(8)},
    {'y', KeypadDigit(9)},
};

template <size_t N>
bool FindFinal(const FinalKey (&table)[N], uint8_t final, KeyEvent* key) {
  for (const FinalKey& entry : table) {
    if (entry.final == final) {
      *key = entry.key;
      return true;
    }
  }
  return false;
}

}  // namespace

bool AsciiKey(uint8_t byte, KeyEvent* key) {
  if (byte >= kAscii.size()) return false;
  *key = kAscii[byte];
  return true;
}

KeyEvent NonAsciiKey(char32_t cp, uint8_t byte) {
  char32_t small = cp;
  DWORD state = 0;
  if (cp >= U'\u0410' && cp <= U'\u042F') {
    small = cp + 0x20;
    state = SHIFT_PRESSED;
  } else if (cp == U'\u0401') {
    small = U'\u0451';
    state = SHIFT_PRESSED;
  }
  char usKey = 0;
  if (cp == kNumeroSign) {
    usKey = '3';
    state = SHIFT_PRESSED;
  }
  for (const CyrillicKey& k : kJcuken) {
    if (k.letter == small) usKey = k.usKey;
  }
  if (usKey == 0) return {kVkPacket, 0, byte, 0};
  const KeyEvent& us = kAscii[static_cast<uint8_t>(usKey)];
  return {us.VirtualKey, us.ScanCode, byte, state};
}

DWORD XtermModifiers(unsigned param) {
  if (param < 2) return 0;
  const unsigned bits = param - 1;
  DWORD state = 0;
  if ((bits & 1U) != 0) state |= SHIFT_PRESSED;
  if ((bits & (2U | 8U)) != 0) state |= LEFT_ALT_PRESSED;
  if ((bits & 4U) != 0) state |= LEFT_CTRL_PRESSED;
  return state;
}

bool CsiFinalKey(uint8_t final, KeyEvent* key) {
  return FindFinal(kCsiFinals, final, key);
}

bool CsiNumberKey(unsigned number, KeyEvent* key) {
  for (const NumberKey& entry : kCsiNumbers) {
    if (entry.number == number) {
      *key = entry.key;
      return true;
    }
  }
  return false;
}

bool LinuxConsoleKey(uint8_t final, KeyEvent* key) {
  return FindFinal(kLinuxConsole, final, key);
}

bool Ss3FinalKey(uint8_t final, KeyEvent* key) {
  return FindFinal(kSs3Finals, final, key);
}

}  // namespace vt::keys
