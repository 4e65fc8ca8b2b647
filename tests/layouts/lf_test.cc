// The lf purse card and its time card through the exports, against the
// emulated reader and its MIFARE Classic card model.
#include <gtest/gtest.h>

#include "cardkit/layouts/lf/lf_codec.h"
#include "layout_fixture.h"

namespace kk::testing {
namespace {

namespace lf = cardkit::lf;

constexpr uint32_t kSector = 8;
constexpr std::array<uint8_t, 8> kBaseKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
// lf_getcardkey of kSerial under sector 8 and kBaseKey (make_vectors.py).
constexpr std::array<uint8_t, 6> kCardKey = {0xE0, 0x88, 0x2E, 0x6B, 0x10, 0x5C};
constexpr unsigned kPurse = kSector * 4, kBackup = kPurse + 1, kTrailer = kPurse + 3;

class LfTest : public LayoutTest {
 protected:
  void SetUp() override {
    LayoutTest::SetUp();
    ASSERT_EQ(lf_setkey_water(0, kSector, kBaseKey.data()), 0u);
  }
  static uint32_t balance(uint32_t serial = kSerial) {
    uint32_t b = 0xDEADBEEF;
    const uint32_t r = lf_readcard(serial, &b);
    return r == 0 ? b : 0x10000000u + r;  // a failure shows as its code above any balance used here
  }
  size_t writes() const { return reader_->count(0x14, 3); }
};

TEST_F(LfTest, LifeOfACard) {
  uint8_t key[6] = {};
  ASSERT_EQ(lf_getcardkey(kSerial, key), 0u);
  EXPECT_TRUE(std::equal(kCardKey.begin(), kCardKey.end(), key));

  ASSERT_EQ(lf_initcard(kSerial), 0u);
  const Raw trailer = raw(kTrailer);
  EXPECT_TRUE(std::equal(kCardKey.begin(), kCardKey.end(), trailer.begin())) << "key A " << hex(trailer);
  EXPECT_EQ(hex(std::span(trailer).subspan(6, 4)), "7F 07 88 69");
  EXPECT_TRUE(std::equal(kCardKey.begin(), kCardKey.end(), trailer.begin() + 10)) << "key B";
  EXPECT_EQ(hex(raw(kPurse + 2)), "20 99 12 31 55 00 00 00 00 00 00 00 00 00 00 00");

  // The first read rebuilds block 0 from the backup at balance 0.
  EXPECT_EQ(balance(), 0u);
  EXPECT_EQ(hex(raw(kPurse)), "00 00 00 00 FF FF FF FF 00 00 00 00 00 FF 00 FF");

  uint32_t after = 0;
  ASSERT_EQ(lf_charge(kSerial, 500, &after), 0u);
  EXPECT_EQ(after, 500u);
  ASSERT_EQ(lf_reduce(kSerial, 200, &after), 0u);
  EXPECT_EQ(after, 300u);
  after = 7;
  EXPECT_EQ(lf_reduce(kSerial, 301, &after), 64u);
  EXPECT_EQ(after, 7u) << "no output on failure";
  ASSERT_EQ(lf_reduce(kSerial, 300, &after), 0u);
  EXPECT_EQ(after, 0u);
  EXPECT_EQ(balance(), 0u);
  EXPECT_EQ(hex(raw(kBackup)).substr(0, 11), "00 00 00 00");

  // Reclaim: blank again, and once more writes nothing.
  ASSERT_EQ(lf_reclaimcard(kSerial), 0u);
  EXPECT_EQ(raw(kTrailer), emu::transport_trailer());
  for (unsigned b = kPurse; b < kTrailer; ++b) EXPECT_EQ(raw(b), Raw{}) << b;
  const size_t before = writes();
  EXPECT_EQ(lf_reclaimcard(kSerial), 0u);
  EXPECT_EQ(writes(), before) << "a blank sector is left alone";
  EXPECT_EQ(lf_initcard(kSerial), 0u) << "and can be issued again";
  EXPECT_EQ(balance(), 0u);
}

TEST_F(LfTest, EdgesOfIssueAndBalance) {
  ASSERT_EQ(lf_initcard(kSerial), 0u);
  EXPECT_EQ(lf_initcard(kSerial), 16u) << "an issued card no longer takes the transport key";

  uint32_t after = 0;
  ASSERT_EQ(lf_charge(kSerial, 0xFFFFFFF0u, &after), 0u);
  ASSERT_EQ(lf_charge(kSerial, 0x20, &after), 0u);
  EXPECT_EQ(after, 0x10u) << "modulo 2^32";
  EXPECT_EQ(balance(), 0x10u);

  // Serial 0 accepts the card but derives the key of serial 0.
  EXPECT_EQ(lf_readcard(0, &after), 16u);
  EXPECT_EQ(lf_charge(0, 1, &after), 16u);
  // Another card named: 1, nothing sent to the card.
  const size_t before = reader_->count(0x14);
  EXPECT_EQ(lf_readcard(0x0BADCAFE, &after), 1u);
  EXPECT_EQ(reader_->count(0x14), before);
  // NULL outputs are refused before anything happens.
  EXPECT_EQ(lf_readcard(kSerial, nullptr), 1u);
  EXPECT_EQ(lf_charge(kSerial, 1, nullptr), 1u);
  EXPECT_EQ(balance(), 0x10u);
}

TEST_F(LfTest, RepairFromTheBackupAndBackupRefresh) {
  ASSERT_EQ(lf_initcard(kSerial), 0u);
  uint32_t after = 0;
  ASSERT_EQ(lf_charge(kSerial, 700, &after), 0u);

  // A damaged block 0: the backup's balance, and block 0 rebuilt.
  Raw damaged = raw(kPurse);
  damaged[9] ^= 0x40;
  card_->set_raw_block(kPurse, damaged);
  EXPECT_EQ(balance(), 700u);
  EXPECT_TRUE(lf::purse_valid(raw(kPurse)));

  // A repair that cannot be written fails the read, with no balance.
  card_->set_raw_block(kPurse, damaged);
  card_->refuse_write(1);
  card_->refuse_write(2);
  after = 1;
  EXPECT_EQ(lf_readcard(kSerial, &after), 17u);
  EXPECT_EQ(after, 1u);
  card_->clear_faults();
  EXPECT_EQ(balance(), 700u);

  // A backup left behind by a transaction whose backup write failed: the
  // valid block 0 wins and the read brings the backup up to date.
  Raw backup = raw(kBackup);
  backup[0] = 0x01;
  backup[1] = 0x00;
  card_->set_raw_block(kBackup, backup);
  EXPECT_EQ(balance(), 700u);
  EXPECT_EQ(lf::backup_balance(raw(kBackup)), 700u);
  // With block 0 then torn, the balance falls back on 700, not on 1.
  card_->set_raw_block(kPurse, damaged);
  EXPECT_EQ(balance(), 700u);
}

TEST_F(LfTest, SectorsTheLayoutCannotUseAreRefusedBeforeTheReader) {
  const size_t before = reader_->commands().size();
  uint32_t b = 0;
  for (const uint32_t sector : {0u, 32u, 40u, 0x100u}) {
    SCOPED_TRACE(sector);
    ASSERT_EQ(lf_setkey_water(0, sector, kBaseKey.data()), 0u);
    EXPECT_EQ(lf_initcard(kSerial), 3u);
    EXPECT_EQ(lf_readcard(kSerial, &b), 3u);
    EXPECT_EQ(lf_charge(kSerial, 1, &b), 3u);
    EXPECT_EQ(lf_reduce(kSerial, 1, &b), 3u);
    EXPECT_EQ(lf_reclaimcard(kSerial), 3u);
  }
  size_t mifare = 0;
  const auto sent = reader_->commands();
  for (size_t i = before; i < sent.size(); ++i) mifare += sent[i].code() == 0x14;
  EXPECT_EQ(mifare, 0u);
  EXPECT_EQ(card_->raw_block(3), emu::transport_trailer()) << "sector 0 untouched";

  // The low byte is the sector: 0x108 is sector 8.
  ASSERT_EQ(lf_setkey_water(0, 0x108, kBaseKey.data()), 0u);
  EXPECT_EQ(lf_initcard(kSerial), 0u);
  EXPECT_EQ(balance(), 0u);
}

TEST_F(LfTest, CardKeyWithoutReaderOrConfiguration) {
  // The all-zero configuration the library starts with.
  const std::array<uint8_t, 8> zero{};
  ASSERT_EQ(lf_setkey_water(0, 0, zero.data()), 0u);
  reader_->unplug();
  uint8_t key[6] = {};
  EXPECT_EQ(lf_getcardkey(0, key), 0u);
  EXPECT_EQ(hex(key), "3F 55 56 EE C9 17");
  EXPECT_EQ(lf_getcardkey(0, nullptr), 1u);
  EXPECT_EQ(lf_setkey_water(0, 1, nullptr), 1u);
}

TEST_F(LfTest, TimeCard) {
  const std::array<uint8_t, 6> time = {0x20, 0x26, 0x12, 0x11, 0x16, 0x30};
  ASSERT_EQ(lf_initcardtime(kSerial, time.data()), 0u);
  EXPECT_EQ(hex(raw(24)), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(raw(25)), "54 20 26 12 11 16 30 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(raw(26)), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 EC CD");
  // Key A the factory key, key B the time-card key of this serial
  // (make_vectors.py: sector 6 under the shipped time-card base key).
  EXPECT_EQ(hex(raw(27)), "FF FF FF FF FF FF 7F 07 88 69 E9 1E B0 DF 59 43");

  // A time card is rewritten under its key; its trailer stays.
  const std::array<uint8_t, 6> later = {0x20, 0x27, 0x01, 0x01, 0x00, 0x00};
  ASSERT_EQ(lf_initcardtime(kSerial, later.data()), 0u);
  EXPECT_EQ(hex(raw(25)).substr(0, 20), "54 20 27 01 01 00 00");
  EXPECT_EQ(hex(raw(27)), "FF FF FF FF FF FF 7F 07 88 69 E9 1E B0 DF 59 43");
  // The lf configuration is neither used nor changed.
  EXPECT_EQ(lf_initcard(kSerial), 0u);
  uint8_t key[6];
  ASSERT_EQ(lf_getcardkey(kSerial, key), 0u);
  EXPECT_TRUE(std::equal(kCardKey.begin(), kCardKey.end(), key));
  EXPECT_EQ(lf_initcardtime(kSerial, nullptr), 1u);
}

TEST_F(LfTest, ModifyKeyAndTheSectorCheckExports) {
  const std::array<uint8_t, 6> mine = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(lf_modifykey(kSerial, 2, mine.data(), kTransportKey.data()), 0u);
  EXPECT_EQ(hex(raw(11)), "01 02 03 04 05 06 FF 07 80 69 01 02 03 04 05 06");
  EXPECT_EQ(lf_modifykey(kSerial, 2, kTransportKey.data(), kTransportKey.data()), 16u)
      << "the old key is gone";
  EXPECT_EQ(lf_modifykey(kSerial, 2, kTransportKey.data(), mine.data()), 0u);
  EXPECT_EQ(raw(11), emu::transport_trailer());

  // An issued lf sector lets only key B write its trailer: key A fails, the
  // card is selected again, key B succeeds.
  ASSERT_EQ(lf_initcard(kSerial), 0u);
  EXPECT_EQ(lf_modifykey(kSerial, kSector, mine.data(), kCardKey.data()), 0u);
  EXPECT_EQ(hex(raw(kTrailer)), "01 02 03 04 05 06 FF 07 80 69 01 02 03 04 05 06");

  const std::array<uint8_t, 6> any{};
  EXPECT_EQ(lf_modifykey(kSerial, 32, any.data(), kTransportKey.data()), 3u) << "not a four-block sector";
  EXPECT_EQ(lf_modifykey(kSerial, 2, nullptr, kTransportKey.data()), 1u);

  // lf_readsect and lf_writesect only check for the card.
  const size_t before = reader_->count(0x14);
  EXPECT_EQ(lf_readsect(kSerial, 1, 2, 3), 0u);
  EXPECT_EQ(lf_writesect(0, 1, 2, 3), 0u);
  EXPECT_EQ(lf_writesect(0x0BADCAFE, 0, 0, 0), 1u);
  EXPECT_EQ(reader_->count(0x14), before);
  reader_->remove_card();
  EXPECT_TRUE(eventually([] { return lf_readsect(0, 0, 0, 0) == 1u; }));
}

}  // namespace
}  // namespace kk::testing
