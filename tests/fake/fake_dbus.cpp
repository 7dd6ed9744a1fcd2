// A system bus with logind on it for the tests, built as libdbus-1.so.3: the
// program loads the library by that name at its first lock and finds this
// one already loaded.  It keeps what it was asked, counts the messages,
// errors and connections still held, can be missing, greet slowly or never,
// break while greeting, and leave Hello or Inhibit unanswered.
#include "tests/fake/fake_dbus.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <thread>

namespace {

std::mutex Lock;
fakedbus::Bus TheBus;
int Sigpipe = -1;
int Reads = 0;
char Connection = 0;  // the connection is this byte

struct Message {
  std::string Method;
  bool Reply = false;
};

}  // namespace

namespace fakedbus {

Bus Get() {
  std::lock_guard lock(Lock);
  return TheBus;
}

void Set(const Bus& bus) {
  std::lock_guard lock(Lock);
  TheBus = bus;
  Reads = 0;
}

int SigpipeChange() {
  std::lock_guard lock(Lock);
  return Sigpipe;
}

}  // namespace fakedbus

// The library's own names, as the program looks them up.
// NOLINTBEGIN(readability-identifier-naming)
extern "C" {

// libdbus's DBusError: the program's own storage, opaque here.
struct DBusError;
struct DBusConnection;
struct DBusMessage;

void dbus_error_init(DBusError* /*error*/) {
  std::lock_guard lock(Lock);
  ++TheBus.ErrorsLive;
}

void dbus_error_free(DBusError* /*error*/) {
  std::lock_guard lock(Lock);
  --TheBus.ErrorsLive;
}

void dbus_connection_set_change_sigpipe(uint32_t will) {
  std::lock_guard lock(Lock);
  Sigpipe = static_cast<int>(will);
}

DBusConnection* dbus_connection_open_private(const char* address, DBusError* /*error*/) {
  std::lock_guard lock(Lock);
  TheBus.Address = address;
  if (TheBus.Absent) return nullptr;
  ++TheBus.Opened;
  return reinterpret_cast<DBusConnection*>(&Connection);
}

uint32_t dbus_connection_get_is_authenticated(DBusConnection* /*connection*/) {
  std::lock_guard lock(Lock);
  return TheBus.GreetingReads >= 0 && Reads >= TheBus.GreetingReads ? 1 : 0;
}

// A greeting that never ends takes the whole time it is given.
uint32_t dbus_connection_read_write(DBusConnection* /*connection*/, int timeoutMs) {
  bool never = false;
  {
    std::lock_guard lock(Lock);
    TheBus.Timeouts.push_back(timeoutMs);
    if (TheBus.DropsInGreeting) return 0;
    ++Reads;
    never = TheBus.GreetingReads < 0;
  }
  if (never) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
  return 1;
}

void dbus_connection_set_exit_on_disconnect(DBusConnection* /*connection*/, uint32_t exit) {
  std::lock_guard lock(Lock);
  TheBus.ExitOnDisconnect = static_cast<int>(exit);
}

void dbus_connection_close(DBusConnection* /*connection*/) {
  std::lock_guard lock(Lock);
  ++TheBus.Closed;
}

void dbus_connection_unref(DBusConnection* /*connection*/) {
  std::lock_guard lock(Lock);
  ++TheBus.Unreferenced;
}

DBusMessage* dbus_message_new_method_call(const char* destination, const char* path,
                                          const char* interface, const char* method) {
  std::lock_guard lock(Lock);
  if (TheBus.MessagesUntilOutOfMemory == 0) return nullptr;
  if (TheBus.MessagesUntilOutOfMemory > 0) --TheBus.MessagesUntilOutOfMemory;
  ++TheBus.MessagesLive;
  TheBus.Calls.push_back(std::string(method) + " " + destination + " " + path + " " + interface);
  return reinterpret_cast<DBusMessage*>(new Message{method});
}

// Strings only, as the program appends, each added to the call's line; the
// list ends at DBUS_TYPE_INVALID (0), and any other type fails the call, as
// libdbus fails a type it does not know.
uint32_t dbus_message_append_args(DBusMessage* /*message*/, int firstType, ...) {
  std::lock_guard lock(Lock);
  va_list args;
  va_start(args, firstType);
  std::string appended;
  int type = firstType;
  while (type == 's') {
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above
    appended += std::string(" ") + *va_arg(args, const char**);
    type = va_arg(args, int);
  }
  va_end(args);
  if (type != 0) return 0;
  TheBus.Calls.back() += appended;
  return 1;
}

DBusMessage* dbus_connection_send_with_reply_and_block(DBusConnection* /*connection*/,
                                                       DBusMessage* call, int timeoutMs,
                                                       DBusError* /*error*/) {
  std::lock_guard lock(Lock);
  TheBus.Timeouts.push_back(timeoutMs);
  const std::string& method = reinterpret_cast<Message*>(call)->Method;
  if (method == "Hello" ? !TheBus.AnswersHello : !TheBus.Grants) return nullptr;
  ++TheBus.MessagesLive;
  return reinterpret_cast<DBusMessage*>(new Message{method, true});
}

// The one argument the program reads: Inhibit's descriptor, a new one each
// time, as libdbus gives.
uint32_t dbus_message_get_args(DBusMessage* /*message*/, DBusError* /*error*/, int firstType, ...) {
  std::lock_guard lock(Lock);
  if (firstType != 'h' || !TheBus.ReplyHasDescriptor) return 0;
  va_list args;
  va_start(args, firstType);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above
  int* const fd = va_arg(args, int*);
  const int end = va_arg(args, int);
  va_end(args);
  if (end != 0) return 0;
  *fd = open("/dev/null", O_RDONLY);
  TheBus.Descriptor = *fd;
  return 1;
}

void dbus_message_unref(DBusMessage* message) {
  std::lock_guard lock(Lock);
  --TheBus.MessagesLive;
  delete reinterpret_cast<Message*>(message);
}

}  // extern "C"
// NOLINTEND(readability-identifier-naming)
