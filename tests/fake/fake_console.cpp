#include "tests/fake/fake_console.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "model/kernel_objects.h"

namespace fake {
namespace {

struct State {
  Options options;
  std::unique_ptr<model::Console> console = std::make_unique<model::Console>(80, 25);
  std::vector<std::string> calls;
  uint64_t nowMs = 0;
  int64_t clockOffsetMs = 0;
  uint64_t stopAtMs = UINT64_MAX;
  std::multimap<uint64_t, std::function<void()>> scheduled;
  std::vector<Tone> beeps;
  int messageBeeps = 0;
  std::vector<DWORD> priorities;
  std::vector<std::string> titles;
  std::vector<std::string> portLog;
  uint8_t port61 = 0;
  PHANDLER_ROUTINE ctrlHandler = nullptr;
};

// The cursor thread, when a test lets one run, reaches the console too.
std::recursive_mutex stateMutex;
State& S() {
  static State state;
  return state;
}

void Log(std::string line) {
  S().calls.push_back(std::move(line));
}

std::string Format(const char* format, auto... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

// Delivers the scripted input that is due by now.
void DeliverDue() {
  State& s = S();
  while (!s.scheduled.empty() && s.scheduled.begin()->first <= s.nowMs) {
    auto push = std::move(s.scheduled.begin()->second);
    s.scheduled.erase(s.scheduled.begin());
    push();
  }
}

// Moves the virtual clock on, delivering scripted input on the way; throws
// InputExhausted at the stop time.
void Advance(uint64_t ms) {
  State& s = S();
  const uint64_t target = s.nowMs + ms;
  while (!s.scheduled.empty() && s.scheduled.begin()->first <= target &&
         s.scheduled.begin()->first < s.stopAtMs) {
    s.nowMs = std::max(s.nowMs, s.scheduled.begin()->first);
    DeliverDue();
  }
  if (target >= s.stopAtMs) {
    s.nowMs = s.stopAtMs;
    throw InputExhausted{};
  }
  s.nowMs = target;
  DeliverDue();
}

UINT WINAPI FakeGetKBCodePage() {
  return S().options.KeyboardCodePage;
}

int user32Module = 0;

struct KeyOfByte {
  WORD VirtualKey;
  WORD Scan;
  DWORD State;
};

// The US PC keyboard: which key and shift state types an ASCII byte.
KeyOfByte KeyForAscii(uint8_t byte) {
  static const char* const kRows[] = {"1234567890-=", "qwertyuiop[]", "asdfghjkl;'`",
                                      "\\zxcvbnm,./"};
  static const char* const kShiftedRows[] = {"!@#$%^&*()_+", "QWERTYUIOP{}", "ASDFGHJKL:\"~",
                                             "|ZXCVBNM<>?"};
  static const int kFirstScan[] = {2, 16, 30, 43};
  switch (byte) {
    case 8:
      return {VK_BACK, 14, 0};
    case 9:
      return {VK_TAB, 15, 0};
    case 13:
      return {VK_RETURN, 28, 0};
    case 27:
      return {VK_ESCAPE, 1, 0};
    case ' ':
      return {VK_SPACE, 57, 0};
    default:
      break;
  }
  for (int row = 0; row < 4; ++row) {
    for (int shifted = 0; shifted < 2; ++shifted) {
      const char* keys = shifted != 0 ? kShiftedRows[row] : kRows[row];
      for (int i = 0; keys[i] != 0; ++i) {
        if (static_cast<uint8_t>(keys[i]) != byte) continue;
        const int scan = kFirstScan[row] + i;
        WORD vk = 0;
        const auto base = static_cast<unsigned char>(kRows[row][i]);
        if (base >= 'a' && base <= 'z') vk = static_cast<WORD>(base - 'a' + 'A');
        if (base >= '0' && base <= '9') vk = static_cast<WORD>(base);
        return {vk, static_cast<WORD>(scan), shifted != 0 ? static_cast<DWORD>(SHIFT_PRESSED) : 0};
      }
    }
  }
  if (byte >= 1 && byte <= 26) {
    // Ctrl+letter.
    const KeyOfByte letter = KeyForAscii(static_cast<uint8_t>('a' + byte - 1));
    return {letter.VirtualKey, letter.Scan, LEFT_CTRL_PRESSED};
  }
  return {0, 0, 0};
}

// Code page 866 letters on the keys of the Russian layout (scan codes).
KeyOfByte KeyForCyrillic(uint8_t byte) {
  // Small letters in key order: the rows QWERTYUIOP[], ASDFGHJKL;', ZXCVBNM,.
  // and the key left of 1.
  struct Key {
    uint8_t Small;
    WORD Scan;
  };
  static const Key kKeys[] = {
      {0xA9, 16}, {0xE6, 17}, {0xE3, 18}, {0xAA, 19}, {0xA5, 20}, {0xAD, 21}, {0xA3, 22},
      {0xE8, 23}, {0xE9, 24}, {0xA7, 25}, {0xE5, 26}, {0xEA, 27}, {0xE4, 30}, {0xEB, 31},
      {0xA2, 32}, {0xA0, 33}, {0xAF, 34}, {0xE0, 35}, {0xAE, 36}, {0xAB, 37}, {0xA4, 38},
      {0xA6, 39}, {0xED, 40}, {0xEF, 44}, {0xE7, 45}, {0xE1, 46}, {0xAC, 47}, {0xA8, 48},
      {0xE2, 49}, {0xEC, 50}, {0xA1, 51}, {0xEE, 52}, {0xF1, 41}};
  uint8_t small = byte;
  DWORD state = 0;
  if (byte >= 0x80 && byte <= 0x8F) {
    small = static_cast<uint8_t>(byte + 0x20);
    state = SHIFT_PRESSED;
  } else if (byte >= 0x90 && byte <= 0x9F) {
    small = static_cast<uint8_t>(byte + 0x50);
    state = SHIFT_PRESSED;
  } else if (byte == 0xF0) {
    small = 0xF1;
    state = SHIFT_PRESSED;
  }
  for (const Key& key : kKeys)
    if (key.Small == small) return {0, key.Scan, state};
  return {0, 0, 0};
}

}  // namespace

void Reset(const Options& options) {
  std::lock_guard lock(stateMutex);
  model::JoinThreads();
  State& s = S();
  s = State{};
  s.options = options;
  s.console = std::make_unique<model::Console>(options.Width, options.Height, options.Fill);
  s.console->Cursor = options.Cursor;
  s.console->CursorInfo = options.CursorInfo;
}

model::Console& Console() {
  return *S().console;
}
model::ScreenBuffer& Screen() {
  return S().console->Screen;
}

void PushRecord(const INPUT_RECORD& record) {
  std::lock_guard lock(stateMutex);
  S().console->Input.push_back(record);
}

void PushKey(WORD virtualKey, WORD scanCode, uint8_t ch, DWORD controlState) {
  PushRecord(model::KeyRecord(true, virtualKey, scanCode, ch, controlState));
  PushRecord(model::KeyRecord(false, virtualKey, scanCode, ch, controlState));
}

void TypeBytes(std::string_view bytes) {
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    const KeyOfByte key = byte >= 0x80 ? KeyForCyrillic(byte) : KeyForAscii(byte);
    PushKey(key.VirtualKey, key.Scan, byte, key.State);
  }
}

void PushAltX() {
  PushRecord(model::KeyRecord(true, VK_MENU, 56, 0, LEFT_ALT_PRESSED));
  PushKey('X', 45, 'x', LEFT_ALT_PRESSED);
  PushRecord(model::KeyRecord(false, VK_MENU, 56, 0, 0));
}

void PushAt(uint64_t atMs, std::function<void()> push) {
  std::lock_guard lock(stateMutex);
  S().scheduled.emplace(atMs, std::move(push));
}

uint64_t NowMs() {
  return S().nowMs;
}

void AdvanceMs(uint64_t ms) {
  std::lock_guard lock(stateMutex);
  Advance(ms);
}

void StepClock(int64_t deltaMs) {
  S().clockOffsetMs += deltaMs;
}
void StopAt(uint64_t ms) {
  S().stopAtMs = ms;
}

const std::vector<std::string>& Calls() {
  return S().calls;
}
void ClearCalls() {
  std::lock_guard lock(stateMutex);
  S().calls.clear();
}

std::vector<std::string> CallsStarting(std::string_view prefix) {
  std::lock_guard lock(stateMutex);
  std::vector<std::string> found;
  for (const std::string& call : S().calls)
    if (call.starts_with(prefix)) found.push_back(call);
  return found;
}

const std::vector<Tone>& Beeps() {
  return S().beeps;
}
int MessageBeeps() {
  return S().messageBeeps;
}
const std::vector<DWORD>& PriorityClasses() {
  return S().priorities;
}
const std::vector<std::string>& Titles() {
  return S().titles;
}
const std::vector<std::string>& PortLog() {
  return S().portLog;
}
void SetPort61(uint8_t value) {
  S().port61 = value;
}
PHANDLER_ROUTINE CtrlHandler() {
  return S().ctrlHandler;
}

std::string Row(int row) {
  return Screen().RowText(row - 1, true);
}
uint8_t AttrAt(int column, int row) {
  return Screen().At(column - 1, row - 1).Attr;
}

}  // namespace fake

