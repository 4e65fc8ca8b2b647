#include "emulators/mifare/access_conditions.h"

#include <gtest/gtest.h>

#include <array>

namespace kk::emu {
namespace {

TEST(AccessBytes, DecodesTheTrailersTheCardLayoutsUse) {
  struct Case {
    const char* name;
    std::array<uint8_t, 3> bytes;
    SectorConditions expected;
  };
  const Case cases[] = {
      {"transport", {0xFF, 0x07, 0x80}, {{0, 0, 0, 1}}},
      {"keyed", {0x7F, 0x07, 0x88}, {{0, 0, 0, 3}}},
      {"value blocks 110, trailer 011", {0x08, 0x77, 0x8F}, {{6, 6, 6, 3}}},
      {"all never", {0x00, 0xF0, 0xFF}, {{7, 7, 7, 7}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = decode_access_bytes(c.bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, c.expected);
    EXPECT_EQ(encode_access_bytes(c.expected), c.bytes);
  }
}

// Every combination of the four groups survives a round trip, and flipping
// any single bit of its encoding breaks the plain/inverted pairing.
TEST(AccessBytes, EveryCombinationRoundTripsAndEveryBitFlipIsDetected) {
  for (unsigned combination = 0; combination < 8 * 8 * 8 * 8; ++combination) {
    SectorConditions conditions;
    for (unsigned group = 0; group < 4; ++group) {
      conditions.group[group] = static_cast<Condition>((combination >> (3 * group)) & 7U);
    }
    const auto bytes = encode_access_bytes(conditions);
    const auto decoded = decode_access_bytes(bytes);
    ASSERT_TRUE(decoded.has_value()) << combination;
    ASSERT_EQ(*decoded, conditions) << combination;
    for (unsigned bit = 0; bit < 24; ++bit) {
      auto flipped = bytes;
      flipped[bit / 8] = static_cast<uint8_t>(flipped[bit / 8] ^ (1U << (bit % 8)));
      ASSERT_FALSE(decode_access_bytes(flipped).has_value()) << combination << " bit " << bit;
    }
  }
}

TEST(AccessBytes, ConditionsAboveSevenAreRefused) {
  EXPECT_THROW((void)encode_access_bytes(SectorConditions{{0, 8, 0, 1}}), std::invalid_argument);
  EXPECT_THROW((void)data_permissions(8), std::invalid_argument);
  EXPECT_EQ(condition_name(3), "011");
}

}  // namespace
}  // namespace kk::emu
