#include "cardkit/layouts/lf/lf_codec.h"

#include <algorithm>

#include "cardkit/crypto/triple_des.h"
#include "cardkit/layouts/deployment_constants.h"
#include "cardkit/transport/crc16.h"

namespace kk::cardkit::lf {
namespace {

constexpr uint16_t kCcittFalseInit = 0xFFFF;
constexpr std::array<uint8_t, 5> kIssueDate = {0x20, 0x99, 0x12, 0x31, 0x55};

uint8_t inv(uint8_t b) { return static_cast<uint8_t>(~b); }
uint8_t add(uint8_t b, unsigned n) { return static_cast<uint8_t>(b + n); }

}  // namespace

CardKey card_key(uint32_t serial, uint8_t sector, std::span<const uint8_t, 8> base_key) {
  const auto& b = base_key;
  SecretBytes<8> data{};
  data[0] = sector;
  store_u32_be(&data[4], serial);
  for (size_t i = 0; i < 8; ++i) data[i] ^= b[7 - i];

  SecretBytes<16> key{};
  std::copy(b.begin(), b.end(), key.begin());
  const std::array<uint8_t, 8> tail = {add(inv(b[3]), 5), b[7],      add(b[6], 7), inv(b[2]), b[1],
                                       add(inv(b[4]), 3), inv(b[0]), add(b[5], 1)};
  std::copy(tail.begin(), tail.end(), key.begin() + 8);
  des3_ecb_encrypt(key, data);

  CardKey out{};
  std::copy_n(data.begin(), out.size(), out.begin());
  return out;
}

BaseKey time_card_base_key() {
  BaseKey key{};
  store_u32_be(&key[0], deployment::kTimeCardBaseKeyHigh);
  store_u32_be(&key[4], deployment::kTimeCardBaseKeyLow);
  return key;
}

bool purse_valid(std::span<const uint8_t, 16> block) {
  for (size_t i = 0; i < 4; ++i) {
    if (block[i] != block[8 + i] || block[4 + i] != inv(block[i])) return false;
  }
  return block[13] == inv(block[12]) && block[15] == inv(block[14]);
}

uint32_t purse_balance(std::span<const uint8_t, 16> block) { return load_u32_le(&block[0]); }

void set_purse(std::span<uint8_t, 16> block, uint32_t balance) {
  store_u32_le(&block[0], balance);
  store_u32_le(&block[4], ~balance);
  store_u32_le(&block[8], balance);
  block[13] = inv(block[12]);
  block[15] = inv(block[14]);
}

uint32_t backup_balance(std::span<const uint8_t, 16> block) { return load_u32_le(&block[0]); }

void set_backup(std::span<uint8_t, 16> block, uint32_t balance) { store_u32_le(&block[0], balance); }

SectorImage issued_sector() {
  SectorImage image{};
  std::copy(kIssueDate.begin(), kIssueDate.end(), image.begin() + 32);
  return image;
}

PurseLoad load_purse(SectorImage& image) {
  const auto purse = std::span(image).first<16>();
  const auto backup = std::span(image).subspan<16, 16>();
  PurseLoad load;
  if (purse_valid(purse)) {
    load.balance = purse_balance(purse);
    if (backup_balance(backup) != load.balance) {
      set_backup(backup, load.balance);
      load.refresh_backup = true;
    }
  } else {
    load.balance = backup_balance(backup);
    set_purse(purse, load.balance);
    load.repair_purse = true;
  }
  return load;
}

uint16_t time_card_crc(std::span<const uint8_t> bytes) { return packet_crc16(bytes, kCcittFalseInit); }

SectorImage time_card_blocks(std::span<const uint8_t, 6> time) {
  SectorImage image{};
  image[16] = kTimeMark;
  std::copy(time.begin(), time.end(), image.begin() + 17);
  const uint16_t crc = time_card_crc(std::span(image).first(46));
  store_u16_le(&image[46], crc);
  return image;
}

}  // namespace kk::cardkit::lf
