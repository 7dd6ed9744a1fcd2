// The Win32 console functions, on the console model.  Each call checks its
// arguments as Windows does, works on the model under its lock and tells the
// end what changed; the end shows it (the terminal once per pass of the
// program, in one write) or lets a test look at it.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

#include "standin/end/end.h"
#include "standin/model/console_model.h"
#include "standin/model/control.h"
#include "standin/model/kernel_objects.h"
#include "win32/win32.h"

namespace {

using standin::end::Call;

// Windows keeps titles far longer; this bounds what one call may send.
constexpr size_t MaxTitle = 1024;

bool IsOutput(HANDLE handle) {
  return handle == model::ConsoleOutputHandle();
}

// The console behind an output handle, opened at the first call.
bool OutputReady(HANDLE handle) {
  return IsOutput(handle) && standin::end::Open();
}

bool IsOpenInput(HANDLE handle) {
  return handle == model::ConsoleInputHandle() && standin::end::Open();
}

Call Rectangle(const char* name, const SMALL_RECT& r) {
  return Call(name, {r.Left, r.Top, r.Right, r.Bottom});
}

}  // namespace

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  switch (nStdHandle) {
    case STD_INPUT_HANDLE:
      standin::end::Open();  // the handles exist either way, as on Windows
      return model::ConsoleInputHandle();
    case STD_OUTPUT_HANDLE:
    case STD_ERROR_HANDLE:
      standin::end::Open();
      return model::ConsoleOutputHandle();
    default:
      return INVALID_HANDLE_VALUE;  // NOLINT(performance-no-int-to-ptr): the Win32 value
  }
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                       PCONSOLE_SCREEN_BUFFER_INFO lpConsoleScreenBufferInfo) {
  if (lpConsoleScreenBufferInfo == nullptr || !OutputReady(hConsoleOutput)) return FALSE;
  std::lock_guard lock(model::ConsoleMutex());
  *lpConsoleScreenBufferInfo = model::ConsoleLocked().Info();
  return TRUE;
}

BOOL WINAPI ReadConsoleOutputAttribute(HANDLE hConsoleOutput, LPWORD lpAttribute, DWORD nLength,
                                       COORD dwReadCoord, LPDWORD lpNumberOfAttrsRead) {
  if ((lpAttribute == nullptr && nLength > 0) || !OutputReady(hConsoleOutput)) return FALSE;
  std::lock_guard lock(model::ConsoleMutex());
  return model::ConsoleLocked().Screen.ReadAttributes(lpAttribute, nLength, dwReadCoord,
                                                      lpNumberOfAttrsRead)
             ? TRUE
             : FALSE;
}

BOOL WINAPI WriteConsoleOutputA(HANDLE hConsoleOutput, const CHAR_INFO* lpBuffer,
                                COORD dwBufferSize, COORD dwBufferCoord,
                                PSMALL_RECT lpWriteRegion) {
  if (lpBuffer == nullptr || lpWriteRegion == nullptr || !OutputReady(hConsoleOutput)) return FALSE;
  standin::end::Note(Rectangle("WriteConsoleOutputA", *lpWriteRegion));
  std::lock_guard lock(model::ConsoleMutex());
  if (!model::ConsoleLocked().Screen.WriteOutput(lpBuffer, dwBufferSize, dwBufferCoord,
                                                 lpWriteRegion))
    return FALSE;
  standin::end::ChangedLocked();
  return TRUE;
}

BOOL WINAPI ScrollConsoleScreenBufferA(HANDLE hConsoleOutput, const SMALL_RECT* lpScrollRectangle,
                                       const SMALL_RECT* lpClipRectangle, COORD dwDestinationOrigin,
                                       const CHAR_INFO* lpFill) {
  if (lpScrollRectangle == nullptr || lpFill == nullptr || !OutputReady(hConsoleOutput))
    return FALSE;
  const SMALL_RECT& r = *lpScrollRectangle;
  standin::end::Note(
      Call("ScrollConsoleScreenBufferA",
           {r.Left, r.Top, r.Right, r.Bottom, dwDestinationOrigin.X, dwDestinationOrigin.Y}));
  std::lock_guard lock(model::ConsoleMutex());
  model::Console& console = model::ConsoleLocked();
  if (console.RefusesDestinationAbove && dwDestinationOrigin.Y < 0) return FALSE;
  if (!console.Screen.Scroll(*lpScrollRectangle, lpClipRectangle, dwDestinationOrigin, *lpFill))
    return FALSE;
  standin::end::ChangedLocked();
  return TRUE;
}

