// The lfzxdc prepaid card, as bytes. Sectors 3 and 4, both keyed with one
// per-card key derived from the serial. Sector 3 is the terminal's side:
// card type, a card number in BCD, a price record, the last purchase and a
// check word over it. Sector 4 is the consuming device's side: the library
// reads its counter (block 16 bytes 9-10) to learn which purchase the
// device has taken. Multi-byte numbers are most significant byte first.
//
// Sector 3, offsets into blocks 12-14:
//   0 card type (0x13 user card, 0x16 clear card), 1 zero,
//   2-3 card-number prefix (4 BCD digits; AA AA on a clear card),
//   4-7 card number (8 BCD digits; byte 4 = 2C on a clear card),
//   8-9 purchase sequence number, 10-11 purchase amount,
//   12-15 price value, 16-17 price word, 19-20 0F 78,
//   22-23 sequence number + 1, 27-30 the check word, 31 the checksum (sum of
//   offsets 0-30), 32-47 (block 14) zero.
// Check word: X = (Q << 5) XOR (P << 3) over the 32-bit numbers P (offsets
// 8-11) and Q (offsets 12-15); its four bytes plus 0x5A, offset 16, offset
// 17 and 0xA5, each modulo 256.
//
// Block 12 holds everything a purchase or price sets but the derived fields
// of block 13 (sequence + 1, check word, checksum). A sector-3 write puts
// block 12 first, so block 13 can always be brought in step with block 12
// (complete_record) when a write stopped between the two.
//
// Pure functions, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace kk::cardkit::lfzxdc {

using SectorImage = std::array<uint8_t, 48>;
using Key = SecretBytes<6>;

inline constexpr uint8_t kTerminalSector = 3;
inline constexpr uint8_t kDeviceSector = 4;
inline constexpr uint8_t kUserCard = 0x13;
inline constexpr uint8_t kClearCard = 0x16;
inline constexpr uint32_t kPrefixLimit = 10000;  // four BCD digits

// Blocks 12-13 and 16-17 as the last image read found them.
struct CardImage {
  SectorImage terminal{};  // sector 3
  SectorImage device{};    // sector 4
};

// s0^c0, s1, s2^c2, s3^c3, s0^s2^c4, s1^s3^c5 (s0 the least significant
// byte; the constants in deployment_constants.h).
[[nodiscard]] Key card_key(uint32_t serial);

// Two decimal digits a byte, high nibble first, from the least significant
// end; `value` beyond the field's digits loses its high digits.
void bcd_encode(uint32_t value, std::span<uint8_t> field);
// 10 * high nibble + low nibble per byte (nibbles not checked), bytes
// weighted by powers of 100 from the last.
[[nodiscard]] uint32_t bcd_decode(std::span<const uint8_t> field);

[[nodiscard]] uint8_t checksum(std::span<const uint8_t, 48> terminal);
[[nodiscard]] std::array<uint8_t, 4> check_word(std::span<const uint8_t, 48> terminal);

// Blocks 12-14 of a newly issued card: user card type, zeros, checksum.
[[nodiscard]] SectorImage issued_terminal_sector();

// The changes of each writing export, checksum included.
void set_card_number(std::span<uint8_t, 48> terminal, uint16_t prefix, uint32_t number);
void make_clear_card(std::span<uint8_t, 48> terminal);
void set_price(std::span<uint8_t, 48> terminal, uint16_t word, uint32_t value);
void set_purchase(std::span<uint8_t, 48> terminal, uint32_t sequence, uint16_t amount);

[[nodiscard]] uint32_t prefix_of(std::span<const uint8_t, 48> terminal);
[[nodiscard]] uint32_t card_number_of(std::span<const uint8_t, 48> terminal);

// Brings the derived fields of block 13 in step with block 12: offsets
// 22-23 when a purchase is recorded (offsets 8-11 not all zero), the check
// word when a purchase or price is (offsets 8-15 not all zero), and the
// checksum. True when anything changed, that is when a sector-3 write was
// cut off between its two blocks: on a card written only by whole writes
// every field is already in step.
[[nodiscard]] bool complete_record(std::span<uint8_t, 48> terminal);

struct PurchaseState {
  bool device_used = false;    // block 16 not all zero
  uint32_t next_sequence = 0;  // device counter + 1
  uint32_t pending = 0;        // amount of a purchase the device has not taken
};
[[nodiscard]] PurchaseState purchase_state(const CardImage& image);

}  // namespace kk::cardkit::lfzxdc
