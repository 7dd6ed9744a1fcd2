// The terminal end (standin/terminal/end.cpp): the system it reports, and its
// clock, the local time of day and the zone's offset from UTC as the
// system's time zone gives them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "standin/end/end.h"
#include "win32/speaker_ports.h"
#include "win32/win32.h"

namespace {

// Sets TZ for the life of the object and puts the old one back after.
class Zone {
 public:
  explicit Zone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~Zone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  Zone(const Zone&) = delete;
  Zone& operator=(const Zone&) = delete;

 private:
  std::string old_;
  bool had_ = false;
};

// An NT 10 console whose keyboard gives code page 866, with every function
// the program looks up by name: GetKBCodePage in user32, the power
// functions in kernel32.
TEST(TerminalEndTest, ReportsAnNtConsoleWithEveryFunction) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(info.dwMajorVersion, 10u);
  EXPECT_EQ(info.dwMinorVersion, 0u);
  EXPECT_EQ(info.dwBuildNumber, 0u);
  const FARPROC codePage = GetProcAddress(LoadLibraryA("user32.dll"), "GetKBCodePage");
  ASSERT_NE(codePage, nullptr);
  EXPECT_EQ(reinterpret_cast<UINT(WINAPI*)()>(reinterpret_cast<void (*)()>(codePage))(), 866u);
  const HMODULE kernel32 = LoadLibraryA("kernel32.dll");
  for (const char* name : {"SetThreadExecutionState", "CreateWaitableTimerA", "SetWaitableTimer",
                           "CancelWaitableTimer"})
    EXPECT_NE(GetProcAddress(kernel32, name), nullptr) << name;
  EXPECT_EQ(PortReadByte(0x61), 0) << "the speaker gate starts closed";
}

struct ZoneRow {
  const char* Name;
  const char* Zone;  // POSIX TZ: the sign is west of Greenwich
  int OffsetMinutes;
};

class TerminalEndClock : public ::testing::TestWithParam<ZoneRow> {};

// Read between two readings of the system clock within one second, the
// local time is that second's, field by field, in the zone TZ names.
TEST_P(TerminalEndClock, LocalTimeAndOffsetAreTheZones) {
  const Zone zone(GetParam().Zone);
  EXPECT_EQ(standin::end::UtcOffsetMinutes(), GetParam().OffsetMinutes);
  SYSTEMTIME got{};
  timespec before{};
  timespec after{};
  do {
    clock_gettime(CLOCK_REALTIME, &before);
    standin::end::LocalTime(&got);
    clock_gettime(CLOCK_REALTIME, &after);
  } while (before.tv_sec != after.tv_sec);
  tm local{};
  localtime_r(&before.tv_sec, &local);
  EXPECT_EQ(got.wYear, local.tm_year + 1900);
  EXPECT_EQ(got.wMonth, local.tm_mon + 1);
  EXPECT_EQ(got.wDay, local.tm_mday);
  EXPECT_EQ(got.wDayOfWeek, local.tm_wday);
  EXPECT_EQ(got.wHour, local.tm_hour);
  EXPECT_EQ(got.wMinute, local.tm_min);
  EXPECT_EQ(got.wSecond, local.tm_sec);
  EXPECT_GE(got.wMilliseconds, before.tv_nsec / 1000000);
  EXPECT_LE(got.wMilliseconds, after.tv_nsec / 1000000);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, TerminalEndClock,
    ::testing::Values(ZoneRow{"Utc", "UTC0", 0}, ZoneRow{"HalfHourEast", "XST-5:30", 330},
                      ZoneRow{"West", "YST+3", -180}, ZoneRow{"FarEast", "ZST-13:45", 825}),
    [](const ::testing::TestParamInfo<ZoneRow>& row) { return std::string(row.param.Name); });

}  // namespace