BOOL WINAPI SetConsoleCursorPosition(HANDLE hConsoleOutput, COORD dwCursorPosition) {
  if (!OutputReady(hConsoleOutput)) return FALSE;
  standin::end::Note(Call("SetConsoleCursorPosition", {dwCursorPosition.X, dwCursorPosition.Y}));
  const COORD size = model::ConsoleSize();
  if (dwCursorPosition.X < 0 || dwCursorPosition.Y < 0 || dwCursorPosition.X >= size.X ||
      dwCursorPosition.Y >= size.Y)
    return FALSE;
  model::PublishCursor(dwCursorPosition);
  // A hidden cursor's move that leaves the window where it is shows nothing:
  // no lock, nothing to send.  Otherwise the window follows (the move is
  // applied with the lock), and what it shows now is sent.
  if (!model::CursorShown() && model::WindowStays(dwCursorPosition)) return TRUE;
  {
    std::lock_guard lock(model::ConsoleMutex());
    model::ConsoleLocked();
    standin::end::ChangedLocked();
  }
  standin::end::Show();
  return TRUE;
}

BOOL WINAPI GetConsoleCursorInfo(HANDLE hConsoleOutput, PCONSOLE_CURSOR_INFO lpConsoleCursorInfo) {
  if (lpConsoleCursorInfo == nullptr || !OutputReady(hConsoleOutput)) return FALSE;
  std::lock_guard lock(model::ConsoleMutex());
  *lpConsoleCursorInfo = model::ConsoleLocked().CursorInfo;
  return TRUE;
}

BOOL WINAPI SetConsoleCursorInfo(HANDLE hConsoleOutput,
                                 const CONSOLE_CURSOR_INFO* lpConsoleCursorInfo) {
  if (lpConsoleCursorInfo == nullptr || !OutputReady(hConsoleOutput)) return FALSE;
  standin::end::Note(Call("SetConsoleCursorInfo", {static_cast<int>(lpConsoleCursorInfo->dwSize),
                                                   lpConsoleCursorInfo->bVisible}));
  std::lock_guard lock(model::ConsoleMutex());
  if (!model::SetCursorInfoLocked(*lpConsoleCursorInfo)) return FALSE;
  standin::end::ChangedLocked();
  return TRUE;
}

BOOL WINAPI SetConsoleTitleA(LPCSTR lpConsoleTitle) {
  if (lpConsoleTitle == nullptr || !standin::end::Open()) return FALSE;
  const std::string_view title(lpConsoleTitle, strnlen(lpConsoleTitle, MaxTitle));
  standin::end::Note(Call("SetConsoleTitleA", {}, title));
  std::lock_guard lock(model::ConsoleMutex());
  model::ConsoleLocked().Title = std::string(title);
  standin::end::TitleChangedLocked();
  return TRUE;
}

// The two calls a program makes for every key take the console's lock once:
// whether the input is a console is asked under the same lock.
BOOL WINAPI GetNumberOfConsoleInputEvents(HANDLE hConsoleInput, LPDWORD lpcNumberOfEvents) {
  if (lpcNumberOfEvents == nullptr || !IsOpenInput(hConsoleInput)) return FALSE;
  // Never waits: the end keeps the queue filled.
  standin::end::DeliverInput();
  std::lock_guard lock(model::ConsoleMutex());
  const model::Console& console = model::ConsoleLocked();
  if (!console.InputIsConsole) return FALSE;
  *lpcNumberOfEvents = static_cast<DWORD>(console.Input.size());
  return TRUE;
}

BOOL WINAPI ReadConsoleInputA(HANDLE hConsoleInput, PINPUT_RECORD lpBuffer, DWORD nLength,
                              LPDWORD lpNumberOfEventsRead) {
  if (lpNumberOfEventsRead == nullptr || (lpBuffer == nullptr && nLength > 0) ||
      !IsOpenInput(hConsoleInput))
    return FALSE;
  if (nLength == 0) {
    std::lock_guard lock(model::ConsoleMutex());
    if (!model::ConsoleLocked().InputIsConsole) return FALSE;
    *lpNumberOfEventsRead = 0;
    return TRUE;
  }
  // Like the Windows console, wait until there is at least one record.
  for (;;) {
    standin::end::DeliverInput();
    {
      std::lock_guard lock(model::ConsoleMutex());
      model::Console& console = model::ConsoleLocked();
      if (!console.InputIsConsole) return FALSE;
      auto& input = console.Input;
      if (!input.empty()) {
        const DWORD n = std::min<DWORD>(nLength, static_cast<DWORD>(input.size()));
        for (DWORD i = 0; i < n; ++i) {
          lpBuffer[i] = input.front();
          // Keys read are not left behind in the queue's memory: a typed
          // password is among them.
          SecureZeroMemory(&input.front(), sizeof(INPUT_RECORD));
          input.pop_front();
        }
        *lpNumberOfEventsRead = n;
        return TRUE;
      }
    }
    model::EndPass();
    standin::end::WaitForInput(INFINITE);
  }
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handlerRoutine, BOOL add) {
  return model::SetCtrlHandler(handlerRoutine, add != FALSE) ? TRUE : FALSE;
}
