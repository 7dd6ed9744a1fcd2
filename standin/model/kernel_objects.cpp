#include "standin/model/kernel_objects.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "standin/model/futex.h"

namespace model {
namespace {

struct Object {
  explicit Object(ObjectKind kind) : Kind(kind) {}
  const ObjectKind Kind;
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Signalled = false;
  bool ManualReset = false;
  std::thread Thread;
  // Events: 1 while signalled, and how many threads sleep on it.  An event
  // costs its waiter one system call per wake and its signaller none while
  // nobody waits.
  std::atomic<uint32_t> State{0};
  std::atomic<int> Sleepers{0};
};

// Events signalled by this thread whose sleepers are woken when it next
// ends a pass (see EndPass).
thread_local bool Deferring = false;
thread_local std::vector<Object*> Deferred;

void Wake(Object& event) {
  WakeWord(event.State, event.ManualReset ? INT32_MAX : 1);
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

DWORD WaitEvent(Object& event, DWORD milliseconds) {
  const uint64_t deadline = milliseconds == INFINITE ? 0 : NowMs() + milliseconds;
  for (;;) {
    // An auto-reset event lets exactly one waiter through per signal.
    const bool through = event.ManualReset ? event.State.load() == 1 : event.State.exchange(0) == 1;
    if (through) return WAIT_OBJECT_0;
    int wait = -1;
    if (milliseconds != INFINITE) {
      const uint64_t now = NowMs();
      if (now >= deadline) return WAIT_TIMEOUT;
      wait = static_cast<int>(deadline - now);
    }
    ++event.Sleepers;
    WaitWord(event.State, 0, wait);
    --event.Sleepers;
  }
}

// Objects live until the process ends: handles are never closed by the
// program, and a stale handle must not point at freed memory.  The list is
// never destroyed either: a thread still running at exit() (the cursor
// thread) would otherwise be a joinable std::thread destroyed, which
// terminates the process instead of letting it end.
std::mutex RegistryMutex;
std::list<Object>& Registry() {
  static auto* objects = new std::list<Object>;
  return *objects;
}
// The same objects by address, so that telling a handle from a stale or
// foreign pointer does not walk every object ever made.
std::unordered_set<const void*>& Known() {
  static auto* known = new std::unordered_set<const void*>;
  return *known;
}

Object& NewObject(ObjectKind kind) {
  Object& object = Registry().emplace_back(kind);
  Known().insert(&object);
  return object;
}

Object InputObject(ObjectKind::ConsoleInput);
Object OutputObject(ObjectKind::ConsoleOutput);

// Handles this thread has already found in the registry.  An object is never
// freed, so a handle once known stays good: a thread that signals or waits
// on the same event again and again (the cursor thread's, once per redraw)
// takes no lock and hashes nothing after the first time.
constexpr size_t RememberedHandles = 4;
thread_local std::array<const void*, RememberedHandles> Remembered{};
thread_local size_t NextRemembered = 0;

Object* AsObject(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  for (const void* known : Remembered)
    if (known == handle) return static_cast<Object*>(handle);
  {
    std::lock_guard lock(RegistryMutex);
    if (!Known().contains(handle)) return nullptr;
  }
  Remembered[NextRemembered] = handle;
  NextRemembered = (NextRemembered + 1) % RememberedHandles;
  return static_cast<Object*>(handle);
}

std::atomic<DWORD> NextThreadId{1000};

}  // namespace

HANDLE ConsoleInputHandle() {
  return &InputObject;
}
HANDLE ConsoleOutputHandle() {
  return &OutputObject;
}
HANDLE CurrentProcessHandle() {
  return INVALID_HANDLE_VALUE;
}

HANDLE NewEvent(bool manualReset, bool initiallySignalled) {
  std::lock_guard lock(RegistryMutex);
  Object& event = NewObject(ObjectKind::Event);
  event.ManualReset = manualReset;
  event.State = initiallySignalled ? 1 : 0;
  return &event;
}

bool SignalEvent(HANDLE handle) {
  Object* event = AsObject(handle);
  if (event == nullptr || event->Kind != ObjectKind::Event) return false;
  if (event->State.exchange(1) == 1) return true;  // already signalled: one wake for several
  if (event->Sleepers.load() == 0) return true;
  if (Deferring) {
    Deferred.push_back(event);
  } else {
    Wake(*event);
  }
  return true;
}

namespace {
void ReleaseWakes() {
  if (Deferred.empty()) return;
  for (Object* event : Deferred) Wake(*event);
  Deferred.clear();
}
}  // namespace

void EndPass() {
  Deferring = true;
  ReleaseWakes();
}

DWORD WaitObject(HANDLE handle, DWORD milliseconds) {
  Object* object = AsObject(handle);
  if (object == nullptr ||
      (object->Kind != ObjectKind::Event && object->Kind != ObjectKind::Thread))
    return WAIT_FAILED;
  ReleaseWakes();
  if (object->Kind == ObjectKind::Event) return WaitEvent(*object, milliseconds);
  std::unique_lock lock(object->Mutex);
  const auto ready = [object] { return object->Signalled; };
  if (milliseconds == INFINITE) {
    object->Changed.wait(lock, ready);
  } else if (!object->Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return WAIT_TIMEOUT;
  }
  return WAIT_OBJECT_0;
}

HANDLE StartThread(LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD* threadId) {
  Object* thread = nullptr;
  {
    std::lock_guard lock(RegistryMutex);
    thread = &NewObject(ObjectKind::Thread);
  }
  const DWORD id = NextThreadId++;
  if (threadId != nullptr) *threadId = id;
  thread->Thread = std::thread([thread, routine, parameter] {
    routine(parameter);
    {
      std::lock_guard lock(thread->Mutex);
      thread->Signalled = true;
    }
    thread->Changed.notify_all();
  });
  return thread;
}

void JoinThreads() {
  // Join outside the registry lock: the threads look handles up while ending.
  std::list<Object*> threads;
  {
    std::lock_guard lock(RegistryMutex);
    for (Object& object : Registry())
      if (object.Kind == ObjectKind::Thread && object.Thread.joinable()) threads.push_back(&object);
  }
  for (Object* thread : threads) thread->Thread.join();
}

}  // namespace model
