// CRC-16 over the polynomial 0x1021, MSB first, one table look-up per byte.
#include "cardkit/transport/crc16.h"

#include <array>

namespace kk::cardkit {

namespace {

// table[i] is the CRC register after shifting the byte i through it from 0.
constexpr std::array<uint16_t, 256> make_table() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[i] = static_cast<uint16_t>(crc);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = make_table();

}  // namespace

uint16_t packet_crc16(std::span<const uint8_t> bytes, uint16_t crc) {
  for (const uint8_t byte : bytes)
    crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ byte) & 0xFF]);
  return crc;
}

}  // namespace kk::cardkit
