// The water card through the exports, against the emulated reader and its
// MIFARE Classic card model.
#include <gtest/gtest.h>

#include "cardkit/layouts/water/water_codec.h"
#include "layout_fixture.h"

namespace kk::testing {
namespace {

constexpr int32_t kSector = 9;
constexpr std::array<uint8_t, 6> kWaterKey = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr unsigned kBalance = kSector * 4, kHeader = kBalance + 1, kBackup = kBalance + 2,
                   kTrailer = kBalance + 3;

class WaterTest : public LayoutTest {
 protected:
  static uint32_t balance(uint32_t serial = kSerial) {
    uint32_t b = 0xDEADBEEF;
    const uint32_t r = water_readcard(serial, 0, &b);
    return r == 0 ? b : 0x10000000u + r;
  }
  [[nodiscard]] size_t count_lines(const std::string& line) const {
    const auto lines = folder_.log_lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  [[nodiscard]] size_t mifare_commands() const { return reader_->count(0x14); }
};

// First in the file: the water configuration is process-wide, and nothing
// has set it yet when this runs (ctest runs every test in its own process).
TEST_F(WaterTest, EveryCardExportNeedsTheKey) {
  uint32_t b = 0;
  EXPECT_EQ(water_readcard(kSerial, 0, &b), 3u);
  EXPECT_EQ(water_writecard(kSerial, 0, 1), 3u);
  EXPECT_EQ(water_initcard(kSerial, "first"), 3u);
  EXPECT_EQ(water_initparamcard(kSerial, 1, 2, 3, 4), 3u);
  EXPECT_EQ(water_reclaimcard(kSerial, 0), 3u);
  EXPECT_EQ(mifare_commands(), 0u);
  EXPECT_TRUE(eventually([&] { return count_lines("water_initcard\tfirst\t305419896") == 1; }))
      << "water_initcard logs before any test";

  // Out-of-range sectors are refused, logged, and change nothing.
  for (const int32_t sector : {0, 33, -1}) EXPECT_EQ(water_yks_setkey(0, sector, kWaterKey.data()), 3u);
  EXPECT_EQ(water_reclaimcard(kSerial, 0), 3u) << "still no key";
  EXPECT_TRUE(eventually([&] { return count_lines("water_yks_setkey\t33\tA0A1") == 1; }));
  EXPECT_EQ(count_lines("water_yks_setkey\t-1\tA0A1"), 1u);
  EXPECT_EQ(water_yks_setkey(0, 5, nullptr), 3u);
}

TEST_F(WaterTest, LifeOfAUserCard) {
  ASSERT_EQ(water_yks_setkey(0, kSector, kWaterKey.data()), 0u);
  ASSERT_EQ(water_initcard(kSerial, "desk 2"), 0u);
  EXPECT_EQ(hex(raw(kBalance)), "00 00 00 00 00 00 00 00 00 FF FF FF 00 00 00 FD");
  EXPECT_EQ(hex(raw(kHeader)), "58 00 00 00 01 00 00 00 00 00 00 00 00 00 00 59");
  EXPECT_EQ(raw(kBackup), raw(kBalance));
  EXPECT_EQ(hex(raw(kTrailer)), "A0 A1 A2 A3 A4 A5 FF 07 80 69 A0 A1 A2 A3 A4 A5");
  EXPECT_EQ(count_lines("water_initcard\tdesk 2\t305419896"), 1u);

  EXPECT_EQ(balance(), 0u);
  struct Case {
    int32_t written;
    uint32_t read;
  };
  for (const Case c :
       {Case{0x123456, 0x123456}, Case{(1 << 24) + 5, 5}, Case{-1, 0xFFFFFF}, Case{700, 700}}) {
    ASSERT_EQ(water_writecard(kSerial, 0, c.written), 0u) << c.written;
    EXPECT_EQ(balance(), c.read) << c.written;
    EXPECT_EQ(raw(kBackup), raw(kBalance));
  }

  // Issuing a water card again leaves it as it is.
  const size_t writes = reader_->count(0x14, 3);
  EXPECT_EQ(water_initcard(kSerial, "again"), 0u);
  EXPECT_EQ(balance(), 700u);
  EXPECT_EQ(reader_->count(0x14, 3), writes + 0) << "the transport key is refused, nothing written";

  // Reclaim: factory keys, the balance blocks stay readable with them.
  ASSERT_EQ(water_reclaimcard(kSerial, 0), 0u);
  EXPECT_EQ(raw(kTrailer), emu::transport_trailer());
  EXPECT_EQ(cardkit::water::balance_of(raw(kBalance)), 700u);
  EXPECT_EQ(water_reclaimcard(kSerial, 0), 16u) << "the water key opens it no more";
  EXPECT_EQ(water_initcard(kSerial, "reissue"), 0u);
  EXPECT_EQ(balance(), 0u);
}

TEST_F(WaterTest, RepairFromTheBackupAndBackupRefresh) {
  ASSERT_EQ(water_yks_setkey(0, kSector, kWaterKey.data()), 0u);
  ASSERT_EQ(water_initcard(kSerial, ""), 0u);
  ASSERT_EQ(water_writecard(kSerial, 0, 4000), 0u);
  const Raw good = raw(kBalance);

  // Block 0's checksum wrong: block 2's balance; block 0 is repaired by the
  // next write, not by the read.
  Raw damaged = good;
  damaged[15] ^= 0x01;
  card_->set_raw_block(kBalance, damaged);
  EXPECT_EQ(balance(), 4000u);
  EXPECT_EQ(raw(kBalance), damaged);
  ASSERT_EQ(water_writecard(kSerial, 0, 4001), 0u);
  EXPECT_EQ(balance(), 4001u);
  EXPECT_EQ(raw(kBackup), raw(kBalance));

  // Block 2 differing from a good block 0 is rewritten by the read.
  card_->set_raw_block(kBackup, good);
  EXPECT_EQ(balance(), 4001u);
  EXPECT_EQ(raw(kBackup), raw(kBalance));

  // Both checksums wrong: 1, and a write is refused too.
  card_->set_raw_block(kBalance, damaged);
  card_->set_raw_block(kBackup, damaged);
  EXPECT_EQ(balance(), 0x10000001u);
  EXPECT_EQ(water_writecard(kSerial, 0, 1), 1u);
}

TEST_F(WaterTest, ParameterCard) {
  ASSERT_EQ(water_yks_setkey(0, kSector, kWaterKey.data()), 0u);
  EXPECT_EQ(water_initparamcard(kSerial, 0x33, 0x11223344, 0, 0xABCDEF), 3u) << "code 0";
  EXPECT_EQ(mifare_commands(), 0u);

  ASSERT_EQ(water_initparamcard(kSerial, 0x33, 0x11223344, 0x0102, 0x7FABCDEF), 0u);
  EXPECT_EQ(hex(raw(1)), "09 A0 A1 A2 A3 A4 A5 00 00 00 00 00 00 00 00 D8");
  EXPECT_EQ(hex(raw(3)), "3C 71 0E 9A 5D 28 FF 07 80 69 3C 71 0E 9A 5D 28");
  EXPECT_EQ(hex(raw(kHeader)), "66 02 33 11 22 33 44 AB CD EF 00 00 00 00 00 AC") << "code 0x102 stores 02";
  EXPECT_EQ(hex(raw(kTrailer)), "A0 A1 A2 A3 A4 A5 FF 07 80 69 A0 A1 A2 A3 A4 A5");
  EXPECT_EQ(raw(kBalance), Raw{}) << "blocks 4W and 4W+2 are not written";

  // On a card that already is one: the trailers stay, the blocks are new.
  ASSERT_EQ(water_initparamcard(kSerial, 0x44, 1, 7, 2), 0u);
  EXPECT_EQ(hex(raw(kHeader)), "66 07 44 00 00 00 01 00 00 02 00 00 00 00 00 B4");
  EXPECT_EQ(hex(raw(3)), "3C 71 0E 9A 5D 28 FF 07 80 69 3C 71 0E 9A 5D 28");
}

TEST_F(WaterTest, SectorsBeyondTheCardFailCleanly) {
  // Sector 32 is taken as configuration but never used on a card.
  ASSERT_EQ(water_yks_setkey(0, 32, kWaterKey.data()), 0u);
  uint32_t b = 0;
  EXPECT_EQ(water_initcard(kSerial, ""), 3u);
  EXPECT_EQ(water_initparamcard(kSerial, 1, 1, 1, 1), 3u);
  EXPECT_EQ(water_readcard(kSerial, 0, &b), 3u);
  EXPECT_EQ(water_writecard(kSerial, 0, 1), 3u);
  EXPECT_EQ(water_reclaimcard(kSerial, 0), 3u);
  EXPECT_EQ(mifare_commands(), 0u);

  // Sector 20 is beyond a 1K card: 16, and nothing is written, sector 0 of
  // a would-be parameter card included.
  ASSERT_EQ(water_yks_setkey(0, 20, kWaterKey.data()), 0u);
  const auto image = card_->image();
  EXPECT_EQ(water_initcard(kSerial, ""), 16u);
  EXPECT_EQ(water_initparamcard(kSerial, 1, 1, 1, 1), 16u);
  EXPECT_EQ(water_readcard(kSerial, 0, &b), 16u);
  EXPECT_EQ(water_writecard(kSerial, 0, 1), 16u);
  EXPECT_EQ(water_reclaimcard(kSerial, 0), 16u);
  EXPECT_EQ(card_->image(), image);
  EXPECT_EQ(reader_->count(0x14, 3), 0u);

  // On a 4K card the same sector is there.
  present_fresh(0x44445555, emu::CardType::classic_4k);
  EXPECT_EQ(water_initcard(0, ""), 0u);
  EXPECT_EQ(water_writecard(0, 0, 99), 0u);
  EXPECT_EQ(balance(0), 99u);
}

}  // namespace
}  // namespace kk::testing
