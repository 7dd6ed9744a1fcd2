// The stand-in's kernel objects (standin/model/kernel_objects.cpp) through the
// Win32 functions that reach them: which handles SetEvent takes, how the two
// kinds of event let waiters through, wakes given at once or at the end of
// the signaller's pass, timed waits, and waits on threads.
#include <gtest/gtest.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "standin/testend/test_end.h"
#include "win32/win32.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Long enough for a woken waiter to run on a loaded machine; a correct wait
// never comes near it.
constexpr auto WakeBound = std::chrono::seconds(10);

std::chrono::nanoseconds ThreadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// A thread that waits on `event` without a time limit and reports what the
// wait returned and the CPU time it spent in it.  Detached, so that a wait
// that is never woken fails the test instead of hanging it.
struct Waiter {
  std::atomic<bool> Asleep{false};
  std::promise<DWORD> Result;
  std::chrono::nanoseconds Cpu{};
};

std::shared_ptr<Waiter> StartWaiter(HANDLE event) {
  auto waiter = std::make_shared<Waiter>();
  std::thread([waiter, event] {
    const auto cpu = ThreadCpuTime();
    waiter->Asleep = true;
    const DWORD result = WaitForSingleObject(event, INFINITE);
    waiter->Cpu = ThreadCpuTime() - cpu;
    waiter->Result.set_value(result);
  }).detach();
  // Give it time to fall asleep, so that the signal has a sleeper to wake.
  while (!waiter->Asleep) std::this_thread::yield();
  std::this_thread::sleep_for(milliseconds(50));
  return waiter;
}

// Windows refuses what is not an event: no handle, the process, the console,
// a thread, an address that was never a handle.  An event takes every
// signal, also one it already holds.
TEST(KernelObjectsTest, SetEventTakesEventsOnly) {
  testend::Reset({.Threads = true});
  std::promise<void> release;
  auto released = release.get_future().share();
  const HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        static_cast<std::shared_future<void>*>(parameter)->wait_for(WakeBound);
        return 0;
      },
      &released, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  // Zeroed memory reads as an event's fields, were it taken for one.
  alignas(64) std::array<uint64_t, 128> foreign{};
  struct Row {
    const char* Name;
    HANDLE Handle;
  };
  for (const Row& row : {Row{"none", nullptr}, Row{"the process", GetCurrentProcess()},
                         Row{"console input", GetStdHandle(STD_INPUT_HANDLE)},
                         Row{"console output", GetStdHandle(STD_OUTPUT_HANDLE)},
                         Row{"a thread", thread}, Row{"a foreign address", foreign.data()}})
    EXPECT_EQ(SetEvent(row.Handle), FALSE) << row.Name;
  EXPECT_EQ(foreign, (std::array<uint64_t, 128>{}));
  release.set_value();
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);

  const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(SetEvent(event), TRUE);  // nobody waiting
  EXPECT_EQ(SetEvent(event), TRUE);  // already signalled
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

