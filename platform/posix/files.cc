// POSIX files. O_APPEND makes the seek to the end and the write one step, so
// lines of concurrent writers (threads or processes) never mix. A log path
// may name a FIFO: it is opened without blocking (no reader: the line is
// dropped) and written without SIGPIPE (a reader that left: the same).
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/no_sigpipe.h"

namespace kk::platform {

bool append_to_file(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  const NoSigpipe no_sigpipe;
  bool ok = true;
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
  return ok;
}

bool make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st {};
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kk::platform
