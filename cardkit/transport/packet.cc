// Building request packets and decoding reply packets.
#include <algorithm>

#include "cardkit/transport/crc16.h"
#include "cardkit/transport/transport.h"
#include "common/bytes.h"

namespace kk::cardkit {

namespace {

// Bytes in front of the length field: start byte, address form, device id.
constexpr size_t header_size(uint8_t address_form) { return address_form == 0 ? 3 : 4; }
// Length field, packet type and CRC around the payload.
constexpr size_t kFrameOverhead = 2 + 2 + 2;

}  // namespace

size_t packet_build(const ReaderPacket& packet, std::span<uint8_t, kPacketSize> buffer) {
  const uint8_t form = packet.address < 0x100 ? 0 : 1;
  const size_t header = header_size(form);
  if (packet.payload_length < 0) return 0;
  const auto payload_length = static_cast<size_t>(packet.payload_length);
  if (payload_length > kPacketSize - header - kFrameOverhead) return 0;

  uint8_t* p = buffer.data();
  p[0] = kPacketStart;
  p[1] = form;
  if (form == 0)
    p[2] = static_cast<uint8_t>(packet.address);
  else
    store_u16_be(p + 2, packet.address);
  store_u16_be(p + header, static_cast<uint16_t>(payload_length + 2));
  store_u16_be(p + header + 2, packet.type);
  std::copy_n(packet.payload.begin(), payload_length, p + header + 4);
  const size_t crc_at = header + 4 + payload_length;
  store_u16_be(p + crc_at, packet_crc16(buffer.first(crc_at)));
  const size_t total = crc_at + 2;
  // The reader takes requests last byte first.
  std::reverse(p, p + total);
  return total;
}

TransportResult packet_parse(ReaderPacket& packet, std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  if (n < header_size(0) + kFrameOverhead || n > kPacketSize) return TransportResult::bad_reply;
  if (bytes[0] != kPacketStart) return TransportResult::bad_reply;
  if (packet_crc16(bytes) != 0) return TransportResult::bad_reply;

  const uint8_t form = bytes[1] & 0x0F;
  if (form > 1) return TransportResult::bad_reply;
  const size_t header = header_size(form);
  if (n < header + kFrameOverhead) return TransportResult::bad_reply;
  const uint16_t address = form == 0 ? bytes[2] : load_u16_be(&bytes[2]);
  const size_t length = load_u16_be(&bytes[header]);
  // The length field counts the type and the payload; it must account for
  // exactly the bytes received, so no payload byte is taken from past them.
  if (length < 2 || header + 2 + length + 2 != n) return TransportResult::bad_reply;

  const size_t payload_length = length - 2;
  packet.address = address;
  packet.payload_length = static_cast<int32_t>(payload_length);
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(header + 4), payload_length,
              packet.payload.begin());
  return TransportResult::ok;
}

}  // namespace kk::cardkit