// --- The Win32 functions ------------------------------------------------------
using fake::Format;
using fake::Log;
using fake::S;
using fake::stateMutex;

namespace {
// Runs an operation on the console behind an output handle, under the lock;
// any other handle fails the call, as Win32 does.
template <typename Operation>
BOOL OnOutput(HANDLE handle, Operation operation) {
  std::lock_guard lock(stateMutex);
  if (model::KindOf(handle) != model::ObjectKind::ConsoleOutput) return FALSE;
  return operation(*S().console) ? TRUE : FALSE;
}
}  // namespace

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  if (nStdHandle == STD_INPUT_HANDLE)
    return S().options.InputIsNotAConsole ? INVALID_HANDLE_VALUE : model::ConsoleInputHandle();
  if (nStdHandle == STD_OUTPUT_HANDLE) return model::ConsoleOutputHandle();
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE hConsoleOutput,
                                       PCONSOLE_SCREEN_BUFFER_INFO lpConsoleScreenBufferInfo) {
  return OnOutput(hConsoleOutput, [&](model::Console& console) {
    *lpConsoleScreenBufferInfo = console.Info();
    // The model keeps at least one cell; a console asked for none reports
    // none, as a console without a size does.
    if (S().options.Width <= 0) lpConsoleScreenBufferInfo->dwSize = COORD{0, 0};
    return true;
  });
}

