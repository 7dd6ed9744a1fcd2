#include "standin/terminal/vt/key_tables.h"

#include <array>

namespace vt::keys {
namespace {

// One key of the PC keyboard's main block: what it types without and with
// Shift on the US layout, its virtual key and its scan code (set 1).
struct LayoutKey {
  char Plain;
  char Shifted;
  WORD Vk;
  WORD Scan;
};

constexpr LayoutKey UsLayout[] = {
    {'1', '!', '1', 2},          {'2', '@', '2', 3},         {'3', '#', '3', 4},
    {'4', '$', '4', 5},          {'5', '%', '5', 6},         {'6', '^', '6', 7},
    {'7', '&', '7', 8},          {'8', '*', '8', 9},         {'9', '(', '9', 10},
    {'0', ')', '0', 11},         {'-', '_', VkOemMinus, 12}, {'=', '+', VkOemPlus, 13},
    {'q', 'Q', 'Q', 16},         {'w', 'W', 'W', 17},        {'e', 'E', 'E', 18},
    {'r', 'R', 'R', 19},         {'t', 'T', 'T', 20},        {'y', 'Y', 'Y', 21},
    {'u', 'U', 'U', 22},         {'i', 'I', 'I', 23},        {'o', 'O', 'O', 24},
    {'p', 'P', 'P', 25},         {'[', '{', VkOem4, 26},     {']', '}', VkOem6, 27},
    {'a', 'A', 'A', 30},         {'s', 'S', 'S', 31},        {'d', 'D', 'D', 32},
    {'f', 'F', 'F', 33},         {'g', 'G', 'G', 34},        {'h', 'H', 'H', 35},
    {'j', 'J', 'J', 36},         {'k', 'K', 'K', 37},        {'l', 'L', 'L', 38},
    {';', ':', VkOem1, 39},      {'\'', '"', VkOem7, 40},    {'`', '~', VkOem3, 41},
    {'\\', '|', VkOem5, 43},     {'z', 'Z', 'Z', 44},        {'x', 'X', 'X', 45},
    {'c', 'C', 'C', 46},         {'v', 'V', 'V', 47},        {'b', 'B', 'B', 48},
    {'n', 'N', 'N', 49},         {'m', 'M', 'M', 50},        {',', '<', VkOemComma, 51},
    {'.', '>', VkOemPeriod, 52}, {'/', '?', VkOem2, 53},     {' ', ' ', VK_SPACE, 57},
};

// The C0 control bytes that terminals send for keys of their own.  The rest
// of 1..31 are Ctrl+letter (1..26) or Ctrl+punctuation, as a PC types them.
struct ControlKey {
  uint8_t Byte;
  KeyEvent Key;
};

constexpr ControlKey ControlKeys[] = {
    // NUL is Ctrl+2 (Ctrl+@ and Ctrl+Space give it too): a top-row key
    // without a character, which the keyboard layer turns into 0, 3.
    {0, {'2', 3, 0, LEFT_CTRL_PRESSED}},
    {8, {VK_BACK, 14, 8, 0}},
    {9, {VK_TAB, 15, 9, 0}},
    {10, {VK_RETURN, 28, 13, 0}},  // LF (Ctrl+J, or ICRNL upstream) is Enter too
    {13, {VK_RETURN, 28, 13, 0}},
    {27, {VK_ESCAPE, 1, 27, 0}},
    {28, {VkOem5, 43, 28, LEFT_CTRL_PRESSED}},                      // Ctrl+backslash
    {29, {VkOem6, 27, 29, LEFT_CTRL_PRESSED}},                      // Ctrl+]
    {30, {'6', 7, 30, LEFT_CTRL_PRESSED | SHIFT_PRESSED}},          // Ctrl+^
    {31, {VkOemMinus, 12, 31, LEFT_CTRL_PRESSED | SHIFT_PRESSED}},  // Ctrl+_
    // DEL is what most terminals send for Backspace; the console's
    // Backspace character is 8.
    {127, {VK_BACK, 14, 8, 0}},
};

constexpr std::array<KeyEvent, 128> BuildAsciiTable() {
  std::array<KeyEvent, 128> table{};
  for (const LayoutKey& k : UsLayout) {
    table[static_cast<uint8_t>(k.Plain)] = {k.Vk, k.Scan, static_cast<uint8_t>(k.Plain), 0};
    if (k.Shifted != k.Plain) {
      table[static_cast<uint8_t>(k.Shifted)] = {k.Vk, k.Scan, static_cast<uint8_t>(k.Shifted),
                                                SHIFT_PRESSED};
    }
  }
  for (uint8_t b = 1; b <= 26; ++b) {
    const KeyEvent& letter = table['a' + b - 1];
    table[b] = {letter.VirtualKey, letter.ScanCode, b, LEFT_CTRL_PRESSED};
  }
  for (const ControlKey& c : ControlKeys) table[c.Byte] = c.Key;
  return table;
}

constexpr std::array<KeyEvent, 128> Ascii = BuildAsciiTable();

// The Russian JCUKEN layout: each small Cyrillic letter and the US key it
// sits on.  Capitals are the same keys with Shift.
struct CyrillicKey {
  char32_t Letter;
  char UsKey;
};

constexpr CyrillicKey Jcuken[] = {
    {U'\u0439', 'q'}, {U'\u0446', 'w'}, {U'\u0443', 'e'},  {U'\u043A', 'r'}, {U'\u0435', 't'},
    {U'\u043D', 'y'}, {U'\u0433', 'u'}, {U'\u0448', 'i'},  {U'\u0449', 'o'}, {U'\u0437', 'p'},
    {U'\u0445', '['}, {U'\u044A', ']'}, {U'\u0444', 'a'},  {U'\u044B', 's'}, {U'\u0432', 'd'},
    {U'\u0430', 'f'}, {U'\u043F', 'g'}, {U'\u0440', 'h'},  {U'\u043E', 'j'}, {U'\u043B', 'k'},
    {U'\u0434', 'l'}, {U'\u0436', ';'}, {U'\u044D', '\''}, {U'\u044F', 'z'}, {U'\u0447', 'x'},
    {U'\u0441', 'c'}, {U'\u043C', 'v'}, {U'\u0438', 'b'},  {U'\u0442', 'n'}, {U'\u044C', 'm'},
    {U'\u0431', ','}, {U'\u044E', '.'}, {U'\u0451', '`'},
};

constexpr char32_t NumeroSign = U'\u2116';  // Shift+3 on the Russian layout

// Keys without a character (or with a fixed one) reached by sequences.
constexpr WORD Enh = ENHANCED_KEY;
constexpr KeyEvent Up{VK_UP, 72, 0, Enh};
constexpr KeyEvent Down{VK_DOWN, 80, 0, Enh};
constexpr KeyEvent Right{VK_RIGHT, 77, 0, Enh};
constexpr KeyEvent Left{VK_LEFT, 75, 0, Enh};
constexpr KeyEvent Home{VK_HOME, 71, 0, Enh};
constexpr KeyEvent End{VK_END, 79, 0, Enh};
constexpr KeyEvent PgUp{VK_PRIOR, 73, 0, Enh};
constexpr KeyEvent PgDn{VK_NEXT, 81, 0, Enh};
constexpr KeyEvent Ins{VK_INSERT, 82, 0, Enh};
constexpr KeyEvent Del{VK_DELETE, 83, 0, Enh};
// Keypad 5 with Num Lock off: VK_CLEAR, and not an enhanced key.
constexpr KeyEvent Clear{VK_CLEAR, 76, 0, 0};

constexpr KeyEvent FKey(int n) {
  const WORD scan = n <= 10 ? static_cast<WORD>(58 + n) : static_cast<WORD>(76 + n);
  return {static_cast<WORD>(VK_F1 + n - 1), scan, 0, 0};
}

// A key by the code that ends or numbers its sequence: a final byte, or the
// number of CSI number ~.
struct CodeKey {
  unsigned Code;
  KeyEvent Key;
};

// CSI [params] final.  xterm puts modifiers in a second parameter
// (ESC [ 1 ; 5 D); rxvt sends Shift+arrows as ESC [ a .. ESC [ d.
constexpr CodeKey CsiFinals[] = {
    {'A', Up},
    {'B', Down},
    {'C', Right},
    {'D', Left},
    {'E', Clear},  // xterm's keypad 5
    {'G', Clear},  // the Linux console's and PuTTY's keypad 5
    {'F', End},
    {'H', Home},
    {'P', FKey(1)},  // F1..F4 in this form carry modifiers: ESC [ 1 ; 2 P
    {'Q', FKey(2)},
    {'R', FKey(3)},
    {'S', FKey(4)},
    {'Z', {VK_TAB, 15, 9, SHIFT_PRESSED}},  // back-tab (CBT) is Shift+Tab
    {'a', {VK_UP, 72, 0, Enh | SHIFT_PRESSED}},
    {'b', {VK_DOWN, 80, 0, Enh | SHIFT_PRESSED}},
    {'c', {VK_RIGHT, 77, 0, Enh | SHIFT_PRESSED}},
    {'d', {VK_LEFT, 75, 0, Enh | SHIFT_PRESSED}},
};

// CSI number ~ (VT220 editing and function keys; 7 and 8 are rxvt's Home
// and End, 1 and 4 the Linux console's and tmux's).
constexpr CodeKey CsiNumbers[] =
    {
        {1, Home},      {2, Ins},      {3, Del},       {4, End},       {5, PgUp},
        {6, PgDn},      {7, Home},     {8, End},       {11, FKey(1)},  {12, FKey(2)},
        {13, FKey(3)},  {14, FKey(4)}, {15, FKey(5)},  {17, FKey(6)},  {18, FKey(7)},
        {19, FKey(8)},  {20, FKey(9)}, {21, FKey(10)}, {23, FKey(11)}, {24, FKey(12)},
        {57427, Clear},  // the enhancement protocol's keypad 5 without Num Lock
};

constexpr CodeKey LinuxConsole[] = {
    {'A', FKey(1)}, {'B', FKey(2)}, {'C', FKey(3)}, {'D', FKey(4)}, {'E', FKey(5)},
};

constexpr KeyEvent KeypadDigit(int d) {
  constexpr WORD Scans[10] = {82, 79, 80, 81, 75, 76, 77, 71, 72, 73};
  return {static_cast<WORD>(VK_NUMPAD0 + d), Scans[d], static_cast<uint8_t>('0' + d), 0};
}

// ESC O final: cursor keys in application mode, F1..F4, and the keypad in
// application mode (DECKPAM); rxvt sends Ctrl+arrows as ESC O a .. ESC O d.
constexpr CodeKey Ss3Finals[] = {
    {'A', Up},
    {'B', Down},
    {'C', Right},
    {'D', Left},
    {'E', Clear},
    {'F', End},
    {'H', Home},
    {'P', FKey(1)},
    {'Q', FKey(2)},
    {'R', FKey(3)},
    {'S', FKey(4)},
    {'a', {VK_UP, 72, 0, Enh | LEFT_CTRL_PRESSED}},
    {'b', {VK_DOWN, 80, 0, Enh | LEFT_CTRL_PRESSED}},
    {'c', {VK_RIGHT, 77, 0, Enh | LEFT_CTRL_PRESSED}},
    {'d', {VK_LEFT, 75, 0, Enh | LEFT_CTRL_PRESSED}},
    {' ', {VK_SPACE, 57, ' ', 0}},
    {'I', {VK_TAB, 15, 9, 0}},
    {'M', {VK_RETURN, 28, 13, Enh}},  // keypad Enter
    {'X', {VkOemPlus, 13, '=', 0}},   // keypad =
    {'j', {VK_MULTIPLY, 55, '*', 0}},
    {'k', {VK_ADD, 78, '+', 0}},
    {'l', {VK_ADD, 78, '+', 0}},  // VT220 keypad comma: xterm's keypad + there
    {'m', {VK_SUBTRACT, 74, '-', 0}},
    {'n', {VkDecimal, 83, '.', 0}},
    {'o', {VK_DIVIDE, 53, '/', Enh}},
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

// The enhancement protocol's own key codes.  The keypad has codes apart
// from the top row and the cursor block, so its keys come back as the
// console names them: digits as VK_NUMPAD0.., and without Num Lock the
// cursor keys on the keypad, which the console does not mark enhanced.
// The modifier keys come as keys of their own; AltGr (ISO Level 3 Shift)
// is the right Alt key of a PC keyboard.
struct KittyKey {
  unsigned Code;
  KeyEvent Key;
  DWORD Own;  // the flags a modifier key holds while down
};

constexpr DWORD RightAlt = RIGHT_ALT_PRESSED;
constexpr DWORD RightCtrl = RIGHT_CTRL_PRESSED;

constexpr KittyKey KittyKeys[] = {
    {9, {VK_TAB, 15, 9, 0}, 0},
    {13, {VK_RETURN, 28, 13, 0}, 0},
    {27, {VK_ESCAPE, 1, 27, 0}, 0},
    {127, {VK_BACK, 14, 8, 0}, 0},
    {57358, {0x14, 58, 0, 0}, 0},     // Caps Lock
    {57359, {0x91, 70, 0, 0}, 0},     // Scroll Lock
    {57360, {0x90, 69, 0, Enh}, 0},   // Num Lock
    {57361, {0x2C, 55, 0, Enh}, 0},   // Print Screen
    {57362, {VkPause, 69, 0, 0}, 0},  // Pause
    {57363, {0x5D, 93, 0, Enh}, 0},   // Menu
    {57399, KeypadDigit(0), 0},
    {57400, KeypadDigit(1), 0},
    {57401, KeypadDigit(2), 0},
    {57402, KeypadDigit(3), 0},
    {57403, KeypadDigit(4), 0},
    {57404, KeypadDigit(5), 0},
    {57405, KeypadDigit(6), 0},
    {57406, KeypadDigit(7), 0},
    {57407, KeypadDigit(8), 0},
    {57408, KeypadDigit(9), 0},
    {57409, {VkDecimal, 83, '.', 0}, 0},
    {57410, {VK_DIVIDE, 53, '/', Enh}, 0},
    {57411, {VK_MULTIPLY, 55, '*', 0}, 0},
    {57412, {VK_SUBTRACT, 74, '-', 0}, 0},
    {57413, {VK_ADD, 78, '+', 0}, 0},
    {57414, {VK_RETURN, 28, 13, Enh}, 0},  // keypad Enter
    {57415, {VkOemPlus, 13, '=', 0}, 0},   // keypad =
    {57416, {VkDecimal, 83, ',', 0}, 0},   // keypad separator
    {57417, {VK_LEFT, 75, 0, 0}, 0},
    {57418, {VK_RIGHT, 77, 0, 0}, 0},
    {57419, {VK_UP, 72, 0, 0}, 0},
    {57420, {VK_DOWN, 80, 0, 0}, 0},
    {57421, {VK_PRIOR, 73, 0, 0}, 0},
    {57422, {VK_NEXT, 81, 0, 0}, 0},
    {57423, {VK_HOME, 71, 0, 0}, 0},
    {57424, {VK_END, 79, 0, 0}, 0},
    {57425, {VK_INSERT, 82, 0, 0}, 0},
    {57426, {VK_DELETE, 83, 0, 0}, 0},
    {57427, Clear, 0},
    {57441, {VK_SHIFT, ScanLeftShift, 0, 0}, SHIFT_PRESSED},
    {57442, {VK_CONTROL, ScanLeftCtrl, 0, 0}, LEFT_CTRL_PRESSED},
    {57443, {VK_MENU, ScanLeftAlt, 0, 0}, LEFT_ALT_PRESSED},
    {57446, {VK_MENU, ScanLeftAlt, 0, 0}, LEFT_ALT_PRESSED},  // left Meta
    {57447, {VK_SHIFT, 54, 0, 0}, SHIFT_PRESSED},
    {57448, {VK_CONTROL, ScanLeftCtrl, 0, Enh}, RightCtrl},
    {57449, {VK_MENU, ScanLeftAlt, 0, Enh}, RightAlt},
    {57452, {VK_MENU, ScanLeftAlt, 0, Enh}, RightAlt},  // right Meta
    {57453, {VK_MENU, ScanLeftAlt, 0, Enh}, RightAlt},  // AltGr
};

template <size_t N>
bool FindKey(const CodeKey (&table)[N], unsigned code, KeyEvent* key) {
  for (const CodeKey& entry : table) {
    if (entry.Code == code) {
      *key = entry.Key;
      return true;
    }
  }
  return false;
}

// A modifier parameter is 1 + a bit mask.  xterm: 1 Shift, 2 Alt, 4 Ctrl,
// 8 Meta (taken for Alt).  The keyboard enhancement protocol: 1 Shift, 2 Alt,
// 4 Ctrl, 8 Super, 16 Hyper, 32 Meta (taken for Alt), 64 Caps Lock, 128 Num
// Lock; Super and Hyper have no place in a console key record.
struct ModifierBit {
  unsigned Bit;
  DWORD State;
};

constexpr ModifierBit XtermModifierBits[] = {
    {1, SHIFT_PRESSED}, {2, LEFT_ALT_PRESSED}, {8, LEFT_ALT_PRESSED}, {4, LEFT_CTRL_PRESSED}};

constexpr ModifierBit KittyModifierBits[] = {{1, SHIFT_PRESSED},     {2, LEFT_ALT_PRESSED},
                                             {32, LEFT_ALT_PRESSED}, {4, LEFT_CTRL_PRESSED},
                                             {64, CAPSLOCK_ON},      {128, NUMLOCK_ON}};

// Each table is looked up by its key, so no two rows may share one: the
// later row would never be found.  The rows' order is then free.
template <typename Row, size_t N, typename Key>
constexpr bool Distinct(const Row (&rows)[N], Key Row::*key) {
  for (size_t i = 0; i < N; ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (rows[i].*key == rows[j].*key) return false;
    }
  }
  return true;
}

// No character is typed by two keys of the layout.
constexpr bool LayoutDistinct() {
  std::array<bool, 128> typed{};
  for (const LayoutKey& k : UsLayout) {
    for (const char c : {k.Plain, k.Shifted}) {
      if (typed[static_cast<uint8_t>(c)] && (c != k.Shifted || k.Shifted != k.Plain)) return false;
      typed[static_cast<uint8_t>(c)] = true;
    }
  }
  return true;
}

static_assert(LayoutDistinct() && Distinct(ControlKeys, &ControlKey::Byte) &&
              Distinct(Jcuken, &CyrillicKey::Letter) && Distinct(CsiFinals, &CodeKey::Code) &&
              Distinct(CsiNumbers, &CodeKey::Code) && Distinct(LinuxConsole, &CodeKey::Code) &&
              Distinct(Ss3Finals, &CodeKey::Code) && Distinct(KittyKeys, &KittyKey::Code) &&
              Distinct(XtermModifierBits, &ModifierBit::Bit) &&
              Distinct(KittyModifierBits, &ModifierBit::Bit));

template <size_t N>
DWORD ModifierState(unsigned param, const ModifierBit (&table)[N]) {
  if (param < 2) return 0;
  const unsigned bits = param - 1;
  DWORD state = 0;
  for (const ModifierBit& m : table)
    if ((bits & m.Bit) != 0) state |= m.State;
  return state;
}

}  // namespace

bool AsciiKey(uint8_t byte, KeyEvent* key) {
  if (byte >= Ascii.size()) return false;
  *key = Ascii[byte];
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
  if (cp == NumeroSign) {
    usKey = '3';
    state = SHIFT_PRESSED;
  }
  for (const CyrillicKey& k : Jcuken) {
    if (k.Letter == small) usKey = k.UsKey;
  }
  if (usKey == 0) return {VkPacket, 0, byte, 0};
  const KeyEvent& us = Ascii[static_cast<uint8_t>(usKey)];
  return {us.VirtualKey, us.ScanCode, byte, state};
}

DWORD XtermModifiers(unsigned param) {
  return ModifierState(param, XtermModifierBits);
}

bool CsiFinalKey(uint8_t final, KeyEvent* key) {
  return FindKey(CsiFinals, final, key);
}

bool CsiNumberKey(unsigned number, KeyEvent* key) {
  return FindKey(CsiNumbers, number, key);
}

bool LinuxConsoleKey(uint8_t final, KeyEvent* key) {
  return FindKey(LinuxConsole, final, key);
}

bool Ss3FinalKey(uint8_t final, KeyEvent* key) {
  return FindKey(Ss3Finals, final, key);
}

DWORD KittyModifiers(unsigned param) {
  return ModifierState(param, KittyModifierBits);
}

bool KittyFunctionalKey(unsigned code, KeyEvent* key, DWORD* own) {
  // F13..F24 follow each other, as their virtual keys do.
  constexpr unsigned F13 = 57376;
  if (code >= F13 && code < F13 + 12) {
    *key = {static_cast<WORD>(VK_F1 + 12 + (code - F13)), 0, 0, 0};
    *own = 0;
    return true;
  }
  for (const KittyKey& entry : KittyKeys) {
    if (entry.Code == code) {
      *key = entry.Key;
      *own = entry.Own;
      return true;
    }
  }
  return false;
}

uint8_t ShiftedAscii(uint8_t plain) {
  for (const LayoutKey& k : UsLayout) {
    if (static_cast<uint8_t>(k.Plain) == plain) return static_cast<uint8_t>(k.Shifted);
  }
  return plain;
}

uint8_t CtrlAscii(uint8_t plain) {
  if (plain >= 'a' && plain <= 'z') return static_cast<uint8_t>(plain - 'a' + 1);
  if (plain >= '[' && plain <= ']') return static_cast<uint8_t>(plain - '[' + 27);
  return 0;
}

}  // namespace vt::keys
