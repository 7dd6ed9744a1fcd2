// The test system bus's state (see fake_dbus.cpp).
#pragma once

#include <string>
#include <vector>

namespace fakedbus {

struct Bus {
  // How the bus behaves.
  bool Absent = false;           // the connection fails, as with no bus running
  int GreetingReads = 0;         // reads before the greeting is done; -1: never
  bool DropsInGreeting = false;  // the connection breaks while greeting
  bool AnswersHello = true;
  bool Grants = true;  // logind answers Inhibit
  bool ReplyHasDescriptor = true;
  int MessagesUntilOutOfMemory = -1;  // messages made before one cannot be; -1: never
  // What the program did.
  std::string Address{};
  std::vector<std::string> Calls{};  // "method args..." of each call made
  std::vector<int> Timeouts{};       // the milliseconds each read and call was given
  int ExitOnDisconnect = -1;
  int Opened = 0;
  int Closed = 0;
  int Unreferenced = 0;
  int MessagesLive = 0;
  int ErrorsLive = 0;
  int Descriptor = -1;  // the lock's descriptor handed out (the program's to close)
};

Bus Get();
void Set(const Bus& bus);
// dbus_connection_set_change_sigpipe's argument, -1 before any call; the
// library is loaded once per process.
int SigpipeChange();

}  // namespace fakedbus
