// The lfzx card design, as bytes, for the three layouts that share it:
// lfzx, gsts and gstshot. One MIFARE Classic sector holds a 16-bit balance
// in a self-checking block (block 0), a fixed header (block 1) and a
// byte-for-byte backup of the balance block (block 2); the trailer carries
// the transport access bytes FF 07 80 69 between the layout's keys. The
// three differ only in what the layout table below says: the sector, how
// the keys are formed, whether the serial's low byte s0 enters the check
// bytes, and which bytes byte 1 sums.
//
// Balance block (lfzx rules; a layout's table entry changes them):
//   byte 0   XOR of bytes 1-14 (gsts: XOR s0 too)
//   byte 1   byte 2 + byte 3 (gsts, gstshot: + byte 4), modulo 256
//   bytes 2-3 balance, least significant byte first
//   byte 4, bytes 6-14 carried along as read (zero on a new card)
//   byte 5   complement of byte 1
//   byte 15  complement of the sum of bytes 1-14 (gsts: + s0), modulo 256
//
// Pure functions, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace kk::cardkit::lfzx {

using Block = std::array<uint8_t, 16>;
using SectorImage = std::array<uint8_t, 48>;
using Key = SecretBytes<6>;

// How key A is formed.
enum class KeyA : uint8_t {
  fixed,          // the lfzx key, "b7e0a9"
  prefix_serial,  // two fixed bytes, then the serial most significant byte first (gsts)
  wrap_serial,    // a fixed byte, the serial most significant byte first, a fixed byte (gstshot)
};

// Which bytes byte 1 of the balance block sums.
enum class Byte1 : uint8_t {
  two,           // bytes 2 and 3 (lfzx)
  three,         // bytes 2, 3 and 4 (gsts)
  three_or_two,  // written as bytes 2, 3 and 4; valid as either sum (gstshot)
};

struct Layout {
  const char* name;
  uint8_t sector;
  KeyA key_a;
  bool common_key_b;  // key B is the common key B (else key A)
  bool salted;        // s0 enters bytes 0 and 15
  Byte1 byte1;
  Block header;  // block 1; bytes 0 and 15 recomputed when salted
};

extern const Layout kLfzx;
extern const Layout kGsts;
extern const Layout kGstshot;

// Key A and key B of a card with this serial (gsts and gstshot use the
// serial of the card in the field; lfzx none).
[[nodiscard]] Key key_a(const Layout& layout, uint32_t serial);
[[nodiscard]] Key key_b(const Layout& layout, uint32_t serial);

// The balance block's checks, for a card whose serial's low byte is `s0`.
[[nodiscard]] bool balance_valid(const Layout& layout, uint8_t s0, std::span<const uint8_t, 16> block);
[[nodiscard]] uint16_t balance_of(std::span<const uint8_t, 16> block);
// Sets bytes 2-3 to `balance`, then byte 1 and 5, then bytes 0 and 15;
// bytes 4 and 6-14 stay as they are.
void set_balance(const Layout& layout, uint8_t s0, std::span<uint8_t, 16> block, uint16_t balance);

// Blocks 0-2 of a newly issued card: balance 0, the header, the backup.
[[nodiscard]] SectorImage issued_sector(const Layout& layout, uint8_t s0);

}  // namespace kk::cardkit::lfzx
