#include "standin/testend/test_end.h"

#include <algorithm>
#include <atomic>
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
  std::vector<std::string> Titles;
};

// The cursor thread, when a test lets one run, reaches the log too; a
// scripted push runs while the clock advances, under this lock.  Taken
// before the console's lock, never after it.
std::recursive_mutex StateMutex;
State& S() {
  static State state;
  return state;
}

// What the end was told.  Told under the console's lock, so not kept in the
// state, whose lock comes first.
std::atomic<int> ToldChanges{0};
std::atomic<int> ToldTitles{0};
std::atomic<int> ToldShows{0};

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

}  // namespace

void Reset(const Options& options) {
  std::lock_guard lock(StateMutex);
  model::JoinThreads();
  model::ClearCtrlHandlers();
  PortWriteByte(0x61, 0);
  State& s = S();
  s = State{};
  s.Setup = options;
  ToldChanges = ToldTitles = ToldShows = 0;
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
}

model::Console& Console() {
  std::lock_guard lock(model::ConsoleMutex());
  return model::ConsoleLocked();
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
  for (const char c : bytes) PushKey(0, 0, static_cast<uint8_t>(c));
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

std::vector<std::string> CallsStarting(std::initializer_list<std::string_view> prefixes) {
  std::lock_guard lock(StateMutex);
  std::vector<std::string> found;
  for (const std::string& call : S().Calls)
    if (std::ranges::any_of(prefixes, [&call](std::string_view p) { return call.starts_with(p); }))
      found.push_back(call);
  return found;
}

const std::vector<Tone>& Beeps() {
  return S().Beeps;
}
int MessageBeeps() {
  return S().MessageBeeps;
}
const std::vector<std::string>& Titles() {
  return S().Titles;
}

Told ToldEnd() {
  return Told{ToldChanges, ToldTitles, ToldShows};
}

std::string Row(int row) {
  return Console().Screen.RowText(row - 1);
}
uint8_t AttrAt(int column, int row) {
  return Console().Screen.At(column - 1, row - 1).Attr;
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

void ChangedLocked() {
  ++testend::ToldChanges;
}
void TitleChangedLocked() {
  ++testend::ToldTitles;
}
void Show() {
  ++testend::ToldShows;
}
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

// Always 1 January 2026, a Thursday: only the time of day moves.
void LocalTime(SYSTEMTIME* time) {
  std::lock_guard lock(StateMutex);
  const testend::State& s = S();
  constexpr int64_t DayMs = 86400000;
  const int64_t start = ((s.Setup.Hour * 60LL + s.Setup.Minute) * 60LL + s.Setup.Second) * 1000LL;
  const int64_t now =
      ((start + static_cast<int64_t>(s.NowMs) + s.ClockOffsetMs) % DayMs + DayMs) % DayMs;
  const auto part = [now](int64_t unit, int64_t of) { return static_cast<WORD>(now / unit % of); };
  *time =
      SYSTEMTIME{2026, 1, 4, 1, part(3600000, 24), part(60000, 60), part(1000, 60), part(1, 1000)};
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
  S().Calls.push_back("Priority " + std::to_string(priorityClass));
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
  std::string line(call.Name);
  for (int i = 0; i < call.Count; ++i) {
    line += i == 0 ? ' ' : ',';
    line += std::to_string(call.Values[i]);
  }
  // Appended piece by piece: GCC 12 takes a concatenated temporary here for
  // an overlapping copy (-Wrestrict) in optimised builds.
  if (!call.Text.empty()) line += ' ';
  line += call.Text;
  S().Calls.push_back(std::move(line));
  if (std::string_view(call.Name) == "SetConsoleTitleA") S().Titles.emplace_back(call.Text);
}

}  // namespace standin::end
