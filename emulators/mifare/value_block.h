// The MIFARE Classic value-block format: a signed 32-bit value stored three
// times (plain, inverted, plain, least significant byte first) and a one-byte
// address stored four times (plain, inverted, plain, inverted). The card
// refuses value operations on a block that does not hold this pattern.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kk::emu {

struct ValueBlock {
  int32_t value = 0;
  uint8_t address = 0;
  friend bool operator==(const ValueBlock&, const ValueBlock&) = default;
};

[[nodiscard]] std::array<uint8_t, 16> encode_value_block(const ValueBlock& value);

// The value and address of a well-formed value block; nothing when any copy
// disagrees with the others.
[[nodiscard]] std::optional<ValueBlock> decode_value_block(std::span<const uint8_t, 16> block);

}  // namespace kk::emu