BOOL WINAPI ReadConsoleOutputAttribute(HANDLE hConsoleOutput, LPWORD lpAttribute, DWORD nLength,
                                       COORD dwReadCoord, LPDWORD lpNumberOfAttrsRead) {
  return OnOutput(hConsoleOutput, [&](model::Console& console) {
    return console.Screen.ReadAttributes(lpAttribute, nLength, dwReadCoord, lpNumberOfAttrsRead);
  });
}

BOOL WINAPI WriteConsoleOutputA(HANDLE hConsoleOutput, const CHAR_INFO* lpBuffer,
                                COORD dwBufferSize, COORD dwBufferCoord,
                                PSMALL_RECT lpWriteRegion) {
  std::lock_guard lock(stateMutex);
  Log(Format("WriteConsoleOutputA %d,%d,%d,%d", lpWriteRegion->Left, lpWriteRegion->Top,
             lpWriteRegion->Right, lpWriteRegion->Bottom));
  return OnOutput(hConsoleOutput, [&](model::Console& console) {
    return console.Screen.WriteOutput(lpBuffer, dwBufferSize, dwBufferCoord, lpWriteRegion);
  });
}

BOOL WINAPI ScrollConsoleScreenBufferA(HANDLE hConsoleOutput, const SMALL_RECT* lpScrollRectangle,
                                       const SMALL_RECT* lpClipRectangle, COORD dwDestinationOrigin,
                                       const CHAR_INFO* lpFill) {
  std::lock_guard lock(stateMutex);
  Log(Format("ScrollConsoleScreenBufferA %d,%d,%d,%d to %d,%d", lpScrollRectangle->Left,
             lpScrollRectangle->Top, lpScrollRectangle->Right, lpScrollRectangle->Bottom,
             dwDestinationOrigin.X, dwDestinationOrigin.Y));
  return OnOutput(hConsoleOutput, [&](model::Console& console) {
    if (S().options.RefuseDestinationAboveBuffer && dwDestinationOrigin.Y < 0) return false;
    return console.Screen.Scroll(*lpScrollRectangle, lpClipRectangle, dwDestinationOrigin, *lpFill);
  });
}

