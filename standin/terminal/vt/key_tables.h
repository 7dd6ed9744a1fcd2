// The data behind the terminal key decoder: the PC keyboard (US layout and
// the Russian JCUKEN layout on the same keys) and the escape sequences that
// xterm, VT220-style terminals, rxvt and the Linux console send for keys
// without a character.  Lookups only; the parsing is in key_decoder.cpp.
#pragma once

#include <cstdint>

#include "standin/terminal/vt/key_decoder.h"

namespace vt::keys {

// Virtual-key codes that win32_api.h does not name.  Kept local (and not
// spelt VK_...) so that they never clash with <windows.h> macros.
inline constexpr WORD VkPacket = 0xE7;  // a character without a key of its own
inline constexpr WORD VkCancel = 0x03;  // Ctrl+Break
inline constexpr WORD VkPause = 0x13;
inline constexpr WORD VkDecimal = 0x6E;
inline constexpr WORD VkOemPlus = 0xBB;
inline constexpr WORD VkOemComma = 0xBC;
inline constexpr WORD VkOemMinus = 0xBD;
inline constexpr WORD VkOemPeriod = 0xBE;
inline constexpr WORD VkOem1 = 0xBA;  // ;:
inline constexpr WORD VkOem2 = 0xBF;  // /?
inline constexpr WORD VkOem3 = 0xC0;  // `~
inline constexpr WORD VkOem4 = 0xDB;  // [{
inline constexpr WORD VkOem5 = 0xDC;  // \|
inline constexpr WORD VkOem6 = 0xDD;  // ]}
inline constexpr WORD VkOem7 = 0xDE;  // '"

// The modifier keys' own scan codes, for the records around a modified key.
inline constexpr WORD ScanLeftShift = 42;
inline constexpr WORD ScanLeftCtrl = 29;
inline constexpr WORD ScanLeftAlt = 56;

// The key for a byte 0..127 typed on its own: printable ASCII on the US
// layout, the C0 controls as Ctrl+key (CR, LF, Tab, BS and DEL as their own
// keys), ESC as Esc.  Returns false for bytes >= 128.
bool AsciiKey(uint8_t byte, KeyEvent* key);

// The key for a code page 866 character that arrived as UTF-8 (code point
// cp): Cyrillic letters on their JCUKEN keys, other characters with scan
// code 0.  cp is >= 0x80 and byte is what UnicodeToCp866 gave for it.
KeyEvent NonAsciiKey(char32_t cp, uint8_t byte);

// Control-key state for an xterm modifier parameter: the parameter is 1 +
// a bit mask (1 Shift, 2 Alt, 4 Ctrl, 8 Meta, which the console has no
// separate flag for and so reads as Alt).  0 (absent) and 1 are no modifier.
DWORD XtermModifiers(unsigned param);

// CSI sequences ending in a letter (ESC [ A, ESC [ 1;5 D, ESC [ Z ...).
bool CsiFinalKey(uint8_t final, KeyEvent* key);
// VT220 "CSI n ~" keys by their number (ESC [ 3 ~ is Delete ...).
bool CsiNumberKey(unsigned number, KeyEvent* key);
// The Linux console's F1..F5: ESC [ [ A .. ESC [ [ E.
bool LinuxConsoleKey(uint8_t final, KeyEvent* key);
// SS3 sequences: ESC O A, ESC O P, keypad application mode ESC O p ...
bool Ss3FinalKey(uint8_t final, KeyEvent* key);

// The progressive keyboard enhancement protocol ("CSI code ; mods u").
// Control-key state for its modifier parameter: 1 + a bit mask (1 Shift,
// 2 Alt, 4 Ctrl, 8 Super, 16 Hyper, 32 Meta, 64 Caps Lock, 128 Num Lock);
// Super and Hyper have no console flag, Meta reads as Alt.
DWORD KittyModifiers(unsigned param);
// Keys the protocol numbers with codes of their own (Esc, Enter, Tab,
// Backspace, the keypad, the lock and modifier keys, F13 on, ...): the
// key, and for a modifier key the control-key flags it holds down itself.
bool KittyFunctionalKey(unsigned code, KeyEvent* key, DWORD* own);
// What a key of the US layout types with Shift ('1' gives '!'); the byte
// itself where Shift changes nothing known.
uint8_t ShiftedAscii(uint8_t plain);
// What a key of the US layout types with Ctrl, as a PC console gives it:
// the letters 1..26, [ \ ] 27..29; 0 for the keys without a control code.
uint8_t CtrlAscii(uint8_t plain);

}  // namespace vt::keys
