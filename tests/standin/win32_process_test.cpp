// The stand-in's process functions (standin/win32_process.cpp) on its test
// end: failures reported as failures, the library lookup, the clear that
// stays.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "standin/testend/test_end.h"
#include "win32/win32.h"

namespace {

// What Windows refuses is refused here: another process, another class, a
// short version block, an unknown library or function.
TEST(Win32ProcessTest, FailuresAreReportedAsFailures) {
  testend::Reset({.Platform = VER_PLATFORM_WIN32_WINDOWS});
  EXPECT_EQ(SetPriorityClass(nullptr, NORMAL_PRIORITY_CLASS), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), 0x100), FALSE);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS), TRUE);
  EXPECT_EQ(testend::PriorityClasses(), std::vector<DWORD>{IDLE_PRIORITY_CLASS});
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info - 1;
  EXPECT_EQ(GetVersionExA(&info), FALSE);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(GetVersionExA(&info), TRUE);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_EQ(Beep(36, 100), FALSE);
  EXPECT_EQ(Beep(32768, 100), FALSE);
  EXPECT_TRUE(testend::Beeps().empty());
}

TEST(Win32ProcessTest, User32LooksUpTheKeyboardCodePageOnly) {
  testend::Reset({.KeyboardCodePage = 437});
  const std::pair<const char*, bool> libraries[] = {
      {"user32.dll", true}, {"USER32.DLL", true}, {"user32", true}, {"kernel32.dll", false}};
  for (const auto& [library, has] : libraries) {
    const HMODULE module = LoadLibraryA(library);
    const FARPROC found = module != nullptr ? GetProcAddress(module, "GetKBCodePage") : nullptr;
    EXPECT_EQ(found != nullptr, has) << library;
    if (found == nullptr) continue;
    EXPECT_EQ(GetProcAddress(module, "MessageBoxA"), nullptr);
    EXPECT_EQ(reinterpret_cast<UINT(WINAPI*)()>(reinterpret_cast<void (*)()>(found))(), 437u);
  }
}

TEST(Win32ProcessTest, SecureZeroMemoryClears) {
  char secret[] = "s3cret";
  EXPECT_EQ(SecureZeroMemory(secret, sizeof secret), secret);
  EXPECT_EQ(std::memcmp(secret, "\0\0\0\0\0\0", sizeof secret), 0);
}

}  // namespace