BOOL WINAPI SetConsoleCursorPosition(HANDLE hConsoleOutput, COORD dwCursorPosition) {
  std::lock_guard lock(stateMutex);
  Log(Format("SetConsoleCursorPosition %d,%d", dwCursorPosition.X, dwCursorPosition.Y));
  return OnOutput(hConsoleOutput, [&](model::Console& console) {
    return console.SetCursorPosition(dwCursorPosition);
  });
}

BOOL WINAPI GetConsoleCursorInfo(HANDLE hConsoleOutput, PCONSOLE_CURSOR_INFO lpConsoleCursorInfo) {
  return OnOutput(hConsoleOutput, [&](model::Console& console) {
    *lpConsoleCursorInfo = console.CursorInfo;
    return true;
  });
}

BOOL WINAPI SetConsoleCursorInfo(HANDLE hConsoleOutput,
                                 const CONSOLE_CURSOR_INFO* lpConsoleCursorInfo) {
  std::lock_guard lock(stateMutex);
  Log(Format("SetConsoleCursorInfo %u,%d", static_cast<unsigned>(lpConsoleCursorInfo->dwSize),
             lpConsoleCursorInfo->bVisible));
  return OnOutput(hConsoleOutput, [&](model::Console& console) {
    return console.SetCursorInfo(*lpConsoleCursorInfo);
  });
}

BOOL WINAPI SetConsoleTitleA(LPCSTR lpConsoleTitle) {
  std::lock_guard lock(stateMutex);
  S().console->Title = lpConsoleTitle;
  S().titles.emplace_back(lpConsoleTitle);
  Log(std::string("SetConsoleTitleA ") + lpConsoleTitle);
  return TRUE;
}

BOOL WINAPI GetNumberOfConsoleInputEvents(HANDLE hConsoleInput, LPDWORD lpcNumberOfEvents) {
  std::lock_guard lock(stateMutex);
  if (model::KindOf(hConsoleInput) != model::ObjectKind::ConsoleInput) return FALSE;
  fake::DeliverDue();
  *lpcNumberOfEvents = static_cast<DWORD>(S().console->Input.size());
  return TRUE;
}

BOOL WINAPI ReadConsoleInputA(HANDLE hConsoleInput, PINPUT_RECORD lpBuffer, DWORD nLength,
                              LPDWORD lpNumberOfEventsRead) {
  std::lock_guard lock(stateMutex);
  if (model::KindOf(hConsoleInput) != model::ObjectKind::ConsoleInput) return FALSE;
  fake::DeliverDue();
  auto& input = S().console->Input;
  DWORD count = 0;
  while (count < nLength && !input.empty()) {
    lpBuffer[count++] = input.front();
    input.pop_front();
  }
  *lpNumberOfEventsRead = count;
  return TRUE;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handlerRoutine, BOOL add) {
  std::lock_guard lock(stateMutex);
  S().ctrlHandler = add != FALSE ? handlerRoutine : nullptr;
  return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD /*dwCreationFlags*/, LPDWORD lpThreadId) {
  std::lock_guard lock(stateMutex);
  Log(Format("CreateThread stack %zu", dwStackSize));
  if (!S().options.Threads) return nullptr;
  return model::StartThread(lpStartAddress, lpParameter, lpThreadId);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (model::KindOf(hHandle) != model::ObjectKind::ConsoleInput)
    return model::WaitObject(hHandle, dwMilliseconds);
  std::lock_guard lock(stateMutex);
  fake::State& s = S();
  fake::DeliverDue();
  if (!s.console->Input.empty()) return WAIT_OBJECT_0;
  if (!s.scheduled.empty()) {
    const uint64_t next = s.scheduled.begin()->first;
    if (dwMilliseconds == INFINITE || next <= s.nowMs + dwMilliseconds) {
      fake::Advance(next - s.nowMs);
      return s.console->Input.empty() ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }
  }
  // Nothing will ever arrive: the program would wait for ever.
  if (dwMilliseconds == INFINITE) throw fake::InputExhausted{};
  fake::Advance(dwMilliseconds);
  return WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE /*hObject*/) {
  return TRUE;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
  const DWORD platform = S().options.Platform;
  lpVersionInformation->dwPlatformId = platform;
  lpVersionInformation->dwMajorVersion = platform == VER_PLATFORM_WIN32_NT ? 5 : 4;
  lpVersionInformation->dwMinorVersion = platform == VER_PLATFORM_WIN32_NT ? 1 : 10;
  lpVersionInformation->dwBuildNumber = 2600;
  lpVersionInformation->szCSDVersion[0] = 0;
  return TRUE;
}

