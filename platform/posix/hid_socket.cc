// POSIX sockets for the emulated-reader carrier: Unix stream sockets and
// loopback TCP, non-blocking, waited on with poll().
#include "platform/hid_socket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/clock.h"

namespace kk::platform::net {
namespace {

int fd_of(uintptr_t handle) { return static_cast<int>(handle); }

// poll() on one descriptor for at most `timeout_ms`, across interruptions.
Ready wait_for(int fd, short events, uint32_t timeout_ms) {
  const uint32_t start = tick_ms();
  for (;;) {
    const uint32_t spent = tick_ms() - start;
    const uint32_t left = spent >= timeout_ms ? 0 : timeout_ms - spent;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<uint32_t>(left, INT_MAX)));
    if (r > 0) return Ready::yes;  // errors and hang-ups show in the next transfer
    if (r == 0) return Ready::timed_out;
    if (errno != EINTR) return Ready::failed;
  }
}

// Finishes a non-blocking connect() of `fd`.
bool finish_connect(int fd, const sockaddr* address, socklen_t size, uint32_t timeout_ms) {
  if (::connect(fd, address, size) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (wait_for(fd, POLLOUT, timeout_ms) != Ready::yes) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// Connects the new socket `fd`; it is closed again on failure.
StreamSocket adopt(int fd, const sockaddr* address, socklen_t size, uint32_t timeout_ms) {
  if (fd < 0) return {};
  StreamSocket s(static_cast<uintptr_t>(fd));
  if (!finish_connect(fd, address, size, timeout_ms)) return {};
  return s;
}

}  // namespace

StreamSocket StreamSocket::connect_local(const std::string& path, uint32_t timeout_ms) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return {};
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return adopt(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0),
               reinterpret_cast<const sockaddr*>(&address), sizeof address, timeout_ms);
}

StreamSocket StreamSocket::connect_loopback(const LoopbackAddress& address, uint32_t timeout_ms) {
  if (address.v6) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(address.port);
    v6.sin6_addr = in6addr_loopback;
    return adopt(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0),
                 reinterpret_cast<const sockaddr*>(&v6), sizeof v6, timeout_ms);
  }
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(address.port);
  std::memcpy(&v4.sin_addr, address.v4.data(), 4);  // already in network order
  return adopt(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0),
               reinterpret_cast<const sockaddr*>(&v4), sizeof v4, timeout_ms);
}

std::ptrdiff_t StreamSocket::send_some(std::span<const uint8_t> bytes) {
  if (!open_) return -1;
  for (;;) {
    const ssize_t n = ::send(fd_of(handle_), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

std::ptrdiff_t StreamSocket::receive_some(std::span<uint8_t> bytes) {
  if (!open_) return -1;
  for (;;) {
    const ssize_t n = ::recv(fd_of(handle_), bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (n > 0) return n;
    if (n == 0) return -1;  // end of stream
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

Ready StreamSocket::wait_readable(uint32_t timeout_ms) {
  return open_ ? wait_for(fd_of(handle_), POLLIN, timeout_ms) : Ready::failed;
}

Ready StreamSocket::wait_writable(uint32_t timeout_ms) {
  return open_ ? wait_for(fd_of(handle_), POLLOUT, timeout_ms) : Ready::failed;
}

void StreamSocket::close() {
  if (open_) ::close(fd_of(handle_));
  open_ = false;
  handle_ = 0;
}

std::vector<FolderEntry> list_folder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return entries;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::stat(path_in(folder, name).c_str(), &st) != 0) continue;
    const EntryKind kind = S_ISSOCK(st.st_mode)  ? EntryKind::stream_socket
                           : S_ISREG(st.st_mode) ? EntryKind::regular_file
                                                 : EntryKind::other;
    entries.push_back({std::move(name), kind});
  }
  ::closedir(dir);
  return entries;
}

std::string path_in(const std::string& folder, const std::string& name) { return folder + "/" + name; }

}  // namespace kk::platform::net
