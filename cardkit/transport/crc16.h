// The CRC-16 that guards every reader packet: polynomial 0x1021, most
// significant bit first, initial value 0xA1EC, no final XOR. Run over a whole
// packet including its CRC field (high byte first) it ends at 0, which is how
// an intact packet is recognised.
#pragma once

#include <cstdint>
#include <span>

namespace kk::cardkit {

inline constexpr uint16_t kPacketCrcInit = 0xA1EC;

// Table-driven, one byte at a time. `crc` is the running value, so a CRC can
// be carried over several pieces; other initial values give the other
// members of the 0x1021 family (0 for XMODEM, 0xFFFF for CCITT-FALSE).
[[nodiscard]] uint16_t packet_crc16(std::span<const uint8_t> bytes, uint16_t crc = kPacketCrcInit);

}  // namespace kk::cardkit
