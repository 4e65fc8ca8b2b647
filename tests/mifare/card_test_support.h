// Shared helpers of the card model tests: a selected card and a way to give
// one of its sectors chosen keys and access conditions.
#pragma once

#include <array>

#include "emulators/mifare/card.h"

namespace kk::emu::test {

inline constexpr Uid kUid{0x12, 0x34, 0x56, 0x78};
inline constexpr Key kTransportKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr Key kKeyA{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
inline constexpr Key kKeyB{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
inline constexpr std::array<uint8_t, 3> kKeyedAccess{0x7F, 0x07, 0x88};
inline constexpr std::array<uint8_t, 3> kTransportAccess{0xFF, 0x07, 0x80};

inline Block filled(uint8_t byte) {
  Block block;
  block.fill(byte);
  return block;
}

// Gives `sector` key A kKeyA, key B kKeyB and `conditions`, past every check.
inline void prepare_sector(Card& card, unsigned sector, const SectorConditions& conditions) {
  card.set_raw_block(trailer_block_of_sector(sector),
                     make_trailer(kKeyA, encode_access_bytes(conditions), 0x69, kKeyB));
}

// The tables' "key A|B" notation read independently of the model's own helper,
// so a fault there cannot hide in the expectations.
inline bool may(Keys keys, KeyType key) {
  switch (keys) {
    case Keys::never:
      return false;
    case Keys::a:
      return key == KeyType::a;
    case Keys::b:
      return key == KeyType::b;
    case Keys::a_or_b:
      return true;
  }
  return false;
}

inline const Key& key_of(KeyType type) { return type == KeyType::a ? kKeyA : kKeyB; }

}  // namespace kk::emu::test
