// The emulated-reader carrier: the 65-byte stream framing, the attribute
// handshake, reassembly of transfers that arrive in pieces, and the reader
// folder with its ".tcp" addresses. Written once over the socket shim
// (hid_socket.h); each system supplies only the sockets and the listing.
#include "platform/hid_stream.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace kk::platform {
namespace {

// One report on the emulator wire: report id 0, then the report.
constexpr size_t kTransferSize = kHidReportSize + 1;
// How long an emulated reader may take to accept the connection and send
// its attribute bytes. A live server does both at once; the limit only
// bounds a server that hangs.
constexpr uint32_t kConnectTimeoutMs = 1000;
constexpr uint32_t kAttributeTimeoutMs = 1000;

// Milliseconds left of a time-out, on the tick count.
class Deadline {
 public:
  explicit Deadline(uint32_t timeout_ms) : start_(tick_ms()), timeout_(timeout_ms) {}
  [[nodiscard]] uint32_t left() const {
    const uint32_t spent = tick_ms() - start_;
    return spent >= timeout_ ? 0 : timeout_ - spent;
  }

 private:
  uint32_t start_;
  uint32_t timeout_;
};

// An emulated reader on a stream socket (Unix or loopback TCP).
class StreamDevice final : public HidDevice::Impl {
 public:
  explicit StreamDevice(net::StreamSocket socket) : socket_(std::move(socket)) {}

  HidStatus write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    if (!socket_.is_open()) return HidStatus::failed;
    std::array<uint8_t, kTransferSize> transfer{};
    std::copy(report.begin(), report.end(), transfer.begin() + 1);
    const Deadline deadline(timeout_ms);
    size_t sent = 0;
    while (sent < transfer.size()) {
      const std::ptrdiff_t n = socket_.send_some(std::span(transfer).subspan(sent));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) {
        const net::Ready ready = socket_.wait_writable(deadline.left());
        if (ready == net::Ready::yes) continue;
        if (ready == net::Ready::timed_out && sent == 0) return HidStatus::timed_out;
        // Half a transfer went out: the stream has lost its framing, so
        // the device is as good as unplugged.
        socket_.close();
        return ready == net::Ready::timed_out ? HidStatus::timed_out : HidStatus::failed;
      }
      socket_.close();
      return HidStatus::failed;
    }
    return HidStatus::ok;
  }

  // A transfer that arrives in pieces is gathered in the device's own
  // buffer, so a read that times out half-way loses nothing and writes
  // nothing into the caller's storage; the next read carries on with it.
  HidStatus read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    if (!socket_.is_open()) return HidStatus::failed;
    const Deadline deadline(timeout_ms);
    for (;;) {
      while (received_ < rx_.size()) {
        const std::ptrdiff_t n = socket_.receive_some(std::span(rx_).subspan(received_));
        if (n > 0) {
          received_ += static_cast<size_t>(n);
          continue;
        }
        if (n == 0) {
          const uint32_t left = deadline.left();
          if (left == 0) return HidStatus::timed_out;  // a look without waiting (a flush)
          const net::Ready ready = socket_.wait_readable(left);
          if (ready == net::Ready::yes) continue;
          if (ready == net::Ready::timed_out) return HidStatus::timed_out;
        }
        // End of stream or a broken connection: the reader was unplugged.
        socket_.close();
        return HidStatus::failed;
      }
      received_ = 0;
      if (rx_[0] != 0) {
        // Not a transfer of this protocol: the framing is lost.
        socket_.close();
        return HidStatus::failed;
      }
      // A transfer that had begun before a flush answers nothing asked since.
      if (std::exchange(discard_gathered_, false)) continue;
      std::copy(rx_.begin() + 1, rx_.end(), report.begin());
      return HidStatus::ok;
    }
  }

  // Drops the transfers already in. One that has only begun to arrive is
  // dropped once it is whole: cutting it off now would lose the framing.
  bool flush() override {
    if (!Impl::flush()) return false;
    if (received_ > 0) discard_gathered_ = true;
    return true;
  }

 private:
  net::StreamSocket socket_;
  std::array<uint8_t, kTransferSize> rx_{};
  size_t received_ = 0;
  bool discard_gathered_ = false;
};

// Receives exactly `out.size()` bytes within `timeout_ms`.
bool receive_exactly(net::StreamSocket& socket, std::span<uint8_t> out, uint32_t timeout_ms) {
  const Deadline deadline(timeout_ms);
  size_t got = 0;
  while (got < out.size()) {
    const std::ptrdiff_t n = socket.receive_some(out.subspan(got));
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 || socket.wait_readable(deadline.left()) != net::Ready::yes) return false;
  }
  return true;
}

