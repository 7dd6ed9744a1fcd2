#include "posix/session/output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "posix/session/session.h"

namespace session {

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done > 0) {
      data += done;
      size -= static_cast<size_t>(done);
    } else if (done < 0 && errno == EINTR) {
      continue;
    } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{fd, POLLOUT, 0};
      if (poll(&ready, 1, 1000) <= 0) return;
    } else {
      return;
    }
  }
}

void Send(std::string_view bytes) {
  if (!bytes.empty()) WriteAll(OutFd, bytes.data(), bytes.size());
}

}  // namespace session
