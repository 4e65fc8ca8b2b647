#include "emulators/mifare/card.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/mifare/card_test_support.h"

namespace kk::emu {
namespace {

using namespace test;

class CardTest : public ::testing::Test {
 protected:
  CardTest() { (void)card.select(); }

  CardResult auth(unsigned block, KeyType type, const Key& key) {
    return card.authenticate(block, type, key);
  }
  CardResult read(unsigned block) { return card.read_block(block, last_read); }
  CardResult write(unsigned block, const Block& data) { return card.write_block(block, data); }

  Card card{CardType::classic_1k, kUid};
  Block last_read{};
};

TEST_F(CardTest, FreshCardHasManufacturerBlockTransportTrailersAndZeroData) {
  EXPECT_EQ(card.serial(), 0x12345678U);
  const Block block0 = card.raw_block(0);
  EXPECT_EQ(block0[0], 0x12);
  EXPECT_EQ(block0[3], 0x78);
  EXPECT_EQ(block0[4], 0x12 ^ 0x34 ^ 0x56 ^ 0x78);  // BCC
  EXPECT_EQ(block0[5], 0x08);                       // SAK of a 1K card
  EXPECT_EQ(block0[6], 0x04);                       // ATQA, least significant byte first
  EXPECT_EQ(block0[7], 0x00);
  for (unsigned block = 1; block < block_count(CardType::classic_1k); ++block) {
    const bool trailer = block % 4 == 3;
    EXPECT_EQ(card.raw_block(block),
              trailer ? make_trailer(kTransportKey, kTransportAccess, 0x69, kTransportKey) : Block{})
        << block;
  }
}

TEST(Card, SelectReturnsTheSerialWithTheFirstUidByteMostSignificant) {
  Card card(CardType::classic_4k, Uid{0xDE, 0xAD, 0x00, 0x01});
  EXPECT_FALSE(card.selected());
  EXPECT_EQ(card.select(), 0xDEAD0001U);
  EXPECT_EQ(card.raw_block(0)[5], 0x18);  // SAK of a 4K card
  EXPECT_EQ(card.raw_block(0)[6], 0x02);
}

TEST_F(CardTest, ManufacturerBlockIsReadOnlyUnderEveryKey) {
  ASSERT_EQ(auth(0, KeyType::a, kTransportKey), CardResult::ok);
  const Block before = card.raw_block(0);
  EXPECT_EQ(write(0, filled(0x55)), CardResult::access_denied);
  EXPECT_EQ(card.transfer(0), CardResult::access_denied);
  EXPECT_EQ(read(0), CardResult::ok);
  EXPECT_EQ(last_read, before);
  EXPECT_EQ(write(1, filled(0x55)), CardResult::ok);  // the rest of sector 0 is writable
  EXPECT_EQ(card.raw_block(0), before);
}

// The card standard's data-block table, exercised through the card for all
// eight conditions, with key A and with key B.
TEST_F(CardTest, DataBlockAccessFollowsTheConditionTable) {
  struct Row {
    Condition condition;
    Keys read, write, increment, decrement;
  };
  using K = Keys;
  const Row rows[] = {
      {0b000, K::a_or_b, K::a_or_b, K::a_or_b, K::a_or_b}, {0b010, K::a_or_b, K::never, K::never, K::never},
      {0b100, K::a_or_b, K::b, K::never, K::never},        {0b110, K::a_or_b, K::b, K::b, K::a_or_b},
      {0b001, K::a_or_b, K::never, K::never, K::a_or_b},   {0b011, K::b, K::b, K::never, K::never},
      {0b101, K::b, K::never, K::never, K::never},         {0b111, K::never, K::never, K::never, K::never},
  };
  const unsigned sector = 2;
  const unsigned block = 9;  // data block 1 of sector 2: group 1
  auto expect = [](Keys keys, KeyType key) {
    return may(keys, key) ? CardResult::ok : CardResult::access_denied;
  };
  for (const Row& row : rows) {
    for (const KeyType key : {KeyType::a, KeyType::b}) {
      SCOPED_TRACE("condition " + condition_name(row.condition) + (key == KeyType::a ? " key A" : " key B"));
      // Trailer condition 011 keeps key B unreadable, so key B is a key.
      prepare_sector(card, sector, SectorConditions{{0, row.condition, 0, 3}});
      const Block value = encode_value_block({100, static_cast<uint8_t>(block)});
      card.set_raw_block(block, value);
      ASSERT_EQ(auth(block, key, key_of(key)), CardResult::ok);

      EXPECT_EQ(read(block), expect(row.read, key));
      EXPECT_EQ(card.increment(block, 5), expect(row.increment, key));
      EXPECT_EQ(card.decrement(block, 5), expect(row.decrement, key));
      EXPECT_EQ(card.restore(block), expect(row.decrement, key));
      EXPECT_EQ(card.transfer(block), may(row.decrement, key) ? CardResult::ok : CardResult::access_denied);
      const Block other = filled(0x5A);
      EXPECT_EQ(write(block, other), expect(row.write, key));
      EXPECT_EQ(card.raw_block(block), may(row.write, key) ? other : value);
      // The neighbouring groups keep condition 000.
      EXPECT_EQ(write(block - 1, other), CardResult::ok);
    }
  }
}

// The card standard's trailer table for all eight conditions: what each key
// sees when it reads the trailer and which parts a write changes.
TEST_F(CardTest, TrailerAccessFollowsTheConditionTable) {
  struct Row {
    Condition condition;
    Keys key_a_write, access_read, access_write, key_b_read, key_b_write;
  };
  using K = Keys;
  const Row rows[] = {
      {0b000, K::a, K::a, K::never, K::a, K::a},
      {0b010, K::never, K::a, K::never, K::a, K::never},
      {0b100, K::b, K::a_or_b, K::never, K::never, K::b},
      {0b110, K::never, K::a_or_b, K::never, K::never, K::never},
      {0b001, K::a, K::a, K::a, K::a, K::a},
      {0b011, K::b, K::a_or_b, K::b, K::never, K::b},
      {0b101, K::never, K::a_or_b, K::b, K::never, K::never},
      {0b111, K::never, K::a_or_b, K::never, K::never, K::never},
  };
  const unsigned sector = 5;
  const unsigned trailer = trailer_block_of_sector(sector);
  const Key new_a{1, 2, 3, 4, 5, 6};
  const Key new_b{7, 8, 9, 10, 11, 12};
  for (const Row& row : rows) {
    for (const KeyType key : {KeyType::a, KeyType::b}) {
      SCOPED_TRACE("condition " + condition_name(row.condition) + (key == KeyType::a ? " key A" : " key B"));
      const SectorConditions conditions{{0, 0, 0, row.condition}};
      prepare_sector(card, sector, conditions);
      const Block before = card.raw_block(trailer);
      ASSERT_EQ(auth(trailer, key, key_of(key)), CardResult::ok);
      const bool key_b_is_data = key == KeyType::b && may(row.key_b_read, KeyType::a);

      // Read: key A always zeros; the rest only where readable.
      if (key_b_is_data) {
        EXPECT_EQ(read(trailer), CardResult::access_denied);
      } else {
        ASSERT_EQ(read(trailer), CardResult::ok);
        Block expected{};
        if (may(row.access_read, key))
          std::copy(before.begin() + 6, before.begin() + 10, expected.begin() + 6);
        if (may(row.key_b_read, key)) std::copy(before.begin() + 10, before.end(), expected.begin() + 10);
        EXPECT_EQ(last_read, expected);
      }

      // Write new keys and a new general-purpose byte (same access bytes, so
      // the conditions stay put): exactly the writable parts change.
      const Block wanted = make_trailer(new_a, encode_access_bytes(conditions), 0x42, new_b);
      const bool a_ok = !key_b_is_data && may(row.key_a_write, key);
      const bool access_ok = !key_b_is_data && may(row.access_write, key);
      const bool b_ok = !key_b_is_data && may(row.key_b_write, key);
      EXPECT_EQ(write(trailer, wanted),
                a_ok || access_ok || b_ok ? CardResult::ok : CardResult::access_denied);
      const Block after = card.raw_block(trailer);
      EXPECT_EQ(after[0] == 1, a_ok);
      EXPECT_EQ(after[9] == 0x42, access_ok);
      EXPECT_EQ(after[10] == 7, b_ok);
    }
  }
}

TEST_F(CardTest, ReadableKeyBOpensTheSectorButEveryAccessIsRefused) {
  // Transport trailer: key B can be read with key A, so it is data.
  ASSERT_EQ(auth(4, KeyType::b, kTransportKey), CardResult::ok);
  EXPECT_EQ(card.authenticated_sector(), 1U);
  EXPECT_EQ(read(4), CardResult::access_denied);
  EXPECT_EQ(write(4, filled(1)), CardResult::access_denied);
  EXPECT_EQ(read(7), CardResult::access_denied);
  EXPECT_EQ(write(7, transport_trailer()), CardResult::access_denied);
  card.set_raw_block(5, encode_value_block({1, 5}));
  EXPECT_EQ(card.increment(5, 1), CardResult::access_denied);
  EXPECT_EQ(card.restore(5), CardResult::access_denied);
  EXPECT_EQ(card.transfer(5), CardResult::access_denied);

  // Key A reads key B in the clear there, and never itself.
  ASSERT_EQ(auth(4, KeyType::a, kTransportKey), CardResult::ok);
  ASSERT_EQ(read(7), CardResult::ok);
  EXPECT_EQ(last_read, make_trailer(Key{}, kTransportAccess, 0x69, kTransportKey));
}

TEST_F(CardTest, AuthenticationIsClearedByFailureSelectionAndHalt) {
  ASSERT_EQ(auth(8, KeyType::a, kTransportKey), CardResult::ok);
  ASSERT_EQ(read(9), CardResult::ok);
  EXPECT_EQ(auth(8, KeyType::a, kKeyA), CardResult::auth_failed);
  EXPECT_EQ(card.authenticated_sector(), std::nullopt);
  EXPECT_EQ(read(9), CardResult::not_authenticated);

  ASSERT_EQ(auth(8, KeyType::a, kTransportKey), CardResult::ok);
  EXPECT_EQ(card.select(), 0x12345678U);
  EXPECT_EQ(read(9), CardResult::not_authenticated);

  ASSERT_EQ(auth(8, KeyType::a, kTransportKey), CardResult::ok);
  card.halt();
  EXPECT_EQ(read(9), CardResult::not_selected);
  EXPECT_EQ(auth(8, KeyType::a, kTransportKey), CardResult::not_selected);
  (void)card.select();
  EXPECT_EQ(read(9), CardResult::not_authenticated);
}

TEST_F(CardTest, AccessIsLimitedToTheAuthenticatedSectorAndTheCard) {
  ASSERT_EQ(auth(10, KeyType::a, kTransportKey), CardResult::ok);  // any block opens its sector
  EXPECT_EQ(card.authenticated_sector(), 2U);
  EXPECT_EQ(read(8), CardResult::ok);
  EXPECT_EQ(read(11), CardResult::ok);
  EXPECT_EQ(read(7), CardResult::not_authenticated);
  EXPECT_EQ(write(12, filled(1)), CardResult::not_authenticated);
  EXPECT_EQ(read(64), CardResult::bad_block);
  EXPECT_EQ(auth(64, KeyType::a, kTransportKey), CardResult::bad_block);
  EXPECT_THROW((void)card.raw_block(64), std::out_of_range);
}

TEST_F(CardTest, InconsistentAccessBytesBlockTheSector) {
  // A trailer write with bits that disagree with their inverted copies is
  // accepted and blocks the sector from then on; other sectors go on working.
  ASSERT_EQ(auth(12, KeyType::a, kTransportKey), CardResult::ok);
  const std::array<uint8_t, 3> broken{0xFF, 0x07, 0x88};
  ASSERT_EQ(write(15, make_trailer(kTransportKey, broken, 0x69, kTransportKey)), CardResult::ok);
  EXPECT_EQ(read(12), CardResult::sector_blocked);
  EXPECT_EQ(auth(12, KeyType::a, kTransportKey), CardResult::sector_blocked);
  EXPECT_EQ(auth(12, KeyType::b, kTransportKey), CardResult::sector_blocked);
  EXPECT_EQ(auth(16, KeyType::a, kTransportKey), CardResult::ok);
  EXPECT_NE(card.dump_sector(3).find("sector blocked"), std::string::npos);
}

// The issue, use and reclaim of a sector as the card layouts do it: a blank
// sector is keyed with the transport key as key A; the keyed trailer lets
// both keys read and write data but only key B rewrite the trailer.
TEST_F(CardTest, KeyedAndTransportTrailersBehaveAsTheCardLayoutsExpect) {
  const unsigned sector = 3;
  const unsigned first = first_block_of_sector(sector);
  const unsigned trailer = trailer_block_of_sector(sector);
  const Block keyed = make_trailer(kKeyA, kKeyedAccess, 0x69, kKeyB);

  // Issue: key A of the transport trailer may rewrite everything.
  ASSERT_EQ(auth(trailer, KeyType::a, kTransportKey), CardResult::ok);
  ASSERT_EQ(write(trailer, keyed), CardResult::ok);
  EXPECT_EQ(card.raw_block(trailer), keyed);

  // The transport key no longer opens the sector.
  EXPECT_EQ(auth(first, KeyType::a, kTransportKey), CardResult::auth_failed);
  EXPECT_EQ(auth(first, KeyType::b, kTransportKey), CardResult::auth_failed);

  // Data: read and written with either key; the trailer shows only its access bytes.
  for (const KeyType key : {KeyType::a, KeyType::b}) {
    ASSERT_EQ(auth(first, key, key_of(key)), CardResult::ok);
    for (unsigned block = first; block < trailer; ++block) {
      EXPECT_EQ(write(block, filled(static_cast<uint8_t>(block))), CardResult::ok);
      EXPECT_EQ(read(block), CardResult::ok);
      EXPECT_EQ(last_read, filled(static_cast<uint8_t>(block)));
    }
    ASSERT_EQ(read(trailer), CardResult::ok);
    EXPECT_EQ(last_read, make_trailer(Key{}, kKeyedAccess, 0x69, Key{}));
  }

  // Key A may not rewrite the trailer; the card layouts fall back to key B.
  ASSERT_EQ(auth(trailer, KeyType::a, kKeyA), CardResult::ok);
  EXPECT_EQ(write(trailer, transport_trailer()), CardResult::access_denied);
  EXPECT_EQ(card.raw_block(trailer), keyed);
  (void)card.select();
  ASSERT_EQ(auth(trailer, KeyType::b, kKeyB), CardResult::ok);
  ASSERT_EQ(write(trailer, transport_trailer()), CardResult::ok);
  EXPECT_EQ(card.raw_block(trailer), transport_trailer());
  EXPECT_EQ(auth(first, KeyType::a, kTransportKey), CardResult::ok);
}

TEST(CardGeometry, FourKSectorsAboveThirtyOneHaveSixteenBlocks) {
  struct Case {
    unsigned sector, first, trailer;
  };
  const Case cases[] = {{0, 0, 3}, {31, 124, 127}, {32, 128, 143}, {33, 144, 159}, {39, 240, 255}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sector);
    EXPECT_EQ(first_block_of_sector(c.sector), c.first);
    EXPECT_EQ(trailer_block_of_sector(c.sector), c.trailer);
    EXPECT_EQ(sector_of_block(c.first), c.sector);
    EXPECT_EQ(sector_of_block(c.trailer), c.sector);
  }
  EXPECT_EQ(sector_count(CardType::classic_4k), 40U);
  EXPECT_EQ(block_count(CardType::classic_4k), 256U);
  EXPECT_EQ(sector_count(CardType::classic_1k), 16U);

