#include "standin/terminal/power/logind.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "standin/terminal/base/symbols.h"

namespace power {
namespace {

// The part of libdbus-1's interface used here, declared from its documented
// ABI (soname 3, stable since 2006): no headers are needed to build, and the
// library is found, or not, when the program runs.
struct DBusConnection;
struct DBusMessage;
using DBusBool = uint32_t;
struct DBusError {
  const char* Name;
  const char* Message;
  unsigned int Dummy1 : 1;
  unsigned int Dummy2 : 1;
  unsigned int Dummy3 : 1;
  unsigned int Dummy4 : 1;
  unsigned int Dummy5 : 1;
  void* Padding1;
};
constexpr int TypeInvalid = 0;   // DBUS_TYPE_INVALID
constexpr int TypeString = 's';  // DBUS_TYPE_STRING
constexpr int TypeUnixFd = 'h';  // DBUS_TYPE_UNIX_FD
// Where libdbus looks for the system bus when DBUS_SYSTEM_BUS_ADDRESS is not
// set.
constexpr const char* StandardSystemBus = "unix:path=/var/run/dbus/system_bus_socket";

struct Dbus {
  void (*ErrorInit)(DBusError*) = nullptr;
  void (*ErrorFree)(DBusError*) = nullptr;
  void (*SetChangeSigpipe)(DBusBool) = nullptr;
  DBusConnection* (*OpenPrivate)(const char*, DBusError*) = nullptr;
  DBusBool (*IsAuthenticated)(DBusConnection*) = nullptr;
  DBusBool (*ReadWrite)(DBusConnection*, int) = nullptr;
  void (*SetExitOnDisconnect)(DBusConnection*, DBusBool) = nullptr;
  void (*ConnectionClose)(DBusConnection*) = nullptr;
  void (*ConnectionUnref)(DBusConnection*) = nullptr;
  DBusMessage* (*NewMethodCall)(const char*, const char*, const char*, const char*) = nullptr;
  DBusBool (*AppendArgs)(DBusMessage*, int, ...) = nullptr;
  DBusMessage* (*SendWithReplyAndBlock)(DBusConnection*, DBusMessage*, int, DBusError*) = nullptr;
  DBusBool (*GetArgs)(DBusMessage*, DBusError*, int, ...) = nullptr;
  void (*MessageUnref)(DBusMessage*) = nullptr;
};
Dbus Lib;

using base::Bind;

// Once, on the worker's thread; false when the library or a function of it
// is missing.
bool Load() {
  static const bool Loaded = [] {
    void* const library = dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    Dbus lib;
    const bool all =
        Bind(library, "dbus_error_init", lib.ErrorInit) &&
        Bind(library, "dbus_error_free", lib.ErrorFree) &&
        Bind(library, "dbus_connection_set_change_sigpipe", lib.SetChangeSigpipe) &&
        Bind(library, "dbus_connection_open_private", lib.OpenPrivate) &&
        Bind(library, "dbus_connection_get_is_authenticated", lib.IsAuthenticated) &&
        Bind(library, "dbus_connection_read_write", lib.ReadWrite) &&
        Bind(library, "dbus_connection_set_exit_on_disconnect", lib.SetExitOnDisconnect) &&
        Bind(library, "dbus_connection_close", lib.ConnectionClose) &&
        Bind(library, "dbus_connection_unref", lib.ConnectionUnref) &&
        Bind(library, "dbus_message_new_method_call", lib.NewMethodCall) &&
        Bind(library, "dbus_message_append_args", lib.AppendArgs) &&
        Bind(library, "dbus_connection_send_with_reply_and_block", lib.SendWithReplyAndBlock) &&
        Bind(library, "dbus_message_get_args", lib.GetArgs) &&
        Bind(library, "dbus_message_unref", lib.MessageUnref);
    if (!all) {
      dlclose(library);
      return false;
    }
    // The program has its own signal set-up; a broken connection shows in
    // the results anyway (libdbus writes with MSG_NOSIGNAL).
    lib.SetChangeSigpipe(0);
    Lib = lib;
    return true;
  }();
  return Loaded;
}

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// A call and its reply, or null: an error, or no reply by the deadline.
DBusMessage* Call(DBusConnection* bus, DBusMessage* call, Clock::time_point deadline) {
  const int left = MillisecondsLeft(deadline);
  if (call == nullptr || left == 0) return nullptr;
  DBusError error;
  Lib.ErrorInit(&error);
  DBusMessage* const reply = Lib.SendWithReplyAndBlock(bus, call, left, &error);
  Lib.ErrorFree(&error);
  return reply;
}

// The bus's greeting: the authentication, then Hello, which a bus takes
// before any other call.  libdbus's own blocking calls would wait for ever
// for an authentication that never ends (a bus that accepts and then stops),
// so it is driven here, by the deadline.
bool Greet(DBusConnection* bus, Clock::time_point deadline) {
  while (Lib.IsAuthenticated(bus) == 0) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || Lib.ReadWrite(bus, left) == 0) return false;
  }
  DBusMessage* const hello = Lib.NewMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "Hello");
  DBusMessage* const reply = Call(bus, hello, deadline);
  if (hello != nullptr) Lib.MessageUnref(hello);
  if (reply == nullptr) return false;
  Lib.MessageUnref(reply);
  return true;
}

// The lock's descriptor from a reply, or -1.
int LockFrom(DBusMessage* reply) {
  DBusError error;
  Lib.ErrorInit(&error);
  int fd = -1;
  // The descriptor is a copy of the message's own, ours to close.
  if (Lib.GetArgs(reply, &error, TypeUnixFd, &fd, TypeInvalid) == 0) fd = -1;
  Lib.ErrorFree(&error);
  if (fd >= 0) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  return fd;
}

int Inhibit(DBusConnection* bus, const char* who, const char* why, Clock::time_point deadline) {
  DBusMessage* const call = Lib.NewMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "Inhibit");
  if (call == nullptr) return -1;
  const char* what = "sleep:idle";
  const char* mode = "block";
  int fd = -1;
  if (Lib.AppendArgs(call, TypeString, &what, TypeString, &who, TypeString, &why, TypeString, &mode,
                     TypeInvalid) != 0) {
    DBusMessage* const reply = Call(bus, call, deadline);
    if (reply != nullptr) {
      fd = LockFrom(reply);
      Lib.MessageUnref(reply);
    }
  }
  Lib.MessageUnref(call);
  return fd;
}

}  // namespace

int InhibitSleep(const char* who, const char* why, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!Load()) return -1;
  // libdbus's own variable, read as libdbus would; nobody sets it meanwhile.
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (address == nullptr || *address == 0) address = StandardSystemBus;
  DBusError error;
  Lib.ErrorInit(&error);
  // A connection of our own, closed after the one call: the lock lives on in
  // its descriptor, not in the connection.
  DBusConnection* const bus = Lib.OpenPrivate(address, &error);
  Lib.ErrorFree(&error);
  if (bus == nullptr) return -1;
  Lib.SetExitOnDisconnect(bus, 0);
  const int fd = Greet(bus, deadline) ? Inhibit(bus, who, why, deadline) : -1;
  Lib.ConnectionClose(bus);
  Lib.ConnectionUnref(bus);
  return fd;
}

}  // namespace power
