#include "cardkit/layouts/water/water_codec.h"

#include <algorithm>

#include "common/bytes.h"

namespace kk::cardkit::water {
namespace {

constexpr uint8_t kHeaderMark = 0x58;     // "X"
constexpr uint8_t kParameterMark = 0x66;  // "f"
constexpr uint32_t kBalanceMask = 0xFFFFFF;

void seal(std::span<uint8_t, 16> block) { block[15] = checksum(block); }

}  // namespace

uint8_t checksum(std::span<const uint8_t, 16> block) {
  unsigned sum = 0;
  for (size_t i = 0; i < 15; ++i) sum += block[i];
  return static_cast<uint8_t>(sum);
}

bool checksum_ok(std::span<const uint8_t, 16> block) { return block[15] == checksum(block); }

uint32_t balance_of(std::span<const uint8_t, 16> block) { return load_u24_be(&block[12]); }

void set_balance(std::span<uint8_t, 16> block, uint32_t balance) {
  store_u24_be(&block[12], balance & kBalanceMask);
  store_u24_be(&block[9], ~balance & kBalanceMask);
  seal(block);
}

SectorImage issued_user_sector() {
  SectorImage image{};
  const auto balance = std::span(image).first<16>();
  set_balance(balance, 0);
  const auto header = std::span(image).subspan<16, 16>();
  header[0] = kHeaderMark;
  store_u32_be(&header[1], 1);
  seal(header);
  std::copy(balance.begin(), balance.end(), image.begin() + 32);
  return image;
}

Block parameter_card_key_block(uint8_t water_sector, std::span<const uint8_t, 6> water_key) {
  Block block{};
  block[0] = water_sector;
  std::copy(water_key.begin(), water_key.end(), block.begin() + 1);
  seal(block);
  return block;
}

Block parameter_block(uint32_t code, uint8_t byte_argument, int32_t argument32, int32_t argument24) {
  Block block{};
  block[0] = kParameterMark;
  block[1] = static_cast<uint8_t>(code);
  block[2] = byte_argument;
  store_u32_be(&block[3], static_cast<uint32_t>(argument32));
  store_u24_be(&block[7], static_cast<uint32_t>(argument24) & kBalanceMask);
  seal(block);
  return block;
}

}  // namespace kk::cardkit::water
