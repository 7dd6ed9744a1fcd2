#include "console/keyboard.h"
#include "console/process.h"

#include "console/console_output.h"

uint16_t KeyQueue[KeyQueueSize] = {};
int32_t KeyCount = 0;
uint8_t PendingScanCode = 0;
uint8_t AltNumber = 0;
std::bitset<256> ExtendedPrefixes;
std::atomic<bool> CheckBreak{true};

namespace {

uint32_t KeyboardPlatform = 0;

// user32's GetKBCodePage, looked up by name since a system may lack it.
using GetKBCodePageProc = UINT(WINAPI*)();

constexpr DWORD Alt = RIGHT_ALT_PRESSED | LEFT_ALT_PRESSED;
constexpr DWORD Ctrl = RIGHT_CTRL_PRESSED | LEFT_CTRL_PRESSED;

// Codes of the keys 71..83 (Home, Up, PgUp, keypad -, Left, keypad 5,
// Right, keypad +, End, Down, PgDn, Ins, Del) with Ctrl and with Alt.
constexpr uint8_t CtrlTable[] = {119, 141, 132, 142, 115, 143, 116, 144, 117, 145, 118, 146, 147};
constexpr uint8_t AltTable[] = {151, 152, 153, 74, 155, 76, 157, 78, 159, 160, 161, 162, 163};

// On Windows 95 family consoles an Alt number's keypad digits are known only
// by the codes the Alt table gives them: {code's scan byte, digit}.
struct AltDigit {
  uint8_t Scan;
  uint8_t Digit;
};
constexpr AltDigit AltDigits[] = {{151, 7}, {152, 8}, {153, 9}, {155, 4}, {76, 5},
                                  {157, 6}, {159, 1}, {160, 2}, {161, 3}, {162, 0}};

uint16_t Code(int scan, int ch = 0) {
  return static_cast<uint16_t>(scan * 256 + ch);
}

void Append(uint16_t code) {
  if (KeyCount < KeyQueueSize) KeyQueue[KeyCount++] = code;
}

int AltKeypadDigit(const KEY_EVENT_RECORD& key, uint16_t code) {
  if (KeyboardPlatform == VER_PLATFORM_WIN32_WINDOWS) {
    if ((code & 0xFF) != 0) return -1;
    for (const AltDigit& entry : AltDigits)
      if (entry.Scan == code >> 8) return entry.Digit;
    return -1;
  }
  if (key.wVirtualKeyCode >= 96 && key.wVirtualKeyCode <= 105) return key.wVirtualKeyCode - 96;
  return -1;
}

}  // namespace

void InitKeyboard() {
  KeyboardPlatform = GetPlatform();
  UINT codePage = 0;
  const HMODULE user32 = LoadLibraryA("user32.dll");
  if (user32 != nullptr) {
    const FARPROC found = GetProcAddress(user32, "GetKBCodePage");
    if (found != nullptr) {
      // Through void(*)() so that the cast between function types is plain.
      const auto getKbCodePage =
          reinterpret_cast<GetKBCodePageProc>(reinterpret_cast<void (*)()>(found));
      codePage = getKbCodePage();
    }
  }
  ExtendedPrefixes.reset();
  ExtendedPrefixes.set(0);
  if (codePage != 866) ExtendedPrefixes.set(224);
  KeyCount = 0;
  PendingScanCode = 0;
  AltNumber = 0;
  CheckBreak.store(true);
}

void ResetKeyboard() {
  KeyCount = 0;
  PendingScanCode = 0;
  AltNumber = 0;
  ExtendedPrefixes.reset();
  KeyboardPlatform = 0;
}

