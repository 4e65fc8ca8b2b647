// The water card, as bytes. A user card keeps a 24-bit balance in one
// sector (the water sector W, configured by the host) under one 6-byte key,
// the water key, as key A and key B; a parameter card carries the water
// sector and key in sector 0 (under a fixed parameter-card key) and four
// host parameters in block 1 of the water sector. Every block this layout
// writes ends in a checksum: byte 15 is the sum of bytes 0-14, modulo 256.
// Multi-byte numbers are most significant byte first.
//
// User card, water sector:
//   block 0  bytes 0-8 carried along (zero at issue), 9-11 the complement of
//            12-14, 12-14 the balance, 15 checksum
//   block 1  "X", 00 00 00 01, zeros, checksum (0x59); never interpreted
//   block 2  a byte-for-byte copy of block 0
// Parameter card:
//   sector 0 block 1  W, the water key, zeros, checksum
//   water sector block 1  "f", code (low byte), byte argument, 32-bit
//            argument, low 24 bits of the 24-bit argument, zeros, checksum
// The trailers carry the transport access bytes FF 07 80 69.
//
// Pure functions, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kk::cardkit::water {

using Block = std::array<uint8_t, 16>;
using SectorImage = std::array<uint8_t, 48>;

// Key A and key B of sector 0 of every parameter card.
inline constexpr std::array<uint8_t, 6> kParameterCardKey = {0x3C, 0x71, 0x0E, 0x9A, 0x5D, 0x28};

[[nodiscard]] uint8_t checksum(std::span<const uint8_t, 16> block);
[[nodiscard]] bool checksum_ok(std::span<const uint8_t, 16> block);

[[nodiscard]] uint32_t balance_of(std::span<const uint8_t, 16> block);
// Sets bytes 9-14 for the low 24 bits of `balance` and the checksum; bytes
// 0-8 stay as they are.
void set_balance(std::span<uint8_t, 16> block, uint32_t balance);

// Blocks 0-2 of a new user card at balance 0.
[[nodiscard]] SectorImage issued_user_sector();

// Sector 0 block 1 of a parameter card.
[[nodiscard]] Block parameter_card_key_block(uint8_t water_sector, std::span<const uint8_t, 6> water_key);
// Water sector block 1 of a parameter card.
[[nodiscard]] Block parameter_block(uint32_t code, uint8_t byte_argument, int32_t argument32,
                                    int32_t argument24);

}  // namespace kk::cardkit::water
