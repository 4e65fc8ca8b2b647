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
// Emulated readers come first in interface order: the ".tcp" files of the
// folder named by KIOSKKIT_READER_DIR, through the carrier shared with the
// other systems (hid_stream.h).
#include "platform/hid.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// This MinGW header declares the HID functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <algorithm>
#include <array>
#include <memory>
#include <new>

#include "platform/hid_impl.h"
#include "platform/hid_stream.h"

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

}  // namespace

HidDevice hid_open_first(uint16_t vendor_id, uint16_t product_id) {
  if (auto emulated = open_emulated_interface(vendor_id, product_id)) return HidDevice(std::move(emulated));

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
