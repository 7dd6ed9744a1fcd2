// The 32-bit build is for the Windows 95 family too, where kernel32 has the
// wide (W) functions only as stubs that fail, and where msvcrt.dll has no
// functions of the 64-bit time type.  The MinGW-w64 C++ runtime linked into
// the .exe asks for a few such functions (the thread primitives of libgcc, the
// file streams of libstdc++, the locale helpers of the C runtime).  They are
// defined here on top of what every 32-bit Windows has, under the names the
// runtime imports them by, so that the .exe imports only functions that load
// and work there.  Linked into the 32-bit MinGW-w64 build only.
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// A wide name as the system's ANSI code page; the runtime passes only short
// ASCII names (module names), or none.
class Narrow {
 public:
  explicit Narrow(const wchar_t* wide) {
    if (wide == nullptr) return;
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, text_, sizeof text_, nullptr, nullptr) > 0)
      valid_ = true;
  }
  const char* Get() const { return valid_ ? text_ : nullptr; }
  bool Failed(const wchar_t* wide) const { return wide != nullptr && !valid_; }

 private:
  char text_[MAX_PATH] = {};
  bool valid_ = false;
};

HANDLE WINAPI CreateSemaphoreAnsi(LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum,
                                  LPCWSTR name) {
  const Narrow narrow(name);
  if (narrow.Failed(name)) return nullptr;
  return CreateSemaphoreA(security, initial, maximum, narrow.Get());
}

HMODULE WINAPI GetModuleHandleAnsi(LPCWSTR name) {
  const Narrow narrow(name);
  if (narrow.Failed(name)) return nullptr;
  return GetModuleHandleA(narrow.Get());
}

HMODULE WINAPI LoadLibraryAnsi(LPCWSTR name) {
  const Narrow narrow(name);
  if (narrow.Get() == nullptr) return nullptr;
  return LoadLibraryA(narrow.Get());
}

FILE* __cdecl OpenFileAnsi(const wchar_t* name, const wchar_t* mode) {
  const Narrow narrowName(name);
  const Narrow narrowMode(mode);
  if (narrowName.Get() == nullptr || narrowMode.Get() == nullptr) return nullptr;
  return std::fopen(narrowName.Get(), narrowMode.Get());
}

// _fstati64 has been in msvcrt.dll from the start; only its times are 32-bit.
int __cdecl FileStatus64(int descriptor, struct _stat64* status) {
  struct _stati64 old {};
  const int result = _fstati64(descriptor, &old);
  if (result != 0) return result;
  std::memset(status, 0, sizeof *status);
  status->st_dev = old.st_dev;
  status->st_ino = old.st_ino;
  status->st_mode = old.st_mode;
  status->st_nlink = old.st_nlink;
  status->st_uid = old.st_uid;
  status->st_gid = old.st_gid;
  status->st_rdev = old.st_rdev;
  status->st_size = old.st_size;
  status->st_atime = old.st_atime;
  status->st_mtime = old.st_mtime;
  status->st_ctime = old.st_ctime;
  return 0;
}

}  // namespace

// The import slots the runtime's objects refer to, filled at link time.
extern "C" {
extern const void* const ImportCreateSemaphoreW __asm__("__imp__CreateSemaphoreW@16");
const void* const ImportCreateSemaphoreW = reinterpret_cast<const void*>(&CreateSemaphoreAnsi);
extern const void* const ImportGetModuleHandleW __asm__("__imp__GetModuleHandleW@4");
const void* const ImportGetModuleHandleW = reinterpret_cast<const void*>(&GetModuleHandleAnsi);
extern const void* const ImportLoadLibraryW __asm__("__imp__LoadLibraryW@4");
const void* const ImportLoadLibraryW = reinterpret_cast<const void*>(&LoadLibraryAnsi);
extern const void* const ImportWfopen __asm__("__imp___wfopen");
const void* const ImportWfopen = reinterpret_cast<const void*>(&OpenFileAnsi);
extern const void* const ImportFstat64 __asm__("__imp___fstat64");
const void* const ImportFstat64 = reinterpret_cast<const void*>(&FileStatus64);
}
