#include "cardkit/layouts/lfzxdc/lfzxdc_codec.h"

#include <algorithm>

#include "cardkit/layouts/deployment_constants.h"

namespace kk::cardkit::lfzxdc {
namespace {

constexpr size_t kType = 0, kPrefix = 2, kNumber = 4, kSequence = 8, kAmount = 10, kPriceValue = 12,
                 kPriceWord = 16, kFixed = 19, kNextSequence = 22, kCheckWord = 27, kChecksum = 31;
constexpr uint8_t kClearPrefixByte = 0xAA, kClearNumberByte = 0x2C;
constexpr std::array<uint8_t, 2> kFixedBytes = {0x0F, 0x78};
constexpr uint32_t kNumberModulus = 100'000'000;
constexpr size_t kDeviceCounter = 9;  // block 16

bool all_zero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

void seal(std::span<uint8_t, 48> terminal) { terminal[kChecksum] = checksum(terminal); }

uint16_t next_sequence_of(std::span<const uint8_t, 48> terminal) {
  return static_cast<uint16_t>(load_u16_be(&terminal[kSequence]) + 1);
}

}  // namespace

Key card_key(uint32_t serial) {
  const auto s0 = static_cast<uint8_t>(serial), s1 = static_cast<uint8_t>(serial >> 8),
             s2 = static_cast<uint8_t>(serial >> 16), s3 = static_cast<uint8_t>(serial >> 24);
  namespace d = deployment;
  Key key{};
  key[0] = s0 ^ d::kLfzxdcC0;
  key[1] = s1;
  key[2] = s2 ^ d::kLfzxdcC2;
  key[3] = s3 ^ d::kLfzxdcC3;
  key[4] = s0 ^ s2 ^ d::kLfzxdcC4;
  key[5] = s1 ^ s3 ^ d::kLfzxdcC5;
  return key;
}

void bcd_encode(uint32_t value, std::span<uint8_t> field) {
  for (size_t i = field.size(); i-- > 0;) {
    const uint32_t two = value % 100;
    field[i] = static_cast<uint8_t>((two / 10) << 4 | (two % 10));
    value /= 100;
  }
}

uint32_t bcd_decode(std::span<const uint8_t> field) {
  uint32_t value = 0;
  for (const uint8_t b : field) value = value * 100 + 10u * (b >> 4) + (b & 0x0F);
  return value;
}

uint8_t checksum(std::span<const uint8_t, 48> terminal) {
  unsigned sum = 0;
  for (size_t i = 0; i < kChecksum; ++i) sum += terminal[i];
  return static_cast<uint8_t>(sum);
}

std::array<uint8_t, 4> check_word(std::span<const uint8_t, 48> terminal) {
  const uint32_t p = load_u32_be(&terminal[kSequence]);
  const uint32_t q = load_u32_be(&terminal[kPriceValue]);
  std::array<uint8_t, 4> word{};
  store_u32_be(word.data(), (q << 5) ^ (p << 3));
  const std::array<uint8_t, 4> added = {0x5A, terminal[kPriceWord], terminal[kPriceWord + 1], 0xA5};
  for (size_t i = 0; i < 4; ++i) word[i] = static_cast<uint8_t>(word[i] + added[i]);
  return word;
}

SectorImage issued_terminal_sector() {
  SectorImage terminal{};
  terminal[kType] = kUserCard;
  seal(terminal);
  return terminal;
}

void set_card_number(std::span<uint8_t, 48> terminal, uint16_t prefix, uint32_t number) {
  terminal[kType] = kUserCard;
  terminal[kType + 1] = 0;
  bcd_encode(prefix, terminal.subspan(kPrefix, 2));
  bcd_encode(number % kNumberModulus, terminal.subspan(kNumber, 4));
  seal(terminal);
}

void make_clear_card(std::span<uint8_t, 48> terminal) {
  terminal[kType] = kClearCard;
  terminal[kType + 1] = 0;
  terminal[kPrefix] = kClearPrefixByte;
  terminal[kPrefix + 1] = kClearPrefixByte;
  terminal[kNumber] = kClearNumberByte;
  seal(terminal);
}

void set_price(std::span<uint8_t, 48> terminal, uint16_t word, uint32_t value) {
  store_u32_be(&terminal[kPriceValue], value);
  store_u16_be(&terminal[kPriceWord], word);
  std::copy(kFixedBytes.begin(), kFixedBytes.end(), terminal.begin() + kFixed);
  const auto check = check_word(terminal);
  std::copy(check.begin(), check.end(), terminal.begin() + kCheckWord);
  seal(terminal);
}

void set_purchase(std::span<uint8_t, 48> terminal, uint32_t sequence, uint16_t amount) {
  store_u16_be(&terminal[kSequence], static_cast<uint16_t>(sequence));
  store_u16_be(&terminal[kAmount], amount);
  store_u16_be(&terminal[kNextSequence], static_cast<uint16_t>(sequence + 1));
  const auto check = check_word(terminal);
  std::copy(check.begin(), check.end(), terminal.begin() + kCheckWord);
  seal(terminal);
}

uint32_t prefix_of(std::span<const uint8_t, 48> terminal) { return bcd_decode(terminal.subspan(kPrefix, 2)); }

uint32_t card_number_of(std::span<const uint8_t, 48> terminal) {
  return bcd_decode(terminal.subspan(kNumber, 4));
}

bool complete_record(std::span<uint8_t, 48> terminal) {
  bool changed = false;
  if (!all_zero(terminal.subspan(kSequence, 4)) &&
      load_u16_be(&terminal[kNextSequence]) != next_sequence_of(terminal)) {
    store_u16_be(&terminal[kNextSequence], next_sequence_of(terminal));
    changed = true;
  }
  if (!all_zero(terminal.subspan(kSequence, 8))) {
    const auto check = check_word(terminal);
    if (!std::equal(check.begin(), check.end(), terminal.begin() + kCheckWord)) {
      std::copy(check.begin(), check.end(), terminal.begin() + kCheckWord);
      changed = true;
    }
  }
  if (terminal[kChecksum] != checksum(terminal)) {
    seal(terminal);
    changed = true;
  }
  return changed;
}

PurchaseState purchase_state(const CardImage& image) {
  PurchaseState state;
  if (all_zero(std::span(image.device).first(16))) return state;
  state.device_used = true;
  const uint16_t counter = load_u16_be(&image.device[kDeviceCounter]);
  state.next_sequence = uint32_t{counter} + 1;
  state.pending =
      counter == load_u16_be(&image.terminal[kSequence]) ? 0 : load_u16_be(&image.terminal[kAmount]);
  return state;
}

}  // namespace kk::cardkit::lfzxdc