// The first line of a small file, without its line end and trailing blanks.
std::string first_line(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  std::array<char, 256> text{};
  const bool read = std::fgets(text.data(), static_cast<int>(text.size()), file) != nullptr;
  std::fclose(file);
  if (!read) return {};
  std::string line(text.data());
  line = line.substr(0, line.find_first_of("\r\n"));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number of 1 to `max_digits` digits, no sign, no blanks.
bool parse_decimal(std::string_view text, size_t max_digits, uint32_t& value) {
  if (text.empty() || text.size() > max_digits || !std::all_of(text.begin(), text.end(), is_digit))
    return false;
  value = 0;
  for (const char c : text) value = value * 10 + static_cast<uint32_t>(c - '0');
  return true;
}

// Dotted decimal, four parts, no leading zeros (so no octal reading).
bool parse_v4(std::string_view text, std::array<uint8_t, 4>& out) {
  for (size_t i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    const std::string_view part = text.substr(0, dot);
    uint32_t value = 0;
    if (!parse_decimal(part, 3, value) || value > 255 || (part.size() > 1 && part[0] == '0')) return false;
    out[i] = static_cast<uint8_t>(value);
    text = i < 3 ? text.substr(dot + 1) : std::string_view();
  }
  return true;
}

// Colon-separated groups of 1 to 4 hex digits ("" is no group at all).
bool parse_hex_groups(std::string_view text, std::vector<uint16_t>& groups) {
  if (text.empty()) return true;
  for (;;) {
    const size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (group.empty() || group.size() > 4) return false;
    uint32_t value = 0;
    for (const char c : group) {
      const int digit = hex_value(c);
      if (digit < 0) return false;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    groups.push_back(static_cast<uint16_t>(value));
    if (colon == std::string_view::npos) return true;
    text = text.substr(colon + 1);
  }
}

// Any text form of ::1 (eight groups, or fewer around one "::"). Zones and
// embedded IPv4 forms are not loopback in this sense and are refused.
bool is_v6_loopback(std::string_view text) {
  std::vector<uint16_t> head, tail;
  const size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!parse_hex_groups(text, head) || head.size() != 8) return false;
  } else {
    if (text.find("::", gap + 1) != std::string_view::npos) return false;
    if (!parse_hex_groups(text.substr(0, gap), head) || !parse_hex_groups(text.substr(gap + 2), tail))
      return false;
    if (head.size() + tail.size() > 7) return false;
    head.resize(8 - tail.size(), 0);
    head.insert(head.end(), tail.begin(), tail.end());
  }
  return std::all_of(head.begin(), head.end() - 1, [](uint16_t g) { return g == 0; }) && head.back() == 1;
}

struct Interface {
  std::string name;
  bool tcp = false;  // a ".tcp" file, else a Unix socket
};

// The emulated interfaces of `folder`, in bytewise name order.
std::vector<Interface> emulated_interfaces(const std::string& folder) {
  std::vector<Interface> found;
  for (net::FolderEntry& entry : net::list_folder(folder)) {
    const std::string& name = entry.name;
    const bool tcp_file = entry.kind == net::EntryKind::regular_file && name.size() > 4 &&
                          name.compare(name.size() - 4, 4, ".tcp") == 0;
    if (entry.kind == net::EntryKind::stream_socket || tcp_file)
      found.push_back({std::move(entry.name), tcp_file});
  }
  // std::string compares as unsigned bytes: bytewise order.
  std::sort(found.begin(), found.end(),
            [](const Interface& a, const Interface& b) { return a.name < b.name; });
  return found;
}

// Connects to one emulated interface and checks its attribute bytes. A
// server that closes at once holds another client.
std::unique_ptr<HidDevice::Impl> open_interface(const std::string& path, bool tcp, uint16_t vendor_id,
                                                uint16_t product_id) {
  net::StreamSocket socket;
  if (tcp) {
    net::LoopbackAddress address;
    if (!parse_loopback_address(first_line(path), address)) return nullptr;
    socket = net::StreamSocket::connect_loopback(address, kConnectTimeoutMs);
  } else {
    socket = net::StreamSocket::connect_local(path, kConnectTimeoutMs);
  }
  if (!socket.is_open()) return nullptr;
  std::array<uint8_t, 4> attributes{};
  if (!receive_exactly(socket, attributes, kAttributeTimeoutMs)) return nullptr;
  const uint16_t vendor = static_cast<uint16_t>(attributes[0] | (attributes[1] << 8));
  const uint16_t product = static_cast<uint16_t>(attributes[2] | (attributes[3] << 8));
  if (vendor != vendor_id || product != product_id) return nullptr;
  return std::make_unique<StreamDevice>(std::move(socket));
}

}  // namespace

bool parse_loopback_address(std::string_view line, net::LoopbackAddress& address) {
  const size_t colon = line.rfind(':');
  if (colon == std::string_view::npos) return false;
  uint32_t port = 0;
  if (!parse_decimal(line.substr(colon + 1), 5, port) || port == 0 || port > 65535) return false;
  const std::string_view host = line.substr(0, colon);

  net::LoopbackAddress parsed;
  parsed.port = static_cast<uint16_t>(port);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    if (!is_v6_loopback(host.substr(1, host.size() - 2))) return false;
    parsed.v6 = true;
  } else if (!parse_v4(host, parsed.v4) || parsed.v4[0] != 127) {
    return false;
  }
  address = parsed;
  return true;
}

std::unique_ptr<HidDevice::Impl> open_emulated_interface(uint16_t vendor_id, uint16_t product_id) {
  const char* folder = std::getenv("KIOSKKIT_READER_DIR");
  if (folder == nullptr || *folder == '\0') return nullptr;
  for (const Interface& entry : emulated_interfaces(folder)) {
    const std::string path = net::path_in(folder, entry.name);
    // One this process holds would only refuse the connection.
    if (HeldInterface::held(path)) continue;
    if (auto device = open_interface(path, entry.tcp, vendor_id, product_id)) {
      device->held.hold(path);
      return device;
    }
  }
  return nullptr;
}

}  // namespace kk::platform
