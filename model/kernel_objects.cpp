#include "model/kernel_objects.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_set>

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
};

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

Object* AsObject(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  if (handle == &InputObject || handle == &OutputObject) return static_cast<Object*>(handle);
  std::lock_guard lock(RegistryMutex);
  return Known().contains(handle) ? static_cast<Object*>(handle) : nullptr;
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

ObjectKind KindOf(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return ObjectKind::Process;
  const Object* object = AsObject(handle);
  return object != nullptr ? object->Kind : ObjectKind::Unknown;
}

HANDLE NewEvent(bool manualReset, bool initiallySignalled) {
  std::lock_guard lock(RegistryMutex);
  Object& event = NewObject(ObjectKind::Event);
  event.ManualReset = manualReset;
  event.Signalled = initiallySignalled;
  return &event;
}

bool SignalEvent(HANDLE handle) {
  Object* event = AsObject(handle);
  if (event == nullptr || event->Kind != ObjectKind::Event) return false;
  {
    std::lock_guard lock(event->Mutex);
    event->Signalled = true;
  }
  event->Changed.notify_all();
  return true;
}

DWORD WaitObject(HANDLE handle, DWORD milliseconds) {
  Object* object = AsObject(handle);
  if (object == nullptr ||
      (object->Kind != ObjectKind::Event && object->Kind != ObjectKind::Thread))
    return WAIT_FAILED;
  std::unique_lock lock(object->Mutex);
  const auto ready = [object] { return object->Signalled; };
  if (milliseconds == INFINITE) {
    object->Changed.wait(lock, ready);
  } else if (!object->Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return WAIT_TIMEOUT;
  }
  // An auto-reset event lets exactly one waiter through per signal.
  if (object->Kind == ObjectKind::Event && !object->ManualReset) object->Signalled = false;
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

// The Win32 event functions are the same in every backend built on the model.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR /*lpName*/) {
  return model::NewEvent(bManualReset != FALSE, bInitialState != FALSE);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  return model::SignalEvent(hEvent) ? TRUE : FALSE;
}
