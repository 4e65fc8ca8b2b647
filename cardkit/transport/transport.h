// The reader transport: the lowest layer of the link to a card reader. It
// finds and opens a reader among the HID interfaces, moves 64-byte reports
// with a time-out, and carries one request packet and its reply over them.
//
// A packet, in logical order, is: start byte 0xAE; address form (0: one-byte
// device id follows, 1: two-byte id follows, big-endian); the device id;
// length L (big-endian, = 2 + payload length); packet type (high byte
// first); the payload; CRC-16 (see crc16.h, high byte first). A whole packet
// is L + 7 bytes in the one-byte form and L + 8 in the two-byte form, and
// never more than 300. Requests go out byte-reversed (CRC low byte first,
// start byte last); replies arrive in natural order.
//
// Who calls what: the discovery thread calls reader_open() on each pass; the
// encrypted command channel and the set-address request call
// reader_exchange() while holding the reader's lock, which serialises all
// traffic with one reader. The layer keeps no state and takes no lock, and
// nothing on the packet path touches the heap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/hid.h"

namespace kk::cardkit {

// Reader identity in the HID attributes.
inline constexpr uint16_t kReaderVendorId = 0x0925;
inline constexpr uint16_t kReaderProductId = 0x4552;

inline constexpr size_t kReportSize = platform::kHidReportSize;  // 64
inline constexpr size_t kPacketSize = 300;                       // largest packet
// Largest payload: a 300-byte packet in the one-byte address form.
inline constexpr size_t kMaxPayload = kPacketSize - 9;
// Reports of the largest reply: received reports are stored whole.
inline constexpr size_t kMaxReplyReports = (kPacketSize + kReportSize - 1) / kReportSize;

inline constexpr uint8_t kPacketStart = 0xAE;
inline constexpr uint16_t kPacketTypeCommand = 0x0900;     // encrypted command frame
inline constexpr uint16_t kPacketTypeSetAddress = 0x8081;  // plain set-address request

// Time-outs for each single report write and read, in milliseconds.
inline constexpr uint32_t kCommandTimeoutMs = 4000;
inline constexpr uint32_t kSetAddressTimeoutMs = 1000;

// Every outcome of this layer. The layers above report anything but ok as
// their transport failure (C code 1) and retire the reader.
enum class TransportResult : uint8_t {
  ok = 0,
  bad_request,  // the caller's packet cannot be built (payload length < 0 or too long)
  timed_out,    // a report was not taken or did not arrive within the time-out
  io_failed,    // the device refused a transfer or is gone
  bad_reply,    // the reply is not an intact packet
};

// One packet: filled by the caller before an exchange, and by the exchange
// (or packet_parse) from the reply.
struct ReaderPacket {
  uint16_t address = 0;        // device id: the reader's on requests, the one it answered with on replies
  uint16_t type = 0;           // kPacketType*; not kept from replies
  int32_t payload_length = 0;  // bytes used in `payload`
  std::array<uint8_t, kMaxPayload> payload{};
};

// Opens the first reader (vendor 0x0925, product 0x4552) in interface order
// that nobody holds yet and flushes its input queue. A reader this process
// already holds is skipped, so successive calls return each attached reader
// once. Returns a device that is not open when there is no new reader.
[[nodiscard]] platform::HidDevice reader_open();

// Writes one 64-byte report, waiting at most `timeout_ms`. ok, timed_out or
// io_failed.
[[nodiscard]] TransportResult hid_write_report(platform::HidDevice& device,
                                               std::span<const uint8_t, kReportSize> report,
                                               uint32_t timeout_ms);

// Reads one 64-byte report, waiting at most `timeout_ms`. ok, timed_out or
// io_failed; `report` is written only on ok (a read that timed out is a
// failure, never a report of zeros, and cannot complete into `report` later).
[[nodiscard]] TransportResult hid_read_report(platform::HidDevice& device,
                                              std::span<uint8_t, kReportSize> report, uint32_t timeout_ms);

// Builds the wire form of `packet` (address, type, payload) into `buffer`:
// the one-byte address form for addresses below 256, the two-byte form
// otherwise, CRC appended, then the whole packet reversed. Returns its length
// in bytes, or 0 when the payload length is negative or the packet would
// exceed 300 bytes.
[[nodiscard]] size_t packet_build(const ReaderPacket& packet, std::span<uint8_t, kPacketSize> buffer);

// Decodes a reply in natural order. ok when `bytes` is exactly one intact
// packet: start byte 0xAE, address form 0 or 1 (low four bits of byte 1), a
// length field that accounts for every byte, at most 300 bytes, CRC intact.
// Then address, payload and payload length are stored in `packet` (type is
// left alone); otherwise bad_reply and `packet` is untouched.
[[nodiscard]] TransportResult packet_parse(ReaderPacket& packet, std::span<const uint8_t> bytes);

// One request and its reply: sets `packet.address` to `device_id`, discards
// every report already queued (none of them answers this request), sends the
// built packet in 64-byte reports (the last one zero-filled), reads the
// reply's reports, and decodes the reply into `packet`. `timeout_ms` applies
// to every single report. A reply whose first byte is not 0xAE, whose address
// form is neither 0 nor 1, or whose announced total is below 9 or above 300
// bytes fails with bad_reply before any further report is read. Nothing is
// retried. The caller holds the reader's lock for the whole call.
[[nodiscard]] TransportResult reader_exchange(platform::HidDevice& device, uint16_t device_id,
                                              ReaderPacket& packet, uint32_t timeout_ms);

}  // namespace kk::cardkit
