// POSIX HID devices. Two kinds of interface stand behind HidDevice here:
//
//  - emulated readers: every Unix stream socket in the folder named by
//    KIOSKKIT_READER_DIR, and every "*.tcp" file there whose first line is a
//    loopback address and port. On connect the server sends the vendor and
//    product id (16 bits each, least significant byte first); after that each
//    report travels as one 65-byte transfer, report id 0 first. A server that
//    closes the connection before the attribute bytes holds another client.
//  - hidraw interfaces, through hidapi. hidraw itself lets any number of
//    openers in; an exclusive flock() on the device node stands in for the
//    no-sharing open of Windows, so a reader that this process or another kit
//    process holds is skipped, and the lock goes away with its holder even
//    when that holder crashes.
#include "platform/hid.h"
#include "platform/hid_impl.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kk::platform {

namespace {

// One report on the emulator wire: report id 0, then the report.
constexpr size_t kTransferSize = kHidReportSize + 1;
// How long an emulated reader may take to send its attribute bytes. A live
// server sends them at once; the limit only bounds a server that hangs.
constexpr uint32_t kAttributeTimeoutMs = 1000;

class Deadline {
 public:
  explicit Deadline(uint32_t timeout_ms)
      : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)) {}

  // Milliseconds left, rounded up, as poll() takes them; 0 once passed.
  [[nodiscard]] int remaining_ms() const {
    const auto left = end_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

enum class Wait { ready, timed_out, failed };

// Waits until `fd` is ready for `events` or the deadline passes.
Wait wait_for(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, deadline.remaining_ms());
    if (r > 0) return Wait::ready;  // errors and hang-ups show in the next recv/send
    if (r == 0) return Wait::timed_out;
    if (errno != EINTR) return Wait::failed;
  }
}

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// An emulated reader on a stream socket (Unix or loopback TCP).
class SocketDevice final : public HidDevice::Impl {
 public:
  explicit SocketDevice(FileDescriptor fd) : fd_(std::move(fd)) {}

  HidStatus write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    if (!fd_.valid()) return HidStatus::failed;
    std::array<uint8_t, kTransferSize> transfer{};
    std::copy(report.begin(), report.end(), transfer.begin() + 1);
    const Deadline deadline(timeout_ms);
    size_t sent = 0;
    while (sent < transfer.size()) {
      const ssize_t n =
          ::send(fd_.get(), transfer.data() + sent, transfer.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const Wait w = wait_for(fd_.get(), POLLOUT, deadline);
        if (w == Wait::ready) continue;
        if (w == Wait::timed_out && sent == 0) return HidStatus::timed_out;
        // Half a transfer went out: the stream has lost its framing, so
        // the device is as good as unplugged.
        fd_.reset();
        return w == Wait::timed_out ? HidStatus::timed_out : HidStatus::failed;
      }
      fd_.reset();
      return HidStatus::failed;
    }
    return HidStatus::ok;
  }

  // A transfer that arrives in pieces is gathered in the device's own buffer,
  // so a read that times out half-way loses nothing and writes nothing into
  // the caller's storage; the next read carries on with it.
  HidStatus read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    if (!fd_.valid()) return HidStatus::failed;
    const Deadline deadline(timeout_ms);
    while (received_ < rx_.size()) {
      const ssize_t n = ::recv(fd_.get(), rx_.data() + received_, rx_.size() - received_, MSG_DONTWAIT);
      if (n > 0) {
        received_ += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const Wait w = wait_for(fd_.get(), POLLIN, deadline);
        if (w == Wait::ready) continue;
        if (w == Wait::timed_out) return HidStatus::timed_out;
      }
      // End of stream or a socket error: the reader was unplugged.
      fd_.reset();
      return HidStatus::failed;
    }
    received_ = 0;
    if (rx_[0] != 0) return HidStatus::failed;  // not a report of this protocol
    std::copy(rx_.begin() + 1, rx_.end(), report.begin());
    return HidStatus::ok;
  }

 private:
  FileDescriptor fd_;
  std::array<uint8_t, kTransferSize> rx_{};
  size_t received_ = 0;
};

// A hidraw interface through hidapi, with the flock() that marks it held.
class HidrawDevice final : public HidDevice::Impl {
 public:
  HidrawDevice(hid_device* device, FileDescriptor lock) : device_(device), lock_(std::move(lock)) {}
  ~HidrawDevice() override { hid_close(device_); }
  HidrawDevice(const HidrawDevice&) = delete;
  HidrawDevice& operator=(const HidrawDevice&) = delete;

  // hidraw writes go to the interrupt OUT endpoint, which the kernel bounds
  // with its own time-out; the caller's time-out does not apply to them.
  HidStatus write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t) override {
    std::array<uint8_t, kTransferSize> transfer{};
    std::copy(report.begin(), report.end(), transfer.begin() + 1);
    return hid_write(device_, transfer.data(), transfer.size()) < 0 ? HidStatus::failed : HidStatus::ok;
  }

  HidStatus read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    std::array<uint8_t, kHidReportSize> buffer{};
    const int wait = static_cast<int>(std::min<uint32_t>(timeout_ms, INT_MAX));
    const int n = hid_read_timeout(device_, buffer.data(), buffer.size(), wait);
    if (n < 0) return HidStatus::failed;
    if (n == 0) return HidStatus::timed_out;
    std::copy(buffer.begin(), buffer.end(), report.begin());
    return HidStatus::ok;
  }

 private:
  hid_device* device_;
  FileDescriptor lock_;
};

