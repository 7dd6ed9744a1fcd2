// Keyboard input in the manner of a PC BIOS: KeyPressed tells without
// waiting whether a key byte is there, ReadKey returns the next one.  A key
// without a character gives 0 and then its scan code.  Also the break
// handling: CheckBreak and the console control handler that obeys it.
#pragma once

#include <atomic>
#include <bitset>
#include <cstdint>

#include "win32/win32.h"

constexpr int KeyQueueSize = 16;

// Key code: low byte the character, high byte the scan code; never 0 queued.
extern uint16_t KeyQueue[KeyQueueSize];
extern int32_t KeyCount;
extern uint8_t PendingScanCode;
extern uint8_t AltNumber;
// Characters that ReadKey turns into 0 followed by the scan code: {0, 224},
// or only {0} under keyboard code page 866, where 224 is a letter (small er).
extern std::bitset<256> ExtendedPrefixes;
// True at start; while false every console control event is ignored.  Read
// by the control handler on the system's thread.
extern std::atomic<bool> CheckBreak;

void InitKeyboard();
// Empties the queue and forgets the code page (test fixtures; see
// ResetConsoleServices).
void ResetKeyboard();
void UpdateKeyQueue();
uint16_t TranslateKey(DWORD state, uint8_t ch, uint8_t scan);
bool KeyPressed();
uint8_t ReadKey();
BOOL WINAPI ConsoleCtrlHandler(DWORD eventType);