void WINAPI ExitProcess(UINT uExitCode) {
  {
    std::lock_guard lock(stateMutex);
    Log(Format("ExitProcess %u", uExitCode));
  }
  throw fake::ProcessExit{uExitCode};
}

HANDLE WINAPI GetCurrentProcess() {
  return model::CurrentProcessHandle();
}

BOOL WINAPI SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
  std::lock_guard lock(stateMutex);
  Log(Format("SetPriorityClass %#x", static_cast<unsigned>(dwPriorityClass)));
  if (model::KindOf(hProcess) != model::ObjectKind::Process) return FALSE;
  S().priorities.push_back(dwPriorityClass);
  return TRUE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  std::lock_guard lock(stateMutex);
  const fake::State& s = S();
  constexpr int64_t kDayMs = 86400000;
  const int64_t start =
      ((s.options.Hour * 60LL + s.options.Minute) * 60LL + s.options.Second) * 1000LL;
  int64_t now = start + static_cast<int64_t>(s.nowMs) + s.clockOffsetMs;
  // Days from 1 January 2026, so that a test can see the date roll over.
  int64_t day = now >= 0 ? now / kDayMs : (now - kDayMs + 1) / kDayMs;
  now -= day * kDayMs;
  *lpSystemTime = SYSTEMTIME{};
  lpSystemTime->wYear = 2026;
  lpSystemTime->wMonth = 1;
  lpSystemTime->wDay = static_cast<WORD>(1 + ((day % 28) + 28) % 28);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(((day + 4) % 7 + 7) % 7);
  lpSystemTime->wHour = static_cast<WORD>(now / 3600000);
  lpSystemTime->wMinute = static_cast<WORD>(now / 60000 % 60);
  lpSystemTime->wSecond = static_cast<WORD>(now / 1000 % 60);
  lpSystemTime->wMilliseconds = static_cast<WORD>(now % 1000);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  std::lock_guard lock(stateMutex);
  Log(Format("Sleep %u", static_cast<unsigned>(dwMilliseconds)));
  fake::Advance(dwMilliseconds);
}

BOOL WINAPI Beep(DWORD dwFreq, DWORD dwDuration) {
  std::lock_guard lock(stateMutex);
  Log(Format("Beep %u,%u", static_cast<unsigned>(dwFreq), static_cast<unsigned>(dwDuration)));
  S().beeps.push_back(fake::Tone{dwFreq, dwDuration, S().nowMs});
  fake::Advance(dwDuration);
  return TRUE;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  std::string name(lpLibFileName);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name == "user32.dll" || name == "user32" ? &fake::user32Module : nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != &fake::user32Module || std::string(lpProcName) != "GetKBCodePage") return nullptr;
  if (S().options.KeyboardCodePage == 0) return nullptr;
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fake::FakeGetKBCodePage));
}

BOOL WINAPI MessageBeep(UINT uType) {
  std::lock_guard lock(stateMutex);
  Log(Format("MessageBeep %u", uType));
  ++S().messageBeeps;
  return TRUE;
}

uint8_t PortReadByte(uint16_t port) {
  std::lock_guard lock(stateMutex);
  S().portLog.push_back(Format("in %X", port));
  return port == 0x61 ? S().port61 : 0;
}

void PortWriteByte(uint16_t port, uint8_t value) {
  std::lock_guard lock(stateMutex);
  S().portLog.push_back(Format("out %X %02X", port, value));
  if (port == 0x61) S().port61 = value;
}
