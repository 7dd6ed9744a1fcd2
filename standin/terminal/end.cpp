// The terminal end: what the stand-in's Win32 functions ask of the system
// they run on, given by the terminal session, the sound, the priorities and
// the hold on the system's sleep.
#include "standin/end/end.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "standin/terminal/base/heap.h"
#include "standin/terminal/power/power.h"
#include "standin/terminal/priority/priority.h"
#include "standin/terminal/session/exit.h"
#include "standin/terminal/session/input.h"
#include "standin/terminal/session/session.h"
#include "standin/terminal/sound/tone.h"

namespace {

void ShutdownSound() {
  sound::EndForGood();
}

// The sound is stopped on every way out: the session's exit steps when the
// terminal was taken, atexit() for a process that never took it.  Set up
// before the first tone, never while one is sounding, so that no lock of the
// sound is held while the exit steps' is taken.
void PrepareSound() {
  static std::once_flag once;
  std::call_once(once, [] {
    session::SetSilencer(&sound::SilenceSpeaker);
    session::AtTerminalExit(ShutdownSound);
    std::atexit(ShutdownSound);
  });
}

}  // namespace

namespace standin::end {

bool Open() {
  // Every console call asks; once the terminal is taken the answer is kept.
  static std::atomic<bool> opened{false};
  if (opened.load(std::memory_order_acquire)) return true;
  base::UseOneHeap();  // before the session starts its threads
  if (!session::StartTerminal()) return false;
  PrepareSound();
  opened.store(true, std::memory_order_release);
  return true;
}

System SystemInfo() {
  // An NT console, whose keyboard delivers code page 866: the key decoder
  // maps what the terminal types onto it.
  return System{};
}

void ChangedLocked() {
  session::ChangedLocked();
}

void TitleChangedLocked() {
  session::TitleChangedLocked();
}

void Show() {
  session::Present();
}

void ShowWhenDue() {
  session::PresentWhenDue();
}

void DeliverInput() {
  // The key reader thread fills the queue as bytes arrive.
}

DWORD WaitForInput(DWORD milliseconds) {
  session::Present();
  return session::WaitForInput(milliseconds);
}

void Sleep(DWORD milliseconds) {
  // The end of a pass: the screen it drew goes out now, in one write.
  session::Present();
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void LocalTime(SYSTEMTIME* time) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  time->wYear = static_cast<WORD>(local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  time->wDay = static_cast<WORD>(local.tm_mday);
  time->wHour = static_cast<WORD>(local.tm_hour);
  time->wMinute = static_cast<WORD>(local.tm_min);
  // A leap second (tm_sec 60) is shown as the 59th, as Windows does.
  time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

int UtcOffsetMinutes() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return static_cast<int>(local.tm_gmtoff / 60);
}

// The lock goes with the process on every way out: its descriptor closes
// when the process ends, however it ends (a crash and kill -9 included), and
// no child keeps a copy (power/power.cpp).
void StayAwake(std::string_view why) {
  power::Hold(why);
}

void AllowSleep() {
  power::Release();
}

void Tone(DWORD frequency, DWORD milliseconds) {
  const auto call = sound::Clock::now();
  session::Present();
  PrepareSound();
  if (sound::Play(frequency, milliseconds, call)) return;
  // A terminal bell has no pitch and no length of its own: one ring per
  // tone, and the caller waits out the duration as with a real tone.
  session::RingBell();
  std::this_thread::sleep_until(call + std::chrono::milliseconds(milliseconds));
}

void Bell() {
  session::RingBell();
}

bool SetPriority(DWORD priorityClass) {
  return priority::ApplyPriorityClass(priorityClass);
}

bool ThreadsAllowed() {
  return true;
}

void Exit(UINT code) {
  session::EndProcess(code);
}

void Note(const Call& /*call*/) {}

}  // namespace standin::end
