#include "console/cursor.h"

#include <algorithm>

#include "console/console_output.h"
#include "console/process.h"

std::atomic<int32_t> CursorUpdaterState{CursorUpdaterAbsent};
HANDLE CursorEvent = nullptr;

namespace {

// Both coordinates in one word, so the updater never sees a new column with
// an old row.
std::atomic<uint64_t> PackedCursor{0xFFFFFFFFFFFFFFFFull};

uint64_t Pack(int32_t x, int32_t y) {
  // A 64-bit shift by 32: the analyzer takes the operand for 32 bits.
  // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult)
  return (static_cast<uint64_t>(static_cast<uint32_t>(y)) << 32) | static_cast<uint32_t>(x);
}

HANDLE CursorThread = nullptr;
COORD StartPosition{0, 0};
bool ExitStepRegistered = false;

void StoreCursor(int32_t x, int32_t y) {
  PackedCursor.store(Pack(x, y));
}

DWORD WINAPI CursorUpdater(LPVOID /*unused*/) {
  CursorPosition applied{-1, -1};
  do {
    WaitForSingleObject(CursorEvent, 300);
    const CursorPosition now = GetCursorPosition();
    if (now.X != applied.X || now.Y != applied.Y) {
      SetConsoleCursorPosition(OutputHandle,
                               COORD{static_cast<SHORT>(now.X), static_cast<SHORT>(now.Y)});
      applied = now;
    }
  } while (CursorUpdaterState.load() != CursorUpdaterStopping);
  CursorUpdaterState.store(CursorUpdaterAbsent);
  return 0;
}

// Stops the updater and puts the console's cursor where the layer's is.
// The updater may be between reading a position and applying it: it is let
// end first, or it could put that older position over this one.  The wait
// is bounded, so an updater that cannot run any more (the process going
// down around it) does not hold up the exit.
void CursorExitStep() {
  CursorUpdaterState.store(CursorUpdaterStopping);
  SetEvent(CursorEvent);
  if (CursorThread != nullptr) WaitForSingleObject(CursorThread, 500);
  const CursorPosition now = GetCursorPosition();
  SetConsoleCursorPosition(OutputHandle,
                           COORD{static_cast<SHORT>(now.X), static_cast<SHORT>(now.Y)});
}

void ReadCursorFromConsole() {
  if (CursorUpdaterState.load() != CursorUpdaterAbsent) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  int32_t x = 0;
  int32_t y = 0;
  if (GetConsoleScreenBufferInfo(OutputHandle, &info) != FALSE) {
    x = info.dwCursorPosition.X;
    y = info.dwCursorPosition.Y;
  }
  StartPosition = COORD{static_cast<SHORT>(x), static_cast<SHORT>(y)};
  // The cursor must lie in the area the layer works on: on a buffer taller
  // than 234 rows (or wider than 256 columns) the console's cursor may stand
  // beyond it, and text written there would land outside the area, and the
  // first wrap would scroll the area under it.
  if (ScreenWidth > 0) x = std::clamp<int32_t>(x, 0, ScreenWidth - 1);
  if (ScreenHeight > 0) y = std::clamp<int32_t>(y, 0, ScreenHeight - 1);
  StoreCursor(x, y);
  CursorEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD threadId = 0;
  CursorThread = CreateThread(nullptr, 16384, CursorUpdater, nullptr, 0, &threadId);
  if (CursorThread != nullptr) CursorUpdaterState.store(static_cast<int32_t>(threadId));
  SetEvent(CursorEvent);
  if (!ExitStepRegistered) {
    ExitStepRegistered = true;
    AddExitHandler(CursorExitStep);
  }
}

}  // namespace

CursorPosition GetCursorPosition() {
  const uint64_t packed = PackedCursor.load();
  return CursorPosition{static_cast<int32_t>(static_cast<uint32_t>(packed)),
                        static_cast<int32_t>(static_cast<uint32_t>(packed >> 32))};
}

void EnsureCursor() {
  const CursorPosition now = GetCursorPosition();
  if (now.X == -1 && now.Y == -1) ReadCursorFromConsole();
}

COORD ConsoleCursorAtStart() {
  return StartPosition;
}

void SetCursor(int32_t x, int32_t y) {
  StoreCursor(x, y);
  if (CursorUpdaterState.load() == CursorUpdaterAbsent) {
    SetConsoleCursorPosition(OutputHandle, COORD{static_cast<SHORT>(x), static_cast<SHORT>(y)});
  } else {
    SetEvent(CursorEvent);
  }
}

void ResetCursor() {
  if (CursorUpdaterState.load() != CursorUpdaterAbsent) {
    CursorUpdaterState.store(CursorUpdaterStopping);
    SetEvent(CursorEvent);
    if (CursorThread != nullptr) WaitForSingleObject(CursorThread, 2000);
  }
  CursorUpdaterState.store(CursorUpdaterAbsent);
  CursorThread = nullptr;
  CursorEvent = nullptr;
  PackedCursor.store(Pack(-1, -1));
  StartPosition = COORD{0, 0};
  ExitStepRegistered = false;
}
