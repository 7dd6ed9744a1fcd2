#include "standin/testend/test_end.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "standin/end/end.h"
#include "standin/model/control.h"
#include "standin/model/kernel_objects.h"

namespace testend {
namespace {

struct State {
  Options Setup;
  std::vector<std::string> Calls;
  uint64_t NowMs = 0;
  int64_t ClockOffsetMs = 0;
  uint64_t StopAtMs = UINT64_MAX;
  std::multimap<uint64_t, std::function<void()>> Scheduled;
  std::vector<Tone> Beeps;
  int MessageBeeps = 0;
  std::vector<DWORD> Priorities;
  std::vector<std::string> Titles;
  std::vector<std::string> PortLog;
};

// The cursor thread, when a test lets one run, reaches the log too; a
// scripted push runs while the clock advances, under this lock.  Taken
// before the console's lock, never after it.
std::recursive_mutex StateMutex;
State& S() {
  static State state;
  return state;
}

std::string Format(const char* format, auto... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

// Delivers the scripted input that is due by now.
void DeliverDue() {
  State& s = S();
  while (!s.Scheduled.empty() && s.Scheduled.begin()->first <= s.NowMs) {
    auto push = std::move(s.Scheduled.begin()->second);
    s.Scheduled.erase(s.Scheduled.begin());
    push();
  }
}

// Moves the virtual clock on, delivering scripted input on the way; throws
// InputExhausted at the stop time.
void Advance(uint64_t ms) {
  State& s = S();
  const uint64_t target = s.NowMs + ms;
  while (!s.Scheduled.empty() && s.Scheduled.begin()->first <= target &&
         s.Scheduled.begin()->first < s.StopAtMs) {
    s.NowMs = std::max(s.NowMs, s.Scheduled.begin()->first);
    DeliverDue();
  }
  if (target >= s.StopAtMs) {
    s.NowMs = s.StopAtMs;
    throw InputExhausted{};
  }
  s.NowMs = target;
  DeliverDue();
}

bool InputEmpty() {
  std::lock_guard lock(model::ConsoleMutex());
  return model::ConsoleLocked().Input.empty();
}

struct KeyOfByte {
  WORD VirtualKey;
  WORD Scan;
  DWORD State;
};

// The US PC keyboard: which key and shift state types an ASCII byte.
KeyOfByte KeyForAscii(uint8_t byte) {
  static const char* const KRows[] = {"1234567890-=", "qwertyuiop[]", "asdfghjkl;'`",
                                      "\\zxcvbnm,./"};
  static const char* const KShiftedRows[] = {"!@#$%^&*()_+", "QWERTYUIOP{}", "ASDFGHJKL:\"~",
                                             "|ZXCVBNM<>?"};
  static const int KFirstScan[] = {2, 16, 30, 43};
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
      const char* keys = shifted != 0 ? KShiftedRows[row] : KRows[row];
      for (int i = 0; keys[i] != 0; ++i) {
        if (static_cast<uint8_t>(keys[i]) != byte) continue;
        const int scan = KFirstScan[row] + i;
        WORD vk = 0;
        const auto base = static_cast<unsigned char>(KRows[row][i]);
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
  static const Key KKeys[] = {
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
  for (const Key& key : KKeys)
    if (key.Small == small) return {0, key.Scan, state};
  return {0, 0, 0};
}

}  // namespace

void Reset(const Options& options) {
  std::lock_guard lock(StateMutex);
  model::JoinThreads();
  model::ClearCtrlHandlers();
  State& s = S();
  s = State{};
  s.Setup = options;
  auto console = std::make_unique<model::Console>(options.Width, options.Height, options.Fill);
  console->Cursor = options.Cursor;
  console->CursorInfo = options.CursorInfo;
  if (options.WindowColumns > 0) console->SetWindowSize(options.WindowColumns, options.WindowRows);
  console->ReportsSize = options.Width > 0;
  console->InputIsConsole = !options.InputIsNotAConsole;
  console->RefusesDestinationAbove = options.RefuseDestinationAboveBuffer;
  {
    std::lock_guard consoleLock(model::ConsoleMutex());
    model::OpenConsoleLocked(std::move(console));
  }
  SetPort61(0);
}

model::Console& Console() {
  std::lock_guard lock(model::ConsoleMutex());
  return model::ConsoleLocked();
}
model::ScreenBuffer& Screen() {
  return Console().Screen;
}

void PushRecord(const INPUT_RECORD& record) {
  std::lock_guard lock(model::ConsoleMutex());
  model::ConsoleLocked().Input.push_back(record);
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
  std::lock_guard lock(StateMutex);
  S().Scheduled.emplace(atMs, std::move(push));
}

uint64_t NowMs() {
  return S().NowMs;
}

void AdvanceMs(uint64_t ms) {
  std::lock_guard lock(StateMutex);
  Advance(ms);
}

void StepClock(int64_t deltaMs) {
  S().ClockOffsetMs += deltaMs;
}
void StopAt(uint64_t ms) {
  S().StopAtMs = ms;
}

const std::vector<std::string>& Calls() {
  return S().Calls;
}
void ClearCalls() {
  std::lock_guard lock(StateMutex);
  S().Calls.clear();
}

std::vector<std::string> CallsStarting(std::string_view prefix) {
  std::lock_guard lock(StateMutex);
  std::vector<std::string> found;
  for (const std::string& call : S().Calls)
    if (call.starts_with(prefix)) found.push_back(call);
  return found;
}

const std::vector<Tone>& Beeps() {
  return S().Beeps;
}
int MessageBeeps() {
  return S().MessageBeeps;
}
const std::vector<DWORD>& PriorityClasses() {
  return S().Priorities;
}
const std::vector<std::string>& Titles() {
  return S().Titles;
}
const std::vector<std::string>& PortLog() {
  return S().PortLog;
}
void SetPort61(uint8_t value) {
  std::lock_guard lock(StateMutex);
  const size_t logged = S().PortLog.size();
  const size_t called = S().Calls.size();
  PortWriteByte(0x61, value);
  S().PortLog.resize(logged);
  S().Calls.resize(called);
}
bool RaiseCtrlEvent(DWORD event) {
  return model::DispatchCtrlEvent(event);
}

std::string Row(int row) {
  return Screen().RowText(row - 1, true);
}
uint8_t AttrAt(int column, int row) {
  return Screen().At(column - 1, row - 1).Attr;
}

}  // namespace testend

// --- What the stand-in asks of this end ---
namespace standin::end {

using testend::S;
using testend::StateMutex;

bool Open() {
  if (!model::ConsoleIsOpen()) testend::Reset();
  return true;
}

System SystemInfo() {
  const testend::Options& options = S().Setup;
  const bool nt = options.Platform == VER_PLATFORM_WIN32_NT;
  return System{options.Platform,
                nt ? 5u : 4u,
                nt ? 1u : 10u,
                2600,
                static_cast<UINT>(std::max(options.KeyboardCodePage, 0)),
                options.KeyboardCodePage >= 0,
                options.PowerFunctions};
}

void ChangedLocked() {}
void TitleChangedLocked() {}
void Show() {}
void ShowWhenDue() {}

void DeliverInput() {
  std::lock_guard lock(StateMutex);
  testend::DeliverDue();
}

DWORD WaitForInput(DWORD milliseconds) {
  std::lock_guard lock(StateMutex);
  testend::State& s = S();
  testend::DeliverDue();
  if (!testend::InputEmpty()) return WAIT_OBJECT_0;
  if (!s.Scheduled.empty()) {
    const uint64_t next = s.Scheduled.begin()->first;
    if (milliseconds == INFINITE || next <= s.NowMs + milliseconds) {
      testend::Advance(next - s.NowMs);
      return testend::InputEmpty() ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }
  }
  // Nothing will ever arrive: the program would wait for ever.
  if (milliseconds == INFINITE) throw testend::InputExhausted{};
  testend::Advance(milliseconds);
  return WAIT_TIMEOUT;
}

void Sleep(DWORD milliseconds) {
  std::lock_guard lock(StateMutex);
  testend::Advance(milliseconds);
}

void LocalTime(SYSTEMTIME* time) {
  std::lock_guard lock(StateMutex);
  const testend::State& s = S();
  constexpr int64_t DayMs = 86400000;
  const int64_t start = ((s.Setup.Hour * 60LL + s.Setup.Minute) * 60LL + s.Setup.Second) * 1000LL;
  int64_t now = start + static_cast<int64_t>(s.NowMs) + s.ClockOffsetMs;
  // Days from 1 January 2026, so that a test can see the date roll over.
  const int64_t day = now >= 0 ? now / DayMs : (now - DayMs + 1) / DayMs;
  now -= day * DayMs;
  *time = SYSTEMTIME{};
  time->wYear = 2026;
  time->wMonth = 1;
  time->wDay = static_cast<WORD>(1 + ((day % 28) + 28) % 28);
  time->wDayOfWeek = static_cast<WORD>(((day + 4) % 7 + 7) % 7);
  time->wHour = static_cast<WORD>(now / 3600000);
  time->wMinute = static_cast<WORD>(now / 60000 % 60);
  time->wSecond = static_cast<WORD>(now / 1000 % 60);
  time->wMilliseconds = static_cast<WORD>(now % 1000);
}

int UtcOffsetMinutes() {
  return S().Setup.UtcOffsetMinutes;
}

void StayAwake(std::string_view why) {
  std::lock_guard lock(StateMutex);
  std::string line = "StayAwake ";
  line.append(why);
  S().Calls.push_back(std::move(line));
}

void AllowSleep() {
  std::lock_guard lock(StateMutex);
  S().Calls.emplace_back("AllowSleep");
}

void Tone(DWORD frequency, DWORD milliseconds) {
  std::lock_guard lock(StateMutex);
  S().Beeps.push_back(testend::Tone{frequency, milliseconds, S().NowMs});
  testend::Advance(milliseconds);
}

void Bell() {
  std::lock_guard lock(StateMutex);
  ++S().MessageBeeps;
}

bool SetPriority(DWORD priorityClass) {
  std::lock_guard lock(StateMutex);
  S().Priorities.push_back(priorityClass);
  return true;
}

bool ThreadsAllowed() {
  return S().Setup.Threads;
}

void Exit(UINT code) {
  throw testend::ProcessExit{code};
}

void Note(const Call& call) {
  std::lock_guard lock(StateMutex);
  testend::State& s = S();
  const std::string_view name = call.Name;
  const int* v = call.Values;
  if (name == "in" || name == "out") {
    s.PortLog.push_back(name == "in" ? testend::Format("in %X", v[0])
                                     : testend::Format("out %X %02X", v[0], v[1]));
    return;
  }
  std::string line(name);
  if (name == "SetConsoleTitleA") {
    s.Titles.emplace_back(call.Text);
    // Appended piece by piece: GCC 12 takes a concatenated temporary here
    // for an overlapping copy (-Wrestrict) in optimised builds.
    line += ' ';
    line += call.Text;
  } else if (name == "ScrollConsoleScreenBufferA") {
    line += testend::Format(" %d,%d,%d,%d to %d,%d", v[0], v[1], v[2], v[3], v[4], v[5]);
  } else if (name == "SetPriorityClass") {
    line += testend::Format(" %#x", static_cast<unsigned>(v[0]));
  } else if (name == "CreateThread") {
    line += testend::Format(" stack %d", v[0]);
  } else if (call.Count > 0) {
    line += " ";
    for (int i = 0; i < call.Count; ++i) {
      if (i > 0) line += ',';
      line += std::to_string(v[i]);
    }
  }
  s.Calls.push_back(std::move(line));
}

}  // namespace standin::end
