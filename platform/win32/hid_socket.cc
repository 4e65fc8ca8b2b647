// Winsock for the emulated-reader carrier: loopback TCP only (Unix sockets
// are not used on Windows), non-blocking, waited on with select().
#include "platform/hid_socket.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kk::platform::net {
namespace {

SOCKET socket_of(uintptr_t handle) { return static_cast<SOCKET>(handle); }

bool winsock_ready() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    WSADATA data;
    ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ready;
}

// select() on one socket for at most `timeout_ms`; an error condition on the
// socket counts as ready (the next transfer reports it).
Ready wait_for(SOCKET s, bool for_write, uint32_t timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set errors;
  FD_ZERO(&errors);
  FD_SET(s, &errors);
  timeval limit{static_cast<long>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000};
  const int n = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, &errors, &limit);
  if (n == 0) return Ready::timed_out;
  if (n == SOCKET_ERROR) return Ready::failed;
  return Ready::yes;
}

}  // namespace

StreamSocket StreamSocket::connect_local(const std::string&, uint32_t) { return {}; }

StreamSocket StreamSocket::connect_loopback(const LoopbackAddress& address, uint32_t timeout_ms) {
  if (!winsock_ready()) return {};
  sockaddr_storage storage{};
  int size = 0;
  if (address.v6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(address.port);
    v6->sin6_addr = in6addr_loopback;
    size = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(address.port);
    std::memcpy(&v4->sin_addr, address.v4.data(), 4);  // already in network order
    size = sizeof(sockaddr_in);
  }
  const SOCKET s = socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return {};
  StreamSocket connected(static_cast<uintptr_t>(s));  // closes the socket on every way out
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return {};
  if (connect(s, reinterpret_cast<const sockaddr*>(&storage), size) == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return {};
    // A refused connection shows in the error set, not as writable.
    if (wait_for(s, true, timeout_ms) != Ready::yes) return {};
    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
      return {};
  }
  return connected;
}

std::ptrdiff_t StreamSocket::send_some(std::span<const uint8_t> bytes) {
  if (!open_) return -1;
  const int size = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20));
  const int n = send(socket_of(handle_), reinterpret_cast<const char*>(bytes.data()), size, 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

std::ptrdiff_t StreamSocket::receive_some(std::span<uint8_t> bytes) {
  if (!open_) return -1;
  const int size = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20));
  const int n = recv(socket_of(handle_), reinterpret_cast<char*>(bytes.data()), size, 0);
  if (n > 0) return n;
  if (n == 0) return -1;  // end of stream
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

Ready StreamSocket::wait_readable(uint32_t timeout_ms) {
  return open_ ? wait_for(socket_of(handle_), false, timeout_ms) : Ready::failed;
}

Ready StreamSocket::wait_writable(uint32_t timeout_ms) {
  return open_ ? wait_for(socket_of(handle_), true, timeout_ms) : Ready::failed;
}

void StreamSocket::close() {
  if (open_) closesocket(socket_of(handle_));
  open_ = false;
  handle_ = 0;
}

std::vector<FolderEntry> list_folder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path_in(folder, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    // Unix sockets are not used here: every entry that is neither a folder
    // nor a device counts as a file (one that cannot be read is skipped).
    const DWORD not_file = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    entries.push_back(
        {name, (found.dwFileAttributes & not_file) == 0 ? EntryKind::regular_file : EntryKind::other});
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return entries;
}

std::string path_in(const std::string& folder, const std::string& name) { return folder + "\\" + name; }

}  // namespace kk::platform::net
