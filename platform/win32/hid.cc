// Win32 HID devices through SetupAPI and the HID class driver. Interfaces are
// the present device interfaces of the HID class, tried at indexes 0-127 in
// order. A device is opened without sharing, so an interface that any
// process (this one included) holds fails to open and is skipped, and with
// FILE_FLAG_OVERLAPPED, so every transfer can be bounded by a time-out.
//
// Each transfer uses its own OVERLAPPED block without an event; completion is
// awaited on the device handle, which is sound because the caller never lets
// two transfers on one device overlap. A transfer still pending when its
// time-out expires is cancelled and then waited for, so the kernel never
// writes into a buffer or OVERLAPPED block that has gone away.
//
// Emulated readers come first in interface order: every "*.tcp" file of the
// folder named by KIOSKKIT_READER_DIR (read afresh at each enumeration), in
// bytewise name order, whose first line is a loopback address and port. The
// reader is reached over TCP: on connect the server sends the vendor and
// product id (16 bits each, least significant byte first), then every report
// travels as one 65-byte transfer, report id 0 first. A server that closes
// the connection before the attribute bytes holds another client.
#include "platform/hid.h"
#include "platform/hid_impl.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <setupapi.h>
// This MinGW header declares the HID functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace kk::platform {

namespace {

constexpr DWORD kTransferSize = kHidReportSize + 1;  // report id 0, then the report
constexpr DWORD kInterfaceIndexes = 128;

// INFINITE is a value of the time-out range; a caller's time-out never means it.
DWORD wait_limit(uint32_t timeout_ms) { return std::min<DWORD>(timeout_ms, INFINITE - 1); }

enum class Direction { write, read };

// One overlapped transfer of kTransferSize bytes from or into `buffer`.
HidStatus transfer(HANDLE device, Direction direction, uint8_t* buffer, uint32_t timeout_ms) {
  OVERLAPPED overlapped{};
  DWORD moved = 0;
  const BOOL started = direction == Direction::write
                           ? WriteFile(device, buffer, kTransferSize, nullptr, &overlapped)
                           : ReadFile(device, buffer, kTransferSize, nullptr, &overlapped);
  if (started) {
    // Completed at once.
    return GetOverlappedResult(device, &overlapped, &moved, FALSE) && moved > 0 ? HidStatus::ok
                                                                                : HidStatus::failed;
  }
  if (GetLastError() != ERROR_IO_PENDING) return HidStatus::failed;

  const DWORD waited = WaitForSingleObject(device, wait_limit(timeout_ms));
  if (waited == WAIT_OBJECT_0)
    return GetOverlappedResult(device, &overlapped, &moved, FALSE) ? HidStatus::ok : HidStatus::failed;

  // Retire the transfer before `overlapped` and `buffer` go out of scope. It
  // may have completed between the wait and the cancel: then it counts.
  CancelIoEx(device, &overlapped);
  if (GetOverlappedResult(device, &overlapped, &moved, TRUE)) return HidStatus::ok;
  return waited == WAIT_TIMEOUT ? HidStatus::timed_out : HidStatus::failed;
}


// A HID interface of the system, opened for overlapped I/O.
class HidHandleDevice final : public HidDevice::Impl {
 public:
  explicit HidHandleDevice(HANDLE handle) : handle_(handle) {}
  ~HidHandleDevice() override { CloseHandle(handle_); }

  HidStatus write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    std::array<uint8_t, kTransferSize> buffer{};
    std::copy(report.begin(), report.end(), buffer.begin() + 1);
    return transfer(handle_, Direction::write, buffer.data(), timeout_ms);
  }

  HidStatus read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    std::array<uint8_t, kTransferSize> buffer{};
    const HidStatus status = transfer(handle_, Direction::read, buffer.data(), timeout_ms);
    if (status == HidStatus::ok) std::copy(buffer.begin() + 1, buffer.end(), report.begin());
    return status;
  }

  bool flush() override { return HidD_FlushQueue(handle_) != FALSE; }

 private:
  HANDLE handle_;
};