uint16_t TranslateKey(DWORD state, uint8_t ch, uint8_t scan) {
  const bool alt = (state & Alt) != 0;
  const bool ctrl = (state & Ctrl) != 0;
  const bool shift = (state & SHIFT_PRESSED) != 0;

  // Character keys; a character typed with the right Alt key (AltGr) stays a
  // character, while the left Alt key always makes it an Alt combination.
  if (ch != 0 && (state & LEFT_ALT_PRESSED) == 0 && ch != 224) {
    if (ch == 9 && shift) return Code(15);
    const int scanByte = (state & ENHANCED_KEY) != 0 ? 224 : scan;
    const int character = ((state & RIGHT_ALT_PRESSED) != 0 && ch == 240) ? 0 : ch;
    return Code(scanByte, character);
  }

  if (scan >= 2 && scan <= 13) return alt ? Code(scan + 118) : Code(scan, ch);
  if (scan == 28) return alt ? Code(166) : 0;
  if (scan == 14 || (scan >= 16 && scan <= 27) || (scan >= 29 && scan <= 52))
    return alt ? Code(scan) : 0;
  if (scan == 53) return alt ? Code(164) : ctrl ? Code(149) : Code(53);
  if (scan == 55) return alt ? Code(55) : ctrl ? Code(150) : Code(55);
  if (scan >= 59 && scan <= 68) {
    if (alt) return Code(scan + 45);
    if (ctrl) return Code(scan + 35);
    if (shift) return Code(scan + 25);
    return Code(scan);
  }
  if (scan >= 71 && scan <= 83) {
    // Here Ctrl is tried before Alt.
    if (ctrl) return Code(CtrlTable[scan - 71]);
    if (alt) return Code(AltTable[scan - 71]);
    return Code(scan);
  }
  if (scan == 87 || scan == 88) {
    if (alt) return Code(scan + 52);
    if (ctrl) return Code(scan + 50);
    if (shift) return Code(scan + 48);
    return Code(scan + 46);
  }
  return 0;
}

void UpdateKeyQueue() {
  while (KeyCount < KeyQueueSize) {
    DWORD waiting = 0;
    GetNumberOfConsoleInputEvents(InputHandle, &waiting);
    if (waiting == 0) return;
    INPUT_RECORD record{};
    DWORD read = 0;
    ReadConsoleInputA(InputHandle, &record, 1, &read);
    // A console that claims records but delivers none must not spin us.
    if (read == 0) return;
    if (record.EventType != KEY_EVENT) continue;

    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (key.bKeyDown == FALSE) {
      if (key.wVirtualKeyCode == VK_MENU && AltNumber != 0) {
        Append(AltNumber);
        AltNumber = 0;
      }
      continue;
    }
    if (key.wVirtualKeyCode == VK_SHIFT || key.wVirtualKeyCode == VK_CONTROL ||
        key.wVirtualKeyCode == VK_MENU) {
      continue;
    }
    auto ch = static_cast<uint8_t>(key.uChar.AsciiChar);
    // Wine's console reports a plain Esc key without its character; Windows
    // gives 27, which is what every phase of the program waits for.
    if (key.wVirtualKeyCode == VK_ESCAPE && ch == 0 &&
        (key.dwControlKeyState & (Alt | Ctrl | SHIFT_PRESSED)) == 0) {
      ch = 27;
    }
    const uint16_t code =
        TranslateKey(key.dwControlKeyState, ch, static_cast<uint8_t>(key.wVirtualScanCode & 0xFF));
    // A key that gives nothing ends this call; the rest waits for the next.
    if (code == 0) return;
    if ((key.dwControlKeyState & Alt) != 0 && (key.dwControlKeyState & ENHANCED_KEY) == 0) {
      const int digit = AltKeypadDigit(key, code);
      if (digit >= 0) {
        AltNumber = static_cast<uint8_t>((AltNumber * 10 + digit) % 256);
        continue;
      }
    }
    Append(code);
    AltNumber = 0;
  }
}

bool KeyPressed() {
  if (PendingScanCode != 0) return true;
  UpdateKeyQueue();
  return KeyCount > 0;
}

uint8_t ReadKey() {
  if (PendingScanCode != 0) {
    const uint8_t scan = PendingScanCode;
    PendingScanCode = 0;
    return scan;
  }
  UpdateKeyQueue();
  while (KeyCount == 0) {
    WaitForSingleObject(InputHandle, INFINITE);
    UpdateKeyQueue();
  }
  const uint16_t code = KeyQueue[0];
  for (int i = 1; i < KeyCount; ++i) KeyQueue[i - 1] = KeyQueue[i];
  --KeyCount;
  const auto character = static_cast<uint8_t>(code & 0xFF);
  if (ExtendedPrefixes.test(character)) {
    PendingScanCode = static_cast<uint8_t>(code >> 8);
    return 0;
  }
  return character;
}

BOOL WINAPI ConsoleCtrlHandler(DWORD /*eventType*/) {
  return CheckBreak.load() ? FALSE : TRUE;
}
