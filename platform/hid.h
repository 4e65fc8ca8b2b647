// HID devices: finding one interface by vendor and product id, and moving
// 64-byte reports in and out of it with a time-out. This is all the reader
// transport needs from the system: framing, CRCs and retries live in the kit.
// On Windows the interfaces are the present HID device interfaces; on POSIX
// systems they are first the emulated readers in the folder named by
// KIOSKKIT_READER_DIR (Unix sockets and ".tcp" files, in bytewise name order),
// then the hidraw interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kk::platform {

// Bytes of one report, without the report id the system adds in front.
inline constexpr size_t kHidReportSize = 64;

enum class HidStatus : uint8_t {
  ok,         // the whole report went out or came in
  timed_out,  // nothing (or not all of it) moved within the time-out
  failed,     // the device is gone or refused the transfer
};

// One open HID interface, held exclusively by this process. Move-only; the
// destructor closes it. Transfers on one device must not overlap: the caller
// serialises them (the kit holds the reader's lock). A transfer that times
// out never completes later into the caller's storage.
class HidDevice {
 public:
  HidDevice();
  ~HidDevice();
  HidDevice(HidDevice&&) noexcept;
  HidDevice& operator=(HidDevice&&) noexcept;

  // False for the "no device" value that a failed open returns.
  [[nodiscard]] bool is_open() const;

  // Sends one report (report id 0), waiting at most `timeout_ms` for it to
  // be taken.
  [[nodiscard]] HidStatus write_report(std::span<const uint8_t, kHidReportSize> report, uint32_t timeout_ms);

  // Takes in one report, waiting at most `timeout_ms` for it to arrive.
  // `report` is written only on HidStatus::ok.
  [[nodiscard]] HidStatus read_report(std::span<uint8_t, kHidReportSize> report, uint32_t timeout_ms);

  // Discards every input report already queued. False when the device is gone.
  bool flush();

  // Closes the device; is_open() is false afterwards. Closing twice is harmless.
  void close();

  struct Impl;  // the system's device state, defined by each implementation
  explicit HidDevice(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

// Opens the first interface, in interface order, whose attributes carry
// `vendor_id` and `product_id` and which nobody holds yet (in this process or
// another): interfaces that fail to open are skipped. Returns a device that
// is not open when there is none.
[[nodiscard]] HidDevice hid_open_first(uint16_t vendor_id, uint16_t product_id);

}  // namespace kk::platform