// Reads exactly `out.size()` bytes or fails (end of stream, error, time-out).
bool read_exactly(int fd, std::span<uint8_t> out, const Deadline& deadline) {
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::recv(fd, out.data() + got, out.size() - got, MSG_DONTWAIT);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(fd, POLLIN, deadline) != Wait::ready) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Finishes a non-blocking connect().
bool connect_socket(int fd, const sockaddr* address, socklen_t size) {
  if (::connect(fd, address, size) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (wait_for(fd, POLLOUT, Deadline(kAttributeTimeoutMs)) != Wait::ready) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// The loopback address in the first line of a ".tcp" file: "127.0.0.1:7001"
// (any 127.x.x.x) or "[::1]:7001". Anything else is refused.
bool parse_loopback(const std::string& line, sockaddr_storage& address, socklen_t& size) {
  const size_t colon = line.rfind(':');
  if (colon == std::string::npos || colon + 1 >= line.size()) return false;
  const std::string port_text = line.substr(colon + 1);
  if (port_text.size() > 5 ||
      !std::all_of(port_text.begin(), port_text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const unsigned long port = std::strtoul(port_text.c_str(), nullptr, 10);
  if (port == 0 || port > 65535) return false;
  std::string host = line.substr(0, colon);

  address = {};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    host = host.substr(1, host.size() - 2);
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) return false;
    if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return false;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    size = sizeof(sockaddr_in6);
    return true;
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) return false;
  if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) return false;
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(port));
  size = sizeof(sockaddr_in);
  return true;
}

// The first line of a small file, without its line end.
bool read_first_line(const std::string& path, std::string& line) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return false;
  std::array<char, 256> text{};
  ssize_t n;
  do {
    n = ::read(fd.get(), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  line.assign(text.data(), static_cast<size_t>(n));
  line = line.substr(0, line.find_first_of("\r\n"));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return !line.empty();
}

enum class Carrier { unix_socket, tcp };

struct EmulatedEntry {
  std::string name;
  Carrier carrier;
};

// Sockets and ".tcp" files of the reader folder, in bytewise name order.
std::vector<EmulatedEntry> emulated_entries(const std::string& folder) {
  std::vector<EmulatedEntry> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return entries;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::stat((folder + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISSOCK(st.st_mode)) {
      entries.push_back({name, Carrier::unix_socket});
    } else if (S_ISREG(st.st_mode) && name.size() > 4 && name.compare(name.size() - 4, 4, ".tcp") == 0) {
      entries.push_back({name, Carrier::tcp});
    }
  }
  ::closedir(dir);
  // std::string compares as unsigned bytes: bytewise order.
  std::sort(entries.begin(), entries.end(),
            [](const EmulatedEntry& a, const EmulatedEntry& b) { return a.name < b.name; });
  return entries;
}

// Connects to one emulated reader and checks its attribute bytes. A server
// that closes at once holds another client: the entry is skipped.
std::unique_ptr<HidDevice::Impl> open_emulated(const std::string& path, Carrier carrier, uint16_t vendor_id,
                                               uint16_t product_id) {
  FileDescriptor fd;
  if (carrier == Carrier::unix_socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return nullptr;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd = FileDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid() || !connect_socket(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address))
      return nullptr;
  } else {
    std::string line;
    sockaddr_storage address{};
    socklen_t size = 0;
    if (!read_first_line(path, line) || !parse_loopback(line, address, size)) return nullptr;
    fd = FileDescriptor(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid() || !connect_socket(fd.get(), reinterpret_cast<const sockaddr*>(&address), size))
      return nullptr;
  }
  std::array<uint8_t, 4> attributes{};
  if (!read_exactly(fd.get(), attributes, Deadline(kAttributeTimeoutMs))) return nullptr;
  const uint16_t vendor = static_cast<uint16_t>(attributes[0] | (attributes[1] << 8));
  const uint16_t product = static_cast<uint16_t>(attributes[2] | (attributes[3] << 8));
  if (vendor != vendor_id || product != product_id) return nullptr;
  return std::make_unique<SocketDevice>(std::move(fd));
}

std::unique_ptr<HidDevice::Impl> open_hidraw(uint16_t vendor_id, uint16_t product_id) {
  static std::once_flag initialised;
  static bool available = false;
  std::call_once(initialised, [] { available = hid_init() == 0; });
  if (!available) return nullptr;

  std::unique_ptr<HidDevice::Impl> result;
  hid_device_info* list = hid_enumerate(vendor_id, product_id);
  for (const hid_device_info* info = list; info != nullptr && !result; info = info->next) {
    if (info->path == nullptr || HeldInterface::held(info->path)) continue;
    FileDescriptor lock(::open(info->path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!lock.valid() || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) continue;
    hid_device* device = hid_open_path(info->path);
    if (device == nullptr) continue;
    result = std::make_unique<HidrawDevice>(device, std::move(lock));
    result->held.hold(info->path);
  }
  hid_free_enumeration(list);
  return result;
}

}  // namespace


HidDevice hid_open_first(uint16_t vendor_id, uint16_t product_id) {
  if (const char* folder = std::getenv("KIOSKKIT_READER_DIR"); folder != nullptr && *folder) {
    for (const EmulatedEntry& entry : emulated_entries(folder)) {
      const std::string path = std::string(folder) + "/" + entry.name;
      if (HeldInterface::held(path)) continue;
      if (auto impl = open_emulated(path, entry.carrier, vendor_id, product_id)) {
        impl->held.hold(path);
        return HidDevice(std::move(impl));
      }
    }
  }
  return HidDevice(open_hidraw(vendor_id, product_id));
}

}  // namespace kk::platform
