// Card commands and the sector helpers against the emulated reader and its
// MIFARE Classic card: what goes on the wire, retries, and the card's
// refusals.
#include "cardkit/commands/commands.h"

#include <gtest/gtest.h>

#include "fixture.h"

namespace kk::cardkit {
namespace {

using kk::testing::DirectLink;
using kk::testing::kSerial;
using kk::testing::kTransportKey;
using kk::testing::kUid;
using kk::testing::ReaderFolder;

constexpr std::array<uint8_t, 6> kWrongKey = {1, 2, 3, 4, 5, 6};

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader_ = folder_.plug();
    card_ = reader_->present_new_card(emu::CardType::classic_1k, kUid);
    ASSERT_TRUE(link_.open());
    ASSERT_EQ(reader_start_link(link_.link), ReaderResult::ok);
    uint32_t serial = 0;
    ASSERT_EQ(card_request(link(), serial), ReaderResult::ok);
    ASSERT_EQ(serial, kSerial);
    reader_->clear_commands();
  }

  ReaderLink& link() { return link_.link; }
  // The MIFARE commands sent so far as (sub-command, block) pairs.
  std::vector<std::pair<int, int>> mifare_commands() const {
    std::vector<std::pair<int, int>> out;
    for (const auto& c : reader_->commands())
      if (c.code() == 0x14) out.emplace_back(c.sub(), c.param1());
    return out;
  }

  ReaderFolder folder_;
  std::unique_ptr<emu::EmulatedReader> reader_;
  std::shared_ptr<emu::Card> card_;
  DirectLink link_;
};

TEST_F(CommandsTest, CardRequestReportsTheSerialOrNoCard) {
  uint32_t serial = 0;
  ASSERT_EQ(card_request(link(), serial), ReaderResult::ok);
  EXPECT_EQ(serial, 0x12345678u);
  reader_->remove_card();
  serial = 0xDEAD;
  EXPECT_EQ(card_request(link(), serial), ReaderResult::no_card);
  EXPECT_EQ(serial, 0xDEADu) << "no serial without a card";
}

TEST_F(CommandsTest, BeepSendsItsParametersBigEndianTheSecondDoubled) {
  ASSERT_EQ(reader_beep(link(), 0x01020304, 100), ReaderResult::ok);
  const auto f = reader_->commands().back().frame;
  ASSERT_EQ(f.size(), 17u);
  EXPECT_EQ(f[0], 0x16);
  EXPECT_EQ(f[5], 1);
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 9, f.begin() + 17),
            (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0xC8}));
  reader_->refuse_beep(true);
  EXPECT_EQ(reader_beep(link(), 1, 1), ReaderResult::write_failed);
}

TEST_F(CommandsTest, SingleBlockCommandsAndTheirCodes) {
  EXPECT_EQ(m1_auth(link(), 4, kKeyA, kWrongKey), ReaderResult::auth_failed);
  ASSERT_EQ(m1_auth(link(), 4, kKeyA, kTransportKey), ReaderResult::ok);
  const std::array<uint8_t, 16> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  ASSERT_EQ(m1_write_block(link(), 5, data), ReaderResult::ok);
  std::array<uint8_t, 16> back{};
  ASSERT_EQ(m1_read_block(link(), 5, back), ReaderResult::ok);
  EXPECT_EQ(back, data);
  // Block 0 is the manufacturer block: never writable.
  ASSERT_EQ(m1_auth(link(), 0, kKeyA, kTransportKey), ReaderResult::ok);
  EXPECT_EQ(m1_write_block(link(), 0, data), ReaderResult::write_failed);
  // Another sector than the authenticated one.
  EXPECT_EQ(m1_read_block(link(), 5, back), ReaderResult::read_failed);
}

