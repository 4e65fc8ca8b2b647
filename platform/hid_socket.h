// The socket services the emulated-reader carrier (hid_stream.h) needs from
// the system, and nothing more: a connected stream socket that never blocks,
// a bounded wait on it, and a listing of the reader folder. BSD sockets on
// POSIX systems, Winsock on Windows; each system has one whole file
// (posix/hid_socket.cc, win32/hid_socket.cc). The protocol on top is shared.
//
// Internal to the platform layer's HID service; not part of hid.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kk::platform::net {

// A loopback address: 127.x.y.z or ::1, and a port.
struct LoopbackAddress {
  bool v6 = false;
  std::array<uint8_t, 4> v4{127, 0, 0, 1};  // used when !v6
  uint16_t port = 0;
};

enum class Ready : uint8_t { yes, timed_out, failed };

// One connected stream socket, in non-blocking mode. Move-only; the
// destructor closes it.
class StreamSocket {
 public:
  StreamSocket() = default;
  // Takes over a connected socket of the system (a descriptor or a SOCKET).
  explicit StreamSocket(uintptr_t handle) : handle_(handle), open_(true) {}
  ~StreamSocket() { close(); }
  StreamSocket(StreamSocket&& other) noexcept
      : handle_(std::exchange(other.handle_, 0)), open_(std::exchange(other.open_, false)) {}
  StreamSocket& operator=(StreamSocket&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, 0);
      open_ = std::exchange(other.open_, false);
    }
    return *this;
  }
  StreamSocket(const StreamSocket&) = delete;
  StreamSocket& operator=(const StreamSocket&) = delete;

  // Connects to the Unix stream socket at `path`, waiting at most
  // `timeout_ms`. A socket that is not open on failure, and always on systems
  // without Unix sockets.
  [[nodiscard]] static StreamSocket connect_local(const std::string& path, uint32_t timeout_ms);
  // Connects over TCP to `address`, waiting at most `timeout_ms`.
  [[nodiscard]] static StreamSocket connect_loopback(const LoopbackAddress& address, uint32_t timeout_ms);

  [[nodiscard]] bool is_open() const { return open_; }

  // Move what the system takes or has at once, without waiting: the number
  // of bytes moved (> 0), 0 when nothing can move now, -1 when the
  // connection is closed (by the peer: end of stream) or broken. Never
  // raises SIGPIPE.
  [[nodiscard]] std::ptrdiff_t send_some(std::span<const uint8_t> bytes);
  [[nodiscard]] std::ptrdiff_t receive_some(std::span<uint8_t> bytes);

  // Waits at most `timeout_ms` until bytes can be received (or sent). A
  // closed or broken connection counts as ready: the next transfer says so.
  [[nodiscard]] Ready wait_readable(uint32_t timeout_ms);
  [[nodiscard]] Ready wait_writable(uint32_t timeout_ms);

  void close();

 private:
  uintptr_t handle_ = 0;  // the system's socket (a descriptor or a SOCKET)
  bool open_ = false;
};

// One entry of a folder, as the carrier needs to tell them apart.
enum class EntryKind : uint8_t { stream_socket, regular_file, other };
struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::other;
};

// The entries of `folder` ("." and ".." left out), in no particular order;
// empty when the folder cannot be read.
[[nodiscard]] std::vector<FolderEntry> list_folder(const std::string& folder);

// `name` inside `folder`, with the system's separator.
[[nodiscard]] std::string path_in(const std::string& folder, const std::string& name);

}  // namespace kk::platform::net
