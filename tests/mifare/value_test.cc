#include <gtest/gtest.h>

#include <limits>

#include "emulators/mifare/card.h"
#include "emulators/mifare/value_block.h"
#include "tests/mifare/card_test_support.h"

namespace kk::emu {
namespace {

using namespace test;

TEST(ValueBlock, EncodesValueThreeTimesAndAddressFourTimes) {
  const Block block = encode_value_block({-2, 0x05});
  const Block expected{0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00,
                       0xFE, 0xFF, 0xFF, 0xFF, 0x05, 0xFA, 0x05, 0xFA};
  EXPECT_EQ(block, expected);
  EXPECT_EQ(decode_value_block(block), (ValueBlock{-2, 0x05}));
}

// Corrupting any one copy of the value or the address makes the block
// malformed; every one of the sixteen bytes is covered by some copy.
TEST(ValueBlock, AnyDisagreeingCopyIsMalformed) {
  const Block good = encode_value_block({123456, 0x09});
  for (unsigned byte = 0; byte < 16; ++byte) {
    Block bad = good;
    bad[byte] ^= 0x01;
    EXPECT_FALSE(decode_value_block(bad).has_value()) << byte;
  }
  EXPECT_FALSE(decode_value_block(Block{}).has_value());  // an all-zero block is not a value block
}

class ValueTest : public ::testing::Test {
 protected:
  ValueTest() {
    (void)card.select();
    // Sector 1: blocks 4-6 value blocks (condition 110), keyed trailer rules.
    prepare_sector(card, 1, SectorConditions{{0b110, 0b110, 0b110, 0b011}});
    card.set_raw_block(4, encode_value_block({1000, 4}));
  }
  std::optional<ValueBlock> value_at(unsigned block) const {
    return decode_value_block(card.raw_block(block));
  }

  Card card{CardType::classic_1k, kUid};
};

TEST_F(ValueTest, IncrementDecrementAndRestoreWorkThroughTransfer) {
  ASSERT_EQ(card.authenticate(4, KeyType::b, kKeyB), CardResult::ok);
  ASSERT_EQ(card.increment(4, 250), CardResult::ok);
  EXPECT_EQ(value_at(4), (ValueBlock{1000, 4}));  // nothing stored before the transfer
  ASSERT_EQ(card.transfer(4), CardResult::ok);
  EXPECT_EQ(value_at(4), (ValueBlock{1250, 4}));

  ASSERT_EQ(card.decrement(4, 1300), CardResult::ok);
  ASSERT_EQ(card.transfer(4), CardResult::ok);
  EXPECT_EQ(value_at(4), (ValueBlock{-50, 4}));

  // Restore and transfer copy a value to a backup block, address byte and all.
  ASSERT_EQ(card.restore(4), CardResult::ok);
  ASSERT_EQ(card.transfer(5), CardResult::ok);
  EXPECT_EQ(value_at(5), (ValueBlock{-50, 4}));

  // Under condition 110 key A may decrement but not increment.
  ASSERT_EQ(card.authenticate(4, KeyType::a, kKeyA), CardResult::ok);
  EXPECT_EQ(card.increment(4, 1), CardResult::access_denied);
  EXPECT_EQ(card.decrement(4, 1), CardResult::ok);
  EXPECT_EQ(card.transfer(4), CardResult::ok);
  EXPECT_EQ(value_at(4), (ValueBlock{-51, 4}));
}

TEST_F(ValueTest, MalformedBlocksOverflowAndAMissingValueAreRefused) {
  ASSERT_EQ(card.authenticate(4, KeyType::b, kKeyB), CardResult::ok);
  Block torn = encode_value_block({1000, 4});
  torn[9] ^= 0xFF;  // second plain copy disagrees
  card.set_raw_block(6, torn);
  EXPECT_EQ(card.increment(6, 1), CardResult::bad_value);
  EXPECT_EQ(card.decrement(6, 1), CardResult::bad_value);
  EXPECT_EQ(card.restore(6), CardResult::bad_value);
  EXPECT_EQ(card.restore(5), CardResult::bad_value);  // zero block
  EXPECT_EQ(card.transfer(6), CardResult::no_value);

  card.set_raw_block(5, encode_value_block({std::numeric_limits<int32_t>::max() - 1, 5}));
  EXPECT_EQ(card.increment(5, 2), CardResult::value_overflow);
  EXPECT_EQ(card.increment(5, 1), CardResult::ok);
  card.set_raw_block(5, encode_value_block({std::numeric_limits<int32_t>::min() + 1, 5}));
  EXPECT_EQ(card.decrement(5, 2), CardResult::value_overflow);
  EXPECT_EQ(card.decrement(5, 1), CardResult::ok);
  EXPECT_EQ(card.transfer(5), CardResult::ok);
  EXPECT_EQ(value_at(5)->value, std::numeric_limits<int32_t>::min());
  // A negative amount would turn a decrement into an increment.
  EXPECT_EQ(card.decrement(5, -1), CardResult::bad_operand);
  EXPECT_EQ(card.increment(5, std::numeric_limits<int32_t>::min()), CardResult::bad_operand);

  // The value register does not outlive the authentication.
  ASSERT_EQ(card.increment(4, 1), CardResult::ok);
  ASSERT_EQ(card.authenticate(4, KeyType::b, kKeyB), CardResult::ok);
  EXPECT_EQ(card.transfer(4), CardResult::no_value);
  EXPECT_EQ(card.transfer(7), CardResult::access_denied);  // never into the trailer
}

TEST_F(ValueTest, TornTransferLeavesAMalformedValueBlock) {
  ASSERT_EQ(card.authenticate(4, KeyType::b, kKeyB), CardResult::ok);
  ASSERT_EQ(card.decrement(4, 1), CardResult::ok);
  card.tear_write();
  EXPECT_EQ(card.transfer(4), CardResult::write_torn);
  EXPECT_FALSE(value_at(4).has_value());
  (void)card.select();
  ASSERT_EQ(card.authenticate(4, KeyType::b, kKeyB), CardResult::ok);
  EXPECT_EQ(card.restore(4), CardResult::bad_value);
}

}  // namespace
}  // namespace kk::emu
