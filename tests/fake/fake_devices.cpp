// The speaker's devices for the tests, in place of the system's: the test
// executable is linked with --wrap for open, ioctl, write and glob, so the
// speaker's calls on /dev/tty and /dev/input/ land here.  Each device opened
// is /dev/null underneath, so that the descriptor is real and its closing
// can be seen; everything else goes to the system.
#include "tests/fake/fake_devices.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <glob.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <linux/input.h>
#include <linux/kd.h>

// The linker's names for the wrapped calls and the originals.
// NOLINTBEGIN(readability-identifier-naming,bugprone-reserved-identifier)
extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_ioctl(int fd, unsigned long request, ...);
ssize_t __real_write(int fd, const void* buffer, size_t size);
int __real_glob(const char* pattern, int flags, int (*error)(const char*, int), glob_t* found);
}
// NOLINTEND(readability-identifier-naming,bugprone-reserved-identifier)

namespace {

std::recursive_mutex Lock;
fakedevices::Devices Now;
std::map<int, std::string> Opened;  // descriptor -> the path it was opened as

const fakedevices::InputDevice* InputAt(const std::string& path) {
  for (const auto& device : Now.Inputs)
    if (device.Path == path) return &device;
  return nullptr;
}

// The path behind a descriptor of ours that is still open, or "".
std::string PathOf(int fd) {
  const auto it = Opened.find(fd);
  if (it == Opened.end() || fcntl(fd, F_GETFD) == -1) return {};
  return it->second;
}

}  // namespace

namespace fakedevices {

void Set(const Devices& devices) {
  std::lock_guard lock(Lock);
  Now = devices;
  Opened.clear();
}

Devices Get() {
  std::lock_guard lock(Lock);
  return Now;
}

bool StillOpen(const std::string& path) {
  std::lock_guard lock(Lock);
  for (const auto& [fd, opened] : Opened)
    if (opened == path && fcntl(fd, F_GETFD) != -1) return true;
  return false;
}

}  // namespace fakedevices

// NOLINTBEGIN(readability-identifier-naming,bugprone-reserved-identifier)
extern "C" {

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  const std::string name(path);
  if (name != "/dev/tty" && name.rfind("/dev/input/", 0) != 0)
    return __real_open(path, flags, mode);
  std::lock_guard lock(Lock);
  Now.Log.push_back("open " + name + " " + std::to_string(flags));
  const fakedevices::InputDevice* device = InputAt(name);
  if (name == "/dev/tty" ? !Now.Tty : device == nullptr || device->OpenFails) {
    errno = ENXIO;
    return -1;
  }
  const int fd = __real_open("/dev/null", O_WRONLY | (flags & O_CLOEXEC));
  Opened[fd] = name;
  return fd;
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* const argument = va_arg(args, void*);
  va_end(args);
  std::lock_guard lock(Lock);
  const std::string path = PathOf(fd);
  if (path.empty()) return __real_ioctl(fd, request, argument);
  if (path == "/dev/tty") {
    const auto value = reinterpret_cast<unsigned long>(argument);
    if (request == KDGKBTYPE) {
      Now.Log.emplace_back("KDGKBTYPE");
      if (!Now.VirtualConsole) return errno = ENOTTY, -1;
      *static_cast<char*>(argument) = KB_101;
      return 0;
    }
    if (request == KIOCSOUND) {
      Now.Log.push_back("KIOCSOUND " + std::to_string(value));
      return Now.ConsoleRefusesSound ? (errno = EPERM, -1) : 0;
    }
    if (request == KDMKTONE) {
      Now.Log.push_back("KDMKTONE " + std::to_string(value >> 16) + " " +
                        std::to_string(value & 0xFFFF));
      return Now.ConsoleRefusesSound ? (errno = EPERM, -1) : 0;
    }
    return errno = ENOTTY, -1;
  }
  const size_t size = _IOC_SIZE(request);
  if (request == EVIOCGBIT(EV_SND, size)) {
    Now.Log.emplace_back("EVIOCGBIT");
    if (!InputAt(path)->Answers) return errno = EINVAL, -1;
    auto* bits = static_cast<unsigned long*>(argument);
    std::memset(bits, 0, size);
    constexpr size_t BitsPerLong = sizeof(unsigned long) * CHAR_BIT;
    if (InputAt(path)->PlaysTones) bits[SND_TONE / BitsPerLong] |= 1UL << (SND_TONE % BitsPerLong);
    return static_cast<int>(size);
  }
  return errno = EINVAL, -1;
}

ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
  {
    std::lock_guard lock(Lock);
    const std::string path = PathOf(fd);
    if (!path.empty() && path != "/dev/tty") {
      const auto* events = static_cast<const input_event*>(buffer);
      for (size_t i = 0; i < size / sizeof(input_event); ++i)
        Now.Log.push_back("event " + std::to_string(events[i].type) + " " +
                          std::to_string(events[i].code) + " " + std::to_string(events[i].value));
      return Now.ShortWrites ? static_cast<ssize_t>(size / 2) : static_cast<ssize_t>(size);
    }
  }
  return __real_write(fd, buffer, size);
}

// The input devices matching the pattern, allocated as glob allocates them
// (each path and the list by malloc), so that globfree frees them.
int __wrap_glob(const char* pattern, int flags, int (*error)(const char*, int), glob_t* found) {
  if (std::strncmp(pattern, "/dev/input/", 11) != 0)
    return __real_glob(pattern, flags, error, found);
  std::lock_guard lock(Lock);
  std::vector<const std::string*> matches;
  for (const auto& device : Now.Inputs)
    if (fnmatch(pattern, device.Path.c_str(), FNM_PATHNAME) == 0) matches.push_back(&device.Path);
  *found = glob_t{};
  if (matches.empty()) return GLOB_NOMATCH;
  found->gl_pathv = static_cast<char**>(std::calloc(matches.size() + 1, sizeof(char*)));
  for (const std::string* path : matches)
    found->gl_pathv[found->gl_pathc++] = strdup(path->c_str());
  return 0;
}

}  // extern "C"
// NOLINTEND(readability-identifier-naming,bugprone-reserved-identifier)
