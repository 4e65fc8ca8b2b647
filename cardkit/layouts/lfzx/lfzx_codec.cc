#include "cardkit/layouts/lfzx/lfzx_codec.h"

#include <algorithm>

#include "cardkit/layouts/deployment_constants.h"

namespace kk::cardkit::lfzx {
namespace {

constexpr std::array<uint8_t, 6> kLfzxKey = {'b', '7', 'e', '0', 'a', '9'};
constexpr std::array<uint8_t, 6> kCommonKeyB = {0x2D, 0x94, 0xE1, 0x5B, 0xC0, 0x76};

uint8_t xor_of(std::span<const uint8_t, 16> block) {
  uint8_t x = 0;
  for (size_t i = 1; i <= 14; ++i) x ^= block[i];
  return x;
}

uint8_t sum_of(std::span<const uint8_t, 16> block) {
  unsigned s = 0;
  for (size_t i = 1; i <= 14; ++i) s += block[i];
  return static_cast<uint8_t>(s);
}

uint8_t byte1_sum(std::span<const uint8_t, 16> block, bool with_byte4) {
  return static_cast<uint8_t>(block[2] + block[3] + (with_byte4 ? block[4] : 0));
}

// Bytes 0 and 15 for bytes 1-14 as they stand.
void set_check_bytes(const Layout& layout, uint8_t s0, std::span<uint8_t, 16> block) {
  const uint8_t salt = layout.salted ? s0 : 0;
  block[0] = static_cast<uint8_t>(xor_of(block) ^ salt);
  block[15] = static_cast<uint8_t>(~(sum_of(block) + salt));
}

}  // namespace

const Layout kLfzx = {
    "lfzx",
    6,
    KeyA::fixed,
    false,
    false,
    Byte1::two,
    {0x4E, 0x01, 0xA1, 0x35, 0xFF, 0xBB, 0x6E, 0x00, 0x01, 0x47, 0xB7, 0x00, 0x00, 0x00, 0x00, 0x01}};
const Layout kGsts = {
    "gsts",
    15,
    KeyA::prefix_serial,
    true,
    true,
    Byte1::three,
    {0x00, 0x01, 0x88, 0x88, 0xFF, 0xBB, 0xCC, 0x00, 0x00, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}};
const Layout kGstshot = {
    "gstshot",
    11,
    KeyA::wrap_serial,
    true,
    false,
    Byte1::three_or_two,
    {0x00, 0x01, 0x77, 0x01, 0xFF, 0xBB, 0xCC, 0x00, 0x00, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}};

Key key_a(const Layout& layout, uint32_t serial) {
  Key key{};
  switch (layout.key_a) {
    case KeyA::fixed:
      std::copy(kLfzxKey.begin(), kLfzxKey.end(), key.begin());
      break;
    case KeyA::prefix_serial:
      key[0] = deployment::kGstsKeyPrefix[0];
      key[1] = deployment::kGstsKeyPrefix[1];
      store_u32_be(&key[2], serial);
      break;
    case KeyA::wrap_serial:
      key[0] = deployment::kGstshotKeyFirst;
      store_u32_be(&key[1], serial);
      key[5] = deployment::kGstshotKeyLast;
      break;
  }
  return key;
}

Key key_b(const Layout& layout, uint32_t serial) {
  if (!layout.common_key_b) return key_a(layout, serial);
  Key key{};
  std::copy(kCommonKeyB.begin(), kCommonKeyB.end(), key.begin());
  return key;
}

bool balance_valid(const Layout& layout, uint8_t s0, std::span<const uint8_t, 16> block) {
  const uint8_t b1 = block[1];
  bool sum_ok = false;
  switch (layout.byte1) {
    case Byte1::two:
      sum_ok = b1 == byte1_sum(block, false);
      break;
    case Byte1::three:
      sum_ok = b1 == byte1_sum(block, true);
      break;
    case Byte1::three_or_two:
      sum_ok = b1 == byte1_sum(block, true) || b1 == byte1_sum(block, false);
      break;
  }
  const uint8_t salt = layout.salted ? s0 : 0;
  return sum_ok && block[5] == static_cast<uint8_t>(~b1) &&
         block[0] == static_cast<uint8_t>(xor_of(block) ^ salt) &&
         block[15] == static_cast<uint8_t>(~(sum_of(block) + salt));
}

uint16_t balance_of(std::span<const uint8_t, 16> block) { return load_u16_le(&block[2]); }

void set_balance(const Layout& layout, uint8_t s0, std::span<uint8_t, 16> block, uint16_t balance) {
  store_u16_le(&block[2], balance);
  block[1] = byte1_sum(block, layout.byte1 != Byte1::two);
  block[5] = static_cast<uint8_t>(~block[1]);
  set_check_bytes(layout, s0, block);
}

SectorImage issued_sector(const Layout& layout, uint8_t s0) {
  SectorImage image{};
  const auto balance = std::span(image).first<16>();
  set_balance(layout, s0, balance, 0);
  const auto header = std::span(image).subspan<16, 16>();
  std::copy(layout.header.begin(), layout.header.end(), header.begin());
  if (layout.salted) set_check_bytes(layout, s0, header);
  std::copy(balance.begin(), balance.end(), image.begin() + 32);
  return image;
}

}  // namespace kk::cardkit::lfzx
