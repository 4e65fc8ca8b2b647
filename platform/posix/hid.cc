// POSIX HID devices. Two kinds of interface stand behind HidDevice here:
//
//  - emulated readers in the folder named by KIOSKKIT_READER_DIR, Unix
//    stream sockets and ".tcp" files, through the carrier shared with the
//    other systems (hid_stream.h);
//  - hidraw interfaces, through hidapi. hidraw itself lets any number of
//    openers in; an exclusive flock() on the device node stands in for the
//    no-sharing open of Windows, so a reader that this process or another kit
//    process holds is skipped, and the lock goes away with its holder even
//    when that holder crashes.
#include "platform/hid.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <mutex>
#include <utility>

#include "platform/hid_impl.h"
#include "platform/hid_stream.h"

namespace kk::platform {

namespace {

// One report on the wire: report id 0, then the report.
constexpr size_t kTransferSize = kHidReportSize + 1;

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
  if (auto emulated = open_emulated_interface(vendor_id, product_id)) return HidDevice(std::move(emulated));
  return HidDevice(open_hidraw(vendor_id, product_id));
}

}  // namespace kk::platform
