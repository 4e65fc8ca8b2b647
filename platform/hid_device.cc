// HidDevice forwards to the system's device state (hid_impl.h).
#include <array>

#include "platform/hid_impl.h"

namespace kk::platform {

bool HidDevice::Impl::flush() {
  std::array<uint8_t, kHidReportSize> discard{};
  for (;;) {
    switch (read_report(discard, 0)) {
      case HidStatus::ok:
        continue;
      case HidStatus::timed_out:
        return true;
      case HidStatus::failed:
        return false;
    }
  }
}

HidDevice::HidDevice() = default;
HidDevice::HidDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HidDevice::~HidDevice() = default;
HidDevice::HidDevice(HidDevice&&) noexcept = default;
HidDevice& HidDevice::operator=(HidDevice&&) noexcept = default;

bool HidDevice::is_open() const { return impl_ != nullptr; }

HidStatus HidDevice::write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t timeout_ms) {
  return impl_ ? impl_->write_report(report, timeout_ms) : HidStatus::failed;
}

HidStatus HidDevice::read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms) {
  return impl_ ? impl_->read_report(report, timeout_ms) : HidStatus::failed;
}

bool HidDevice::flush() { return impl_ && impl_->flush(); }

void HidDevice::close() { impl_.reset(); }

}  // namespace kk::platform