  Card card(CardType::classic_4k, kUid);
  (void)card.select();
  for (unsigned sector = 0; sector < 40; ++sector) {
    EXPECT_EQ(card.raw_block(trailer_block_of_sector(sector)), transport_trailer()) << sector;
  }
  EXPECT_EQ(card.raw_block(142), Block{});
}

// In a 16-block sector each data condition governs five blocks; the trailer
// is block 15 of the sector.
TEST(CardGeometry, FourKLargeSectorGroupsGovernFiveBlocksEach) {
  Card card(CardType::classic_4k, kUid);
  (void)card.select();
  const unsigned first = first_block_of_sector(35);
  // Group 1 (blocks 5-9) read-only, the others open.
  prepare_sector(card, 35, SectorConditions{{0, 0b010, 0, 0b011}});
  ASSERT_EQ(card.authenticate(first + 7, KeyType::a, kKeyA), CardResult::ok);
  EXPECT_EQ(card.authenticated_sector(), 35U);
  for (unsigned index = 0; index < 15; ++index) {
    const bool read_only = index >= 5 && index <= 9;
    EXPECT_EQ(card.write_block(first + index, filled(1)),
              read_only ? CardResult::access_denied : CardResult::ok)
        << index;
  }
  Block trailer{};
  ASSERT_EQ(card.read_block(first + 15, trailer), CardResult::ok);
  EXPECT_EQ(trailer[9], 0x69);
  EXPECT_EQ(trailer[0], 0x00);  // key A never shows
  EXPECT_EQ(card.read_block(first + 16, trailer), CardResult::not_authenticated);
}

TEST_F(CardTest, RefusedWritesChangeNothingAndCountOnlyWritesThatPassTheChecks) {
  ASSERT_EQ(auth(0, KeyType::a, kTransportKey), CardResult::ok);
  card.refuse_write(2);
  EXPECT_EQ(write(0, filled(1)), CardResult::access_denied);  // never reaches memory: not counted
  EXPECT_EQ(write(1, filled(1)), CardResult::ok);             // first counted write
  EXPECT_EQ(write(2, filled(2)), CardResult::write_refused);  // second: refused
  EXPECT_EQ(card.raw_block(2), Block{});
  EXPECT_EQ(card.authenticated_sector(), 0U);  // the session survives, so a retry can follow
  EXPECT_EQ(write(2, filled(2)), CardResult::ok);
  EXPECT_EQ(card.raw_block(2), filled(2));

  card.refuse_write();
  card.clear_faults();
  EXPECT_EQ(write(1, filled(3)), CardResult::ok);
}

TEST_F(CardTest, TornWriteLeavesHalfNewHalfOldAndTheCardGone) {
  ASSERT_EQ(auth(4, KeyType::a, kTransportKey), CardResult::ok);
  ASSERT_EQ(write(5, filled(0x11)), CardResult::ok);
  card.tear_write();
  EXPECT_EQ(write(5, filled(0x22)), CardResult::write_torn);
  Block expected = filled(0x11);
  std::fill_n(expected.begin(), 8, 0x22);
  EXPECT_EQ(card.raw_block(5), expected);
  EXPECT_FALSE(card.selected());
  EXPECT_EQ(write(5, filled(0x22)), CardResult::not_selected);
}

// A trailer write torn between the access bytes leaves them inconsistent,
// and the sector is lost, as on a real card.
TEST_F(CardTest, TornTrailerWriteBlocksTheSector) {
  ASSERT_EQ(auth(7, KeyType::a, kTransportKey), CardResult::ok);
  card.tear_write();
  EXPECT_EQ(write(7, make_trailer(kKeyA, kKeyedAccess, 0x69, kKeyB)), CardResult::write_torn);
  (void)card.select();
  EXPECT_EQ(auth(4, KeyType::a, kKeyA), CardResult::sector_blocked);
}

TEST_F(CardTest, DumpShowsEveryBlockInHexAndTheConditions) {
  card.set_raw_block(5, filled(0xAB));
  const std::string dump = card.dump_sector(1);
  EXPECT_NE(dump.find("sector 1 (blocks 4-7)"), std::string::npos) << dump;
  EXPECT_NE(dump.find("   5  AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("   7  FF FF FF FF FF FF FF 07 80 69 FF FF FF FF FF FF\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("data 000 000 000, trailer 001"), std::string::npos) << dump;
  EXPECT_THROW((void)card.dump_sector(16), std::out_of_range);
}

TEST_F(CardTest, ImageRoundTripsAndRefusesTheWrongSize) {
  card.set_raw_block(9, filled(0x99));
  const std::vector<uint8_t> image = card.image();
  ASSERT_EQ(image.size(), 1024U);
  Card other(CardType::classic_1k, Uid{1, 2, 3, 4});
  other.load_image(image);
  EXPECT_EQ(other.raw_block(9), filled(0x99));
  EXPECT_EQ(other.raw_block(0), card.raw_block(0));
  EXPECT_THROW(other.load_image(std::span(image).first(1023)), std::invalid_argument);
}

}  // namespace
}  // namespace kk::emu
