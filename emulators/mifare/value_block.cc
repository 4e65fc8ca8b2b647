#include "emulators/mifare/value_block.h"

#include <bit>

#include "common/bytes.h"

namespace kk::emu {

std::array<uint8_t, 16> encode_value_block(const ValueBlock& value) {
  const auto bits = std::bit_cast<uint32_t>(value.value);
  std::array<uint8_t, 16> block{};
  store_u32_le(&block[0], bits);
  store_u32_le(&block[4], ~bits);
  store_u32_le(&block[8], bits);
  const auto inverted_address = static_cast<uint8_t>(~value.address);
  block[12] = value.address;
  block[13] = inverted_address;
  block[14] = value.address;
  block[15] = inverted_address;
  return block;
}

std::optional<ValueBlock> decode_value_block(std::span<const uint8_t, 16> block) {
  const uint32_t bits = load_u32_le(&block[0]);
  const bool value_ok = load_u32_le(&block[4]) == ~bits && load_u32_le(&block[8]) == bits;
  const auto inverted_address = static_cast<uint8_t>(~block[12]);
  const bool address_ok =
      block[13] == inverted_address && block[14] == block[12] && block[15] == inverted_address;
  if (!value_ok || !address_ok) return std::nullopt;
  return ValueBlock{std::bit_cast<int32_t>(bits), block[12]};
}

}  // namespace kk::emu
