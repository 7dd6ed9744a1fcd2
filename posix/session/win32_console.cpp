// The Win32 console functions on a POSIX terminal.  Each call works on the
// console model under the session lock, and a call that changes what the
// screen shows sends the terminal the difference with one write().
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

#include "console/win32.h"
#include "model/kernel_objects.h"
#include "posix/session/control.h"
#include "posix/session/input.h"
#include "posix/session/session.h"

namespace {

// Windows keeps titles far longer; this bounds what one call may send.
constexpr size_t MaxTitle = 1024;

bool IsOutput(HANDLE handle) {
  return handle == model::ConsoleOutputHandle();
}
bool IsInput(HANDLE handle) {
  return handle == model::ConsoleInputHandle();
}

}  // namespace

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  switch (nStdHandle) {
    case STD_INPUT_HANDLE:
      session::StartTerminal();  // the handles exist either way, as on Windows
      return model::ConsoleInputHandle();
    case STD_OUTPUT_HANDLE:
    case STD_ERROR_HANDLE:
      session::StartTerminal();  // the handles exist either way, as on Windows
      return model::ConsoleOutputHandle();
    default:
      return INVALID_HANDLE_VALUE;  // NOLINT(performance-no-int-to-ptr): the Win32 value
  }
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                       PCONSOLE_SCREEN_BUFFER_INFO lpConsoleScreenBufferInfo) {
  if (!IsOutput(hConsoleOutput) || lpConsoleScreenBufferInfo == nullptr) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  std::lock_guard lock(session::SessionMutex());
  *lpConsoleScreenBufferInfo = session::ConsoleLocked().Info();
  return TRUE;
}

BOOL WINAPI ReadConsoleOutputAttribute(HANDLE hConsoleOutput, LPWORD lpAttribute, DWORD nLength,
                                       COORD dwReadCoord, LPDWORD lpNumberOfAttrsRead) {
  if (!IsOutput(hConsoleOutput) || (lpAttribute == nullptr && nLength > 0)) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  std::lock_guard lock(session::SessionMutex());
  return session::ConsoleLocked().Screen.ReadAttributes(lpAttribute, nLength, dwReadCoord,
                                                        lpNumberOfAttrsRead)
             ? TRUE
             : FALSE;
}

BOOL WINAPI WriteConsoleOutputA(HANDLE hConsoleOutput, const CHAR_INFO* lpBuffer,
                                COORD dwBufferSize, COORD dwBufferCoord,
                                PSMALL_RECT lpWriteRegion) {
  if (!IsOutput(hConsoleOutput)) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  std::lock_guard lock(session::SessionMutex());
  if (!session::ConsoleLocked().Screen.WriteOutput(lpBuffer, dwBufferSize, dwBufferCoord,
                                                   lpWriteRegion))
    return FALSE;
  session::RenderLocked();
  return TRUE;
}

BOOL WINAPI ScrollConsoleScreenBufferA(HANDLE hConsoleOutput, const SMALL_RECT* lpScrollRectangle,
                                       const SMALL_RECT* lpClipRectangle, COORD dwDestinationOrigin,
                                       const CHAR_INFO* lpFill) {
  if (!IsOutput(hConsoleOutput) || lpScrollRectangle == nullptr || lpFill == nullptr) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  std::lock_guard lock(session::SessionMutex());
  if (!session::ConsoleLocked().Screen.Scroll(*lpScrollRectangle, lpClipRectangle,
                                              dwDestinationOrigin, *lpFill))
    return FALSE;
  session::RenderLocked();
  return TRUE;
}

BOOL WINAPI SetConsoleCursorPosition(HANDLE hConsoleOutput, COORD dwCursorPosition) {
  if (!IsOutput(hConsoleOutput)) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  return session::MoveCursor(dwCursorPosition) ? TRUE : FALSE;
}

BOOL WINAPI GetConsoleCursorInfo(HANDLE hConsoleOutput, PCONSOLE_CURSOR_INFO lpConsoleCursorInfo) {
  if (!IsOutput(hConsoleOutput) || lpConsoleCursorInfo == nullptr) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  std::lock_guard lock(session::SessionMutex());
  *lpConsoleCursorInfo = session::ConsoleLocked().CursorInfo;
  return TRUE;
}

BOOL WINAPI SetConsoleCursorInfo(HANDLE hConsoleOutput,
                                 const CONSOLE_CURSOR_INFO* lpConsoleCursorInfo) {
  if (!IsOutput(hConsoleOutput) || lpConsoleCursorInfo == nullptr) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  std::lock_guard lock(session::SessionMutex());
  if (!session::ConsoleLocked().SetCursorInfo(*lpConsoleCursorInfo)) return FALSE;
  session::NoteCursorShownLocked(lpConsoleCursorInfo->bVisible != FALSE);
  session::RenderLocked();
  return TRUE;
}

BOOL WINAPI SetConsoleTitleA(LPCSTR lpConsoleTitle) {
  if (lpConsoleTitle == nullptr) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  const std::string_view title(lpConsoleTitle, strnlen(lpConsoleTitle, MaxTitle));
  std::lock_guard lock(session::SessionMutex());
  session::SetTitleLocked(title);
  return TRUE;
}

BOOL WINAPI GetNumberOfConsoleInputEvents(HANDLE hConsoleInput, LPDWORD lpcNumberOfEvents) {
  if (!IsInput(hConsoleInput) || lpcNumberOfEvents == nullptr) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  // Never waits: the terminal's reading thread keeps the queue filled.
  std::lock_guard lock(session::SessionMutex());
  *lpcNumberOfEvents = static_cast<DWORD>(session::ConsoleLocked().Input.size());
  return TRUE;
}

BOOL WINAPI ReadConsoleInputA(HANDLE hConsoleInput, PINPUT_RECORD lpBuffer, DWORD nLength,
                              LPDWORD lpNumberOfEventsRead) {
  if (!IsInput(hConsoleInput) || lpNumberOfEventsRead == nullptr) return FALSE;
  if (lpBuffer == nullptr && nLength > 0) return FALSE;
  if (!session::StartTerminal()) return FALSE;
  *lpNumberOfEventsRead = 0;
  if (nLength == 0) return TRUE;
  // Like the Windows console, wait until there is at least one record.
  for (;;) {
    {
      std::lock_guard lock(session::SessionMutex());
      auto& input = session::ConsoleLocked().Input;
      if (!input.empty()) {
        const DWORD n = std::min<DWORD>(nLength, static_cast<DWORD>(input.size()));
        std::copy_n(input.begin(), n, lpBuffer);
        input.erase(input.begin(), input.begin() + n);
        *lpNumberOfEventsRead = n;
        return TRUE;
      }
    }
    session::WaitForInput(INFINITE);
  }
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handlerRoutine, BOOL add) {
  return session::SetCtrlHandler(handlerRoutine, add != FALSE) ? TRUE : FALSE;
}
