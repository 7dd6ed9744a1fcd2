// The computer kept awake (standin/terminal/power/) on the test bus: the
// lock asked of logind and handed back close-on-exec, every way the bus can
// fail it with nothing left held, and the worker that holds one lock for the
// alarm the program asks for.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "standin/terminal/power/logind.h"
#include "standin/terminal/power/power.h"
#include "tests/fake/fake_dbus.h"

namespace {

constexpr const char* StandardBus = "unix:path=/var/run/dbus/system_bus_socket";
constexpr const char* Hello =
    "Hello org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus";
constexpr const char* Inhibit =
    "Inhibit org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.login1.Manager "
    "sleep:idle Rousel ";

std::vector<std::string> Asked(const std::vector<std::string>& whys) {
  std::vector<std::string> calls;
  for (const std::string& why : whys) {
    calls.emplace_back(Hello);
    calls.push_back(Inhibit + why + " block");
  }
  return calls;
}

// The worker answers in its own time; a correct one within milliseconds.
template <class Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

// Each way a request ends: the lock's descriptor, close-on-exec, only when
// logind answers with one within the time given; every message, error and
// connection the request made is given back either way, and no read or
// call is given more time than the request has left.
TEST(LogindTest, ALockComesOnlyFromLogindsAnswerAndNothingIsLeftHeld) {
  struct Row {
    const char* Name;
    fakedbus::Bus Bus;
    const char* Address;  // DBUS_SYSTEM_BUS_ADDRESS; null: unset
    int TimeoutMs;
    bool Locked;
    const char* Opened;
    std::vector<std::string> Calls;
  };
  const std::vector<Row> rows = {
      {"granted", {}, nullptr, 1000, true, StandardBus, Asked({"why"})},
      {"the bus the environment names",
       {},
       "unix:path=/run/test",
       1000,
       true,
       "unix:path=/run/test",
       Asked({"why"})},
      {"an empty address is the standard one", {}, "", 1000, true, StandardBus, Asked({"why"})},
      {"greeted after three reads",
       {.GreetingReads = 3},
       nullptr,
       1000,
       true,
       StandardBus,
       Asked({"why"})},
      {"no bus", {.Absent = true}, nullptr, 1000, false, StandardBus, {}},
      {"never greeted", {.GreetingReads = -1}, nullptr, 150, false, StandardBus, {}},
      {"broken while greeting",
       {.GreetingReads = 1, .DropsInGreeting = true},
       nullptr,
       1000,
       false,
       StandardBus,
       {}},
      {"no time left for Hello", {}, nullptr, 0, false, StandardBus, {Hello}},
      {"Hello unanswered", {.AnswersHello = false}, nullptr, 1000, false, StandardBus, {Hello}},
      {"no memory for Hello",
       {.MessagesUntilOutOfMemory = 0},
       nullptr,
       1000,
       false,
       StandardBus,
       {}},
      {"no memory for Inhibit",
       {.MessagesUntilOutOfMemory = 1},
       nullptr,
       1000,
       false,
       StandardBus,
       {Hello}},
      {"Inhibit refused", {.Grants = false}, nullptr, 1000, false, StandardBus, Asked({"why"})},
      {"an answer without a descriptor",
       {.ReplyHasDescriptor = false},
       nullptr,
       1000,
       false,
       StandardBus,
       Asked({"why"})},
  };
  for (const Row& row : rows) {
    fakedbus::Set(row.Bus);
    if (row.Address != nullptr) {
      setenv("DBUS_SYSTEM_BUS_ADDRESS", row.Address, 1);
    } else {
      unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    const int fd = power::InhibitSleep("Rousel", "why", row.TimeoutMs);
    const fakedbus::Bus bus = fakedbus::Get();
    // No lock is -1, as promised: 0 would be the terminal.
    EXPECT_EQ(fd >= 0 ? "locked" : std::to_string(fd), row.Locked ? "locked" : "-1") << row.Name;
    if (fd >= 0) {
      EXPECT_EQ(fd, bus.Descriptor) << row.Name;
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << row.Name;
      close(fd);
    }
    EXPECT_EQ(bus.Address, row.Opened) << row.Name;
    EXPECT_EQ(bus.Calls, row.Calls) << row.Name;
    EXPECT_EQ(bus.Opened, row.Bus.Absent ? 0 : 1) << row.Name;
    EXPECT_EQ(bus.Closed, bus.Opened) << row.Name;
    EXPECT_EQ(bus.Unreferenced, bus.Opened) << row.Name;
    EXPECT_EQ(bus.MessagesLive, 0) << row.Name;
    EXPECT_EQ(bus.ErrorsLive, 0) << row.Name;
    for (const int given : bus.Timeouts) {
      EXPECT_GT(given, 0) << row.Name;
      EXPECT_LE(given, row.TimeoutMs) << row.Name;
    }
    // The program keeps its own signal set-up, and a lost bus never ends it.
    EXPECT_EQ(fakedbus::SigpipeChange(), 0) << row.Name;
    EXPECT_EQ(bus.ExitOnDisconnect, row.Bus.Absent ? -1 : 0) << row.Name;
  }
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

int Threads() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(tasks);
  }
  return count;
}

// The worker, one thread for the process, holds one lock for the alarm asked
// for: the same alarm again asks nothing more; another takes a new lock
// before the old one goes; a release lets go and asks nothing; text the bus
// cannot carry arrives as '?'.  Neither the terminal (descriptor 0) nor a
// forked child ever holds what the worker let go or holds.
TEST(LogindTest, TheWorkerHoldsOneLockForTheAlarmAsked) {
  if (!IsOpen(0)) {
    ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
  }
  fakedbus::Set({});
  power::Hold("Alarm at 07:30");
  // The worker has started; a sanitizer's runtime may start a thread of its
  // own with the first, so the count is taken after it.
  const int threads = Threads();
  ASSERT_TRUE(Eventually([] { return fakedbus::Get().Descriptor >= 0; }));
  const int first = fakedbus::Get().Descriptor;
  power::Hold("Alarm at 07:30");
  power::Hold("Alarm at 08:00");
  ASSERT_TRUE(Eventually([first] { return !IsOpen(first); }));
  fakedbus::Bus bus = fakedbus::Get();
  EXPECT_EQ(bus.Calls, Asked({"Alarm at 07:30", "Alarm at 08:00"}));
  EXPECT_NE(bus.Descriptor, first);
  EXPECT_TRUE(IsOpen(bus.Descriptor));
  const pid_t child = fork();
  if (child == 0) _exit(IsOpen(bus.Descriptor) ? 1 : 0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "a child kept the lock";

  power::Release();
  EXPECT_TRUE(Eventually([second = bus.Descriptor] { return !IsOpen(second); }));
  EXPECT_EQ(fakedbus::Get().Calls.size(), 4U);

  fakedbus::Set({});
  power::Hold("Alarm\t\x7f at 07:30 ~ \xc3\xa9");
  ASSERT_TRUE(Eventually([] { return fakedbus::Get().Descriptor >= 0; }));
  EXPECT_EQ(fakedbus::Get().Calls, Asked({"Alarm?? at 07:30 ~ ??"}));
  power::Release();
  EXPECT_TRUE(Eventually([third = fakedbus::Get().Descriptor] { return !IsOpen(third); }));
  EXPECT_TRUE(IsOpen(0));
  EXPECT_EQ(Threads(), threads);
}

}  // namespace