// An auto-reset event lets one wait through per signal; a manual-reset one
// stays signalled for every wait.
TEST(KernelObjectsTest, AutoResetLetsOneWaitThroughManualResetAll) {
  testend::Reset();
  for (const BOOL manual : {FALSE, TRUE}) {
    const HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
    ASSERT_EQ(SetEvent(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << manual;
    EXPECT_EQ(WaitForSingleObject(event, 0), manual != FALSE ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
        << manual;
  }
}

// A thread that does not work in passes wakes a sleeper when it signals; the
// sleeper sleeps rather than spins while it waits.
TEST(KernelObjectsTest, ASignalWakesTheSleeper) {
  testend::Reset();
  for (const BOOL manual : {FALSE, TRUE}) {
    const HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
    const auto waiter = StartWaiter(event);
    const auto asleep = steady_clock::now();
    std::this_thread::sleep_for(milliseconds(150));
    BOOL signalled = FALSE;
    std::thread([&] { signalled = SetEvent(event); }).join();
    EXPECT_EQ(signalled, TRUE);
    auto result = waiter->Result.get_future();
    ASSERT_EQ(result.wait_for(WakeBound), std::future_status::ready) << manual;
    EXPECT_EQ(result.get(), WAIT_OBJECT_0);
    EXPECT_LT(waiter->Cpu, (steady_clock::now() - asleep) / 10) << manual;
  }
}

// Once a thread works in passes (it has slept), a sleeper on an event it
// signals is woken when the pass ends, not before: as on one CPU, where the
// signaller runs on until it blocks.  A pass ends wherever the thread
// sleeps or waits.
TEST(KernelObjectsTest, AWakeWaitsForTheSignallersPassToEnd) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  struct Row {
    const char* Name;
    std::function<void()> EndPass;
  };
  const std::vector<Row> rows = {
      {"a sleep", [] { Sleep(0); }},
      {"a wait on another event",
       [] { WaitForSingleObject(CreateEventA(nullptr, FALSE, FALSE, nullptr), 0); }},
      {"a wait for input", [in] { WaitForSingleObject(in, 0); }},
      {"a read that waits for input",
       [in] {
         testend::PushAt(testend::NowMs() + 100, [] { testend::TypeBytes("k"); });
         INPUT_RECORD record{};
         DWORD read = 0;
         ReadConsoleInputA(in, &record, 1, &read);
       }},
      {"a tone", [] { Beep(2000, 10); }},
  };
  for (const Row& row : rows) {
    testend::Reset();
    const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const auto waiter = StartWaiter(event);
    auto result = waiter->Result.get_future();
    std::future_status early{};
    BOOL signalled = FALSE;
    std::thread([&] {
      Sleep(0);
      signalled = SetEvent(event);
      early = result.wait_for(milliseconds(100));
      row.EndPass();
    }).join();
    EXPECT_EQ(signalled, TRUE) << row.Name;
    EXPECT_EQ(early, std::future_status::timeout) << row.Name;
    ASSERT_EQ(result.wait_for(WakeBound), std::future_status::ready) << row.Name;
    EXPECT_EQ(result.get(), WAIT_OBJECT_0) << row.Name;
  }
}

// A timed wait on an event nobody signals ends when its time is up, not
// before.
TEST(KernelObjectsTest, ATimedWaitEndsWhenItsTimeIsUp) {
  testend::Reset();
  const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  auto result = std::async(std::launch::async, [event] {
    const auto begun = steady_clock::now();
    const DWORD status = WaitForSingleObject(event, 40);
    return std::make_pair(status, steady_clock::now() - begun);
  });
  ASSERT_EQ(result.wait_for(WakeBound), std::future_status::ready);
  const auto [status, waited] = result.get();
  EXPECT_EQ(status, WAIT_TIMEOUT);
  // The deadline is kept in whole milliseconds: up to one of them early.
  EXPECT_GE(waited, milliseconds(39));
}

// A thread that returns once it is released, some time after.
struct Released {
  std::promise<void> Release;
  std::atomic<bool> Returned{false};
};

DWORD WINAPI ReturnWhenReleased(LPVOID parameter) {
  auto& state = *static_cast<Released*>(parameter);
  state.Release.get_future().wait_for(WakeBound);
  std::this_thread::sleep_for(milliseconds(50));
  state.Returned = true;
  return 0;
}

// A thread's handle is signalled when its routine has returned: a timed wait
// before then times out, and a wait without a limit returns after it.  A
// reset of the test end waits for the threads that are ending.
TEST(KernelObjectsTest, AThreadIsSignalledWhenItsRoutineReturns) {
  testend::Reset({.Threads = true});
  Released waited;
  const HANDLE thread = CreateThread(nullptr, 0, ReturnWhenReleased, &waited, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  waited.Release.set_value();
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(waited.Returned);

  Released joined;
  ASSERT_NE(CreateThread(nullptr, 0, ReturnWhenReleased, &joined, 0, nullptr), nullptr);
  joined.Release.set_value();
  testend::Reset();
  EXPECT_TRUE(joined.Returned);
}

}  // namespace