// Milliseconds left until a deadline on the tick count.
class Deadline {
 public:
  explicit Deadline(uint32_t timeout_ms) : start_(GetTickCount()), timeout_(timeout_ms) {}
  [[nodiscard]] uint32_t left() const {
    const uint32_t spent = GetTickCount() - start_;
    return spent >= timeout_ ? 0 : timeout_ - spent;
  }

 private:
  uint32_t start_;
  uint32_t timeout_;
};

enum class Ready { yes, timed_out, failed };

// Waits until `socket` can be read (or written) or the deadline passes.
Ready wait_socket(SOCKET socket, bool for_write, const Deadline& deadline) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  fd_set errors;
  FD_ZERO(&errors);
  FD_SET(socket, &errors);
  const uint32_t left = deadline.left();
  timeval limit{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
  const int n = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, &errors, &limit);
  if (n == 0) return Ready::timed_out;
  if (n == SOCKET_ERROR || FD_ISSET(socket, &errors)) return Ready::failed;
  return Ready::yes;
}

constexpr uint32_t kAttributeTimeoutMs = 1000;
constexpr uint32_t kConnectTimeoutMs = 1000;

// An emulated reader on a loopback TCP connection.
class TcpDevice final : public HidDevice::Impl {
 public:
  explicit TcpDevice(SOCKET socket) : socket_(socket) {}
  ~TcpDevice() override { closesocket(socket_); }

  HidStatus write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    if (broken_) return HidStatus::failed;
    std::array<uint8_t, kTransferSize> transfer{};
    std::copy(report.begin(), report.end(), transfer.begin() + 1);
    const Deadline deadline(timeout_ms);
    size_t sent = 0;
    while (sent < transfer.size()) {
      const int n = send(socket_, reinterpret_cast<const char*>(transfer.data() + sent),
                         static_cast<int>(transfer.size() - sent), 0);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        const Ready ready = wait_socket(socket_, true, deadline);
        if (ready == Ready::yes) continue;
        // Part of a transfer went out: the stream has lost its framing.
        if (sent > 0 || ready == Ready::failed) broken_ = true;
        return ready == Ready::timed_out && sent == 0 ? HidStatus::timed_out : HidStatus::failed;
      }
      broken_ = true;
      return HidStatus::failed;
    }
    return HidStatus::ok;
  }

  // A transfer that arrives only in part by the deadline is kept, and the
  // next read finishes it.
  HidStatus read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms) override {
    if (broken_) return HidStatus::failed;
    const Deadline deadline(timeout_ms);
    while (received_ < partial_.size()) {
      const int n = recv(socket_, reinterpret_cast<char*>(partial_.data() + received_),
                         static_cast<int>(partial_.size() - received_), 0);
      if (n > 0) {
        received_ += static_cast<size_t>(n);
        continue;
      }
      if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        const Ready ready = wait_socket(socket_, false, deadline);
        if (ready == Ready::yes) continue;
        if (ready == Ready::timed_out) return HidStatus::timed_out;
      }
      broken_ = true;  // closed by the reader (unplugged) or failed
      return HidStatus::failed;
    }
    received_ = 0;
    std::copy(partial_.begin() + 1, partial_.end(), report.begin());
    return HidStatus::ok;
  }

 private:
  SOCKET socket_;
  std::array<uint8_t, kTransferSize> partial_{};
  size_t received_ = 0;
  bool broken_ = false;
};

bool winsock_ready() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    WSADATA data;
    ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return ready;
}

