#include "emulators/mifare/access_conditions.h"

#include <stdexcept>

namespace kk::emu {
namespace {

// Bit `group` of each of the nibbles C1, C2, C3.
struct ConditionNibbles {
  uint8_t c1 = 0;
  uint8_t c2 = 0;
  uint8_t c3 = 0;
};

constexpr uint8_t inverted(uint8_t nibble) { return static_cast<uint8_t>(~nibble & 0x0F); }

constexpr Keys A = Keys::a;
constexpr Keys B = Keys::b;
constexpr Keys AB = Keys::a_or_b;
constexpr Keys never = Keys::never;

// The card standard's data-block table, indexed by C1C2C3.
constexpr std::array<DataPermissions, 8> kDataTable{{
    {AB, AB, AB, AB},           // 000 transport configuration
    {AB, never, never, AB},     // 001 value block, decrement only
    {AB, never, never, never},  // 010 read-only
    {B, B, never, never},       // 011
    {AB, B, never, never},      // 100
    {B, never, never, never},   // 101
    {AB, B, B, AB},             // 110 value block
    {never, never, never, never},
}};

// The card standard's trailer table, indexed by C1C2C3.
constexpr std::array<TrailerPermissions, 8> kTrailerTable{{
    {A, A, never, A, A},           // 000
    {A, A, A, A, A},               // 001 transport configuration
    {never, A, never, A, never},   // 010
    {B, AB, B, never, B},          // 011
    {B, AB, never, never, B},      // 100
    {never, AB, B, never, never},  // 101
    {never, AB, never, never, never},
    {never, AB, never, never, never},
}};

Condition checked(Condition condition) {
  if (condition > 7) throw std::invalid_argument("access condition above 7");
  return condition;
}

}  // namespace

std::optional<SectorConditions> decode_access_bytes(std::span<const uint8_t, 3> bytes) {
  const ConditionNibbles plain{static_cast<uint8_t>(bytes[1] >> 4), static_cast<uint8_t>(bytes[2] & 0x0F),
                               static_cast<uint8_t>(bytes[2] >> 4)};
  const bool consistent = (bytes[0] & 0x0F) == inverted(plain.c1) && (bytes[0] >> 4) == inverted(plain.c2) &&
                          (bytes[1] & 0x0F) == inverted(plain.c3);
  if (!consistent) return std::nullopt;
  SectorConditions conditions;
  for (unsigned group = 0; group < 4; ++group) {
    const unsigned c1 = (plain.c1 >> group) & 1U;
    const unsigned c2 = (plain.c2 >> group) & 1U;
    const unsigned c3 = (plain.c3 >> group) & 1U;
    conditions.group[group] = static_cast<Condition>((c1 << 2) | (c2 << 1) | c3);
  }
  return conditions;
}

std::array<uint8_t, 3> encode_access_bytes(const SectorConditions& conditions) {
  ConditionNibbles plain;
  for (unsigned group = 0; group < 4; ++group) {
    const Condition condition = checked(conditions.group[group]);
    plain.c1 = static_cast<uint8_t>(plain.c1 | (((condition >> 2) & 1U) << group));
    plain.c2 = static_cast<uint8_t>(plain.c2 | (((condition >> 1) & 1U) << group));
    plain.c3 = static_cast<uint8_t>(plain.c3 | ((condition & 1U) << group));
  }
  return {static_cast<uint8_t>((inverted(plain.c2) << 4) | inverted(plain.c1)),
          static_cast<uint8_t>((plain.c1 << 4) | inverted(plain.c3)),
          static_cast<uint8_t>((plain.c3 << 4) | plain.c2)};
}

DataPermissions data_permissions(Condition condition) { return kDataTable[checked(condition)]; }

TrailerPermissions trailer_permissions(Condition condition) { return kTrailerTable[checked(condition)]; }

bool key_b_readable(Condition condition) { return trailer_permissions(condition).key_b_read != Keys::never; }

const char* keys_name(Keys keys) {
  switch (keys) {
    case Keys::never:
      return "never";
    case Keys::a:
      return "key A";
    case Keys::b:
      return "key B";
    case Keys::a_or_b:
      return "key A or B";
  }
  return "?";
}

std::string condition_name(Condition condition) {
  checked(condition);
  std::string name;
  for (int bit = 2; bit >= 0; --bit) name += ((condition >> bit) & 1U) != 0 ? '1' : '0';
  return name;
}

}  // namespace kk::emu
