// The lf purse card, as bytes: a one-sector electronic purse whose balance
// is an unsigned 32-bit count in a MIFARE value block (block 0 of the
// sector), with a plain copy of the balance in block 1; block 2 holds an
// issue date; the trailer carries one per-card key as key A and key B. The
// key is never stored: it is derived from the card serial, the sector number
// and an 8-byte base key. The family also writes a time card: six time bytes
// and a CRC in sector 6, under a key derived the same way from a fixed base
// key.
//
// Pure functions, no I/O: what the blocks hold, how a balance is chosen from
// them and which block a load must bring up to date.
//
// Block 0, the purse (value-block format, least significant byte first):
//   bytes 0-3 balance, 4-7 its complement, 8-11 the balance again,
//   12 address byte, 13 its complement, 14 address byte, 15 its complement.
//   The address bytes are never chosen here: a rebuild keeps 12 and 14 as
//   they are and sets 13 and 15 to their complements.
// Block 1, the backup: bytes 0-3 the balance (least significant first),
//   bytes 4-15 zero at issue and carried along unchanged.
// Block 2: 20 99 12 31 (2099-12-31 in BCD), 55, then zeros; written at issue.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace kk::cardkit::lf {

using CardKey = SecretBytes<6>;
using BaseKey = SecretBytes<8>;
using SectorImage = std::array<uint8_t, 48>;  // blocks 0-2 of a sector

inline constexpr uint8_t kTimeCardSector = 6;
inline constexpr uint8_t kTimeMark = 0x54;  // "T", block 25 byte 0

// The card key: the message (sector, 0, 0, 0, serial most significant byte
// first) XOR the base key reversed, encrypted with two-key triple DES under
// the base key followed by (~b3)+5, b7, b6+7, ~b2, b1, (~b4)+3, ~b0, b5+1;
// the first six bytes.
[[nodiscard]] CardKey card_key(uint32_t serial, uint8_t sector, std::span<const uint8_t, 8> base_key);

// The time card's fixed base key (deployment_constants.h).
[[nodiscard]] BaseKey time_card_base_key();

// Block 0 is a valid purse: the three balance copies agree and each address
// byte has its complement beside it.
[[nodiscard]] bool purse_valid(std::span<const uint8_t, 16> block);
[[nodiscard]] uint32_t purse_balance(std::span<const uint8_t, 16> block);
// Rebuilds block 0 for `balance`, keeping the address bytes 12 and 14.
void set_purse(std::span<uint8_t, 16> block, uint32_t balance);

[[nodiscard]] uint32_t backup_balance(std::span<const uint8_t, 16> block);
// Sets the backup's balance; bytes 4-15 stay as they are.
void set_backup(std::span<uint8_t, 16> block, uint32_t balance);

// Blocks 0-2 of a newly issued purse: block 0 and block 1 zero (block 0 is
// thus not yet a valid purse: the first load rebuilds it from block 1, at
// balance 0), block 2 the issue date.
[[nodiscard]] SectorImage issued_sector();

// What a load of blocks 0 and 1 found, once it has put the image right.
struct PurseLoad {
  uint32_t balance = 0;
  // Block 0 was not a valid purse: it was rebuilt from the backup and must
  // be written back before anything else.
  bool repair_purse = false;
  // Block 0 was valid but the backup held another balance (a transaction
  // whose backup write did not land): the backup was brought up to date and
  // must be written back, before a later torn write could fall back on it.
  bool refresh_backup = false;
};

// The balance of a purse sector whose blocks 0 and 1 are in `image`: block
// 0 when valid, else the backup. Fixes whichever block disagrees in
// `image` and says which one to write.
[[nodiscard]] PurseLoad load_purse(SectorImage& image);

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF, most
// significant bit first, no final XOR).
[[nodiscard]] uint16_t time_card_crc(std::span<const uint8_t> bytes);

// Blocks 24-26 of a time card: block 24 zero; block 25 "T" and the six time
// bytes as given; block 26 zero but for the CRC of the first 46 bytes in
// bytes 14 (low) and 15 (high).
[[nodiscard]] SectorImage time_card_blocks(std::span<const uint8_t, 6> time);

}  // namespace kk::cardkit::lf