// "127.0.0.1:7001" (any 127.x.x.x) or "[::1]:7001": loopback addresses only.
bool parse_loopback(const std::string& text, sockaddr_storage& address, int& size) {
  address = {};
  unsigned a = 0, b = 0, c = 0, d = 0, port = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u:%u%c", &a, &b, &c, &d, &port, &tail) == 5) {
    if (a != 127 || b > 255 || c > 255 || d > 255 || port == 0 || port > 65535) return false;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<u_short>(port));
    v4->sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
    size = sizeof(sockaddr_in);
    return true;
  }
  if (std::sscanf(text.c_str(), "[::1]:%u%c", &port, &tail) == 1 && port > 0 && port <= 65535) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<u_short>(port));
    v6->sin6_addr = in6addr_loopback;
    size = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

std::string first_line(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return {};
  std::string text(line);
  text = text.substr(0, text.find_first_of("\r\n"));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

// The ".tcp" files of the reader folder, in bytewise name order.
std::vector<std::string> tcp_entries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "\\*.tcp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.emplace_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());  // std::string compares as unsigned bytes
  return names;
}

// Connects to one emulated reader and checks its attribute bytes.
std::unique_ptr<HidDevice::Impl> open_tcp(const std::string& path, uint16_t vendor_id, uint16_t product_id) {
  sockaddr_storage address{};
  int size = 0;
  if (!winsock_ready() || !parse_loopback(first_line(path), address, size)) return nullptr;
  SOCKET s = socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return nullptr;
  auto device = std::make_unique<TcpDevice>(s);  // owns the socket from here on
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return nullptr;
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), size) == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return nullptr;
    if (wait_socket(s, true, Deadline(kConnectTimeoutMs)) != Ready::yes) return nullptr;
  }
  std::array<uint8_t, 4> attributes{};
  const Deadline deadline(kAttributeTimeoutMs);
  size_t got = 0;
  while (got < attributes.size()) {
    const int n = recv(s, reinterpret_cast<char*>(attributes.data() + got),
                       static_cast<int>(attributes.size() - got), 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && wait_socket(s, false, deadline) == Ready::yes)
      continue;
    return nullptr;  // closed at once: another client holds the reader
  }
  const uint16_t vendor = static_cast<uint16_t>(attributes[0] | (attributes[1] << 8));
  const uint16_t product = static_cast<uint16_t>(attributes[2] | (attributes[3] << 8));
  if (vendor != vendor_id || product != product_id) return nullptr;
  return device;
}

}  // namespace


HidDevice hid_open_first(uint16_t vendor_id, uint16_t product_id) {
  if (const char* folder = std::getenv("KIOSKKIT_READER_DIR"); folder != nullptr && *folder) {
    for (const std::string& name : tcp_entries(folder)) {
      const std::string path = std::string(folder) + "\\" + name;
      if (HeldInterface::held(path)) continue;
      if (auto impl = open_tcp(path, vendor_id, product_id)) {
        impl->held.hold(path);
        return HidDevice(std::move(impl));
      }
    }
  }

  GUID hid_class;
  HidD_GetHidGuid(&hid_class);
  const HDEVINFO set =
      SetupDiGetClassDevsA(&hid_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return HidDevice();

  HANDLE found = INVALID_HANDLE_VALUE;
  for (DWORD index = 0; index < kInterfaceIndexes && found == INVALID_HANDLE_VALUE; ++index) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    // Indexes may have gaps: a missing one does not end the search.
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hid_class, index, &interface_data)) continue;

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[required]);
    if (!storage) continue;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, nullptr, nullptr))
      break;  // the device set is no longer readable: no reader this time

    // No sharing: an interface someone holds fails here and is skipped.
    const HANDLE device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) continue;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(device, &attributes) && attributes.VendorID == vendor_id &&
        attributes.ProductID == product_id) {
      found = device;
    } else {
      CloseHandle(device);
    }
  }
  SetupDiDestroyDeviceInfoList(set);

  if (found == INVALID_HANDLE_VALUE) return HidDevice();
  auto impl = std::unique_ptr<HidDevice::Impl>(new (std::nothrow) HidHandleDevice(found));
  if (!impl) {
    CloseHandle(found);
    return HidDevice();
  }
  return HidDevice(std::move(impl));
}

}  // namespace kk::platform