TEST_F(CommandsTest, SectorHelperMasksChooseAuthenticationKeyAndBlocks) {
  // Sector 1 keyed so that key B is a usable key (a readable key B, as in
  // the transport trailer, opens nothing), its data blocks filled with
  // 0x11, 0x22, 0x33.
  const std::array<uint8_t, 3> keyed = {0x7F, 0x07, 0x88};
  card_->set_raw_block(7, emu::make_trailer(kTransportKey, keyed, 0x69, kTransportKey));
  for (unsigned i = 0; i < 3; ++i) {
    emu::Block b;
    b.fill(static_cast<uint8_t>(0x11 * (i + 1)));
    card_->set_raw_block(4 + i, b);
  }

  struct Case {
    uint8_t mask;
    std::vector<std::pair<int, int>> wire;  // (sub-command, block)
    std::array<bool, 3> filled;
  };
  const Case cases[] = {
      {0x83, {{1, 4}, {2, 4}, {2, 5}}, {true, true, false}},
      {0xC7, {{1, 4}, {2, 4}, {2, 5}, {2, 6}}, {true, true, true}},
      {0x03, {{2, 4}, {2, 5}}, {true, true, false}},
      {0x80, {{1, 4}}, {false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mask));
    ASSERT_EQ(m1_auth(link(), 4, kKeyA, kTransportKey), ReaderResult::ok);  // for the 0x03 case
    reader_->clear_commands();
    std::array<uint8_t, 48> out;
    out.fill(0xEE);
    ASSERT_EQ(m1_read_sector(link(), 1, c.mask, kTransportKey, out), ReaderResult::ok);
    EXPECT_EQ(mifare_commands(), c.wire);
    if (c.mask & 0x80) {
      EXPECT_EQ(reader_->commands().front().param2(), (c.mask & 0x40) ? 1 : 0);
    }
    for (size_t i = 0; i < 3; ++i) {
      const uint8_t want = c.filled[i] ? static_cast<uint8_t>(0x11 * (i + 1)) : 0xEE;
      EXPECT_EQ(out[16 * i], want) << "block " << i;
      EXPECT_EQ(out[16 * i + 15], want) << "block " << i;
    }
  }
}

TEST_F(CommandsTest, AuthenticationFailingTwiceSendsNoBlockCommand) {
  std::array<uint8_t, 48> buffer{};
  EXPECT_EQ(m1_read_sector(link(), 2, 0xC7, kWrongKey, buffer), ReaderResult::auth_failed);
  EXPECT_EQ(mifare_commands(), (std::vector<std::pair<int, int>>{{1, 8}, {1, 8}}));
  reader_->clear_commands();
  EXPECT_EQ(m1_write_sector(link(), 2, 0x87, kWrongKey, buffer), ReaderResult::auth_failed);
  EXPECT_EQ(mifare_commands(), (std::vector<std::pair<int, int>>{{1, 8}, {1, 8}}));
}

TEST_F(CommandsTest, BlockFailingTwiceStopsTheSectorWithCode17) {
  std::array<uint8_t, 48> data;
  data.fill(0x5A);
  card_->refuse_write(2);  // block 1: the first attempt
  card_->refuse_write(3);  // ... and its retry
  EXPECT_EQ(m1_write_sector(link(), 1, 0xC7, kTransportKey, data), ReaderResult::read_failed);
  EXPECT_EQ(mifare_commands(), (std::vector<std::pair<int, int>>{{1, 4}, {3, 4}, {3, 5}, {3, 5}}));
  EXPECT_EQ(card_->raw_block(4)[0], 0x5A) << "blocks written before stay written";
  EXPECT_EQ(card_->raw_block(6)[0], 0x00) << "later blocks are not attempted";
}

TEST_F(CommandsTest, BlockWriteIsRetriedOnceAtOnce) {
  std::array<uint8_t, 48> data;
  data.fill(0x77);
  card_->refuse_write(1);
  ASSERT_EQ(m1_write_sector(link(), 1, 0xC1, kTransportKey, data), ReaderResult::ok);
  EXPECT_EQ(mifare_commands(), (std::vector<std::pair<int, int>>{{1, 4}, {3, 4}, {3, 4}}));
  EXPECT_EQ(card_->raw_block(4)[0], 0x77);
}

TEST_F(CommandsTest, TrailerWriteFallsBackToKeyBAfterAFreshCardRequest) {
  // Sector 3 keyed so that only key B may write its trailer (access bytes
  // 7F 07 88: trailer condition 011).
  const emu::Key key_a = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  const emu::Key key_b = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
  const std::array<uint8_t, 3> keyed = {0x7F, 0x07, 0x88};
  card_->set_raw_block(15, emu::make_trailer(key_a, keyed, 0x69, key_b));

  const emu::Block fresh = emu::make_trailer(key_a, keyed, 0x69, key_b);
  reader_->clear_commands();
  ASSERT_EQ(m1_write_trailer(link(), 15, fresh, key_b), ReaderResult::ok);
  std::vector<std::pair<int, int>> wire;
  for (const auto& c : reader_->commands()) wire.emplace_back(c.code(), c.code() == 0x14 ? c.sub() : 0);
  // key A attempt (fails), card request, key B authentication, write.
  EXPECT_EQ(wire, (std::vector<std::pair<int, int>>{{0x14, 1}, {0x01, 0}, {0x14, 1}, {0x14, 3}}));
  EXPECT_EQ(reader_->commands()[0].param2(), 1);
  EXPECT_EQ(reader_->commands()[2].param2(), 0);

  EXPECT_EQ(m1_write_trailer(link(), 15, fresh, kWrongKey), ReaderResult::auth_failed);
}

}  // namespace
}  // namespace kk::cardkit
