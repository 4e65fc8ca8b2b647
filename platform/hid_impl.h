// The device state behind HidDevice, shared by the system implementations
// of hid.h (not part of its interface): each kind of interface derives from
// HidDevice::Impl, and the forwarding of HidDevice lives in hid_device.cc.
#pragma once

#include <cstdint>
#include <span>

#include "platform/hid.h"
#include "platform/hid_held.h"

namespace kk::platform {

struct HidDevice::Impl {
  Impl() = default;
  virtual ~Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  virtual HidStatus write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t timeout_ms) = 0;
  virtual HidStatus read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms) = 0;
  // Discards the input reports already queued. By default it reads them
  // until none is waiting; an interface with a queue of its own may empty it
  // at once.
  virtual bool flush();

  HeldInterface held;  // set once the device is open
};

}  // namespace kk::platform
