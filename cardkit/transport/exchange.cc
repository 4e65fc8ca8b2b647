// Opening readers, moving reports, and one request/reply exchange.
#include <algorithm>

#include "cardkit/transport/transport.h"
#include "common/bytes.h"

namespace kk::cardkit {

namespace {

TransportResult from_status(platform::HidStatus status) {
  switch (status) {
    case platform::HidStatus::ok:
      return TransportResult::ok;
    case platform::HidStatus::timed_out:
      return TransportResult::timed_out;
    case platform::HidStatus::failed:
      break;
  }
  return TransportResult::io_failed;
}

}  // namespace

platform::HidDevice reader_open() {
  platform::HidDevice device = platform::hid_open_first(kReaderVendorId, kReaderProductId);
  // Anything the reader queued before we took it belongs to nobody.
  if (device.is_open()) (void)device.flush();
  return device;
}

TransportResult hid_write_report(platform::HidDevice& device, std::span<const uint8_t, kReportSize> report,
                                 uint32_t timeout_ms) {
  return from_status(device.write_report(report, timeout_ms));
}

TransportResult hid_read_report(platform::HidDevice& device, std::span<uint8_t, kReportSize> report,
                                uint32_t timeout_ms) {
  return from_status(device.read_report(report, timeout_ms));
}

TransportResult reader_exchange(platform::HidDevice& device, uint16_t device_id, ReaderPacket& packet,
                                uint32_t timeout_ms) {
  packet.address = device_id;
  std::array<uint8_t, kPacketSize> request{};
  const size_t request_size = packet_build(packet, request);
  if (request_size == 0) return TransportResult::bad_request;

  // A report already waiting answers no request of this exchange (a reply
  // that came after its own exchange gave up): it must not be read as the
  // reply to this one.
  if (!device.flush()) return TransportResult::io_failed;

  for (size_t offset = 0; offset < request_size; offset += kReportSize) {
    std::array<uint8_t, kReportSize> report{};  // zero filler after the last piece
    const size_t piece = std::min(kReportSize, request_size - offset);
    std::copy_n(request.begin() + static_cast<std::ptrdiff_t>(offset), piece, report.begin());
    if (const auto r = hid_write_report(device, report, timeout_ms); r != TransportResult::ok) return r;
  }

  // Reports are stored whole, so the storage takes every report of the
  // largest reply, the last one included.
  std::array<uint8_t, kMaxReplyReports * kReportSize> reply{};
  auto first = std::span(reply).first<kReportSize>();
  if (const auto r = hid_read_report(device, first, timeout_ms); r != TransportResult::ok) return r;
  if (reply[0] != kPacketStart) return TransportResult::bad_reply;

  size_t total = 0;
  switch (reply[1] & 0x0F) {
    case 0:
      total = size_t{load_u16_be(&reply[3])} + 7;
      break;
    case 1:
      total = size_t{load_u16_be(&reply[4])} + 8;
      break;
    default:
      return TransportResult::bad_reply;
  }
  if (total < 9 || total > kPacketSize) return TransportResult::bad_reply;

  for (size_t offset = kReportSize; offset < total; offset += kReportSize) {
    auto next = std::span(reply).subspan(offset).first<kReportSize>();
    if (const auto r = hid_read_report(device, next, timeout_ms); r != TransportResult::ok) return r;
  }
  return packet_parse(packet, std::span(reply).first(total));
}

}  // namespace kk::cardkit
