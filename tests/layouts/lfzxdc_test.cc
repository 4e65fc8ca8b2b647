// The lfzxdc card through the exports, against the emulated reader and its
// MIFARE Classic card model.
#include <gtest/gtest.h>

#include "cardkit/layouts/lfzxdc/lfzxdc_codec.h"
#include "layout_fixture.h"

namespace kk::testing {
namespace {

namespace lfzxdc = cardkit::lfzxdc;

// lfzxdc key of kSerial (make_vectors.py).
constexpr const char* kKeyHex = "16 56 2F C6 C9 7D";

class LfzxdcTest : public LayoutTest {
 protected:
  [[nodiscard]] std::array<uint8_t, 48> terminal() const {
    std::array<uint8_t, 48> t{};
    for (unsigned i = 0; i < 3; ++i) {
      const Raw b = raw(12 + i);
      std::copy(b.begin(), b.end(), t.begin() + 16 * i);
    }
    return t;
  }
  [[nodiscard]] bool checksum_right() const {
    const auto t = terminal();
    return t[31] == lfzxdc::checksum(t);
  }
  void set_device_counter(uint16_t counter) {
    Raw b = raw(16);
    b[9] = static_cast<uint8_t>(counter >> 8);
    b[10] = static_cast<uint8_t>(counter);
    card_->set_raw_block(16, b);
  }
  struct Money {
    uint32_t code, next, pending;
  };
  static Money money() {
    Money m{};
    m.code = lfzxdc_readmoney(0, &m.next, &m.pending);
    return m;
  }
};

TEST_F(LfzxdcTest, LifeOfACard) {
  ASSERT_EQ(lfzxdc_initcard(kSerial), 0u);
  EXPECT_EQ(hex(raw(12)), "13 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(raw(13)), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 13");
  for (const unsigned b : {14u, 16u, 17u, 18u}) EXPECT_EQ(raw(b), Raw{}) << b;
  for (const unsigned trailer : {15u, 19u})
    EXPECT_EQ(hex(raw(trailer)), std::string(kKeyHex) + " FF 07 80 69 " + kKeyHex);

  uint32_t prefix = 9, number = 9;
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  EXPECT_EQ(prefix, 0u);
  EXPECT_EQ(number, 0u);
  Money m = money();
  EXPECT_EQ(m.code, 3u) << "the device has not used the card";
  EXPECT_EQ(m.next, 0u);
  EXPECT_EQ(m.pending, 0u);

  ASSERT_EQ(lfzxdc_writecardno(kSerial, 1234, 123456789), 0u);
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  EXPECT_EQ(prefix, 1234u);
  EXPECT_EQ(number, 23456789u);
  EXPECT_TRUE(checksum_right());
  ASSERT_EQ(lfzxdc_writeprice(kSerial, 0x1234, 1200), 0u);
  EXPECT_TRUE(checksum_right());
  const auto priced = terminal();
  EXPECT_EQ(hex(std::span(priced).subspan(12, 9)), "00 00 04 B0 12 34 00 0F 78");

  // The calling order: read, ask for the next sequence, record the purchase.
  set_device_counter(6);
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  m = money();
  ASSERT_EQ(m.code, 0u);
  EXPECT_EQ(m.next, 7u);
  EXPECT_EQ(m.pending, 0u) << "offsets 8-9 hold 0, not 6: nothing recorded yet reads as the amount 0";
  ASSERT_EQ(lfzxdc_charge(kSerial, m.next, 100), 0u);
  EXPECT_TRUE(checksum_right());
  const auto t = terminal();
  EXPECT_EQ(hex(std::span(t).subspan(8, 4)), "00 07 00 64");
  EXPECT_EQ(hex(std::span(t).subspan(22, 2)), "00 08");
  EXPECT_EQ(hex(std::span(t).subspan(27, 4)), hex(lfzxdc::check_word(t)));
  m = money();
  EXPECT_EQ(m.next, 7u);
  EXPECT_EQ(m.pending, 100u) << "the device has not taken purchase 7";
  set_device_counter(7);
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  m = money();
  EXPECT_EQ(m.next, 8u);
  EXPECT_EQ(m.pending, 0u);

  ASSERT_EQ(lfzxdc_makeclearcard(kSerial), 0u);
  EXPECT_EQ(hex(raw(12)).substr(0, 23), "16 00 AA AA 2C 45 67 89");
  EXPECT_TRUE(checksum_right());
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  EXPECT_EQ(prefix, 11110u);

  ASSERT_EQ(lfzxdc_reclaimcard(kSerial), 0u);
  EXPECT_EQ(raw(15), emu::transport_trailer());
  EXPECT_EQ(raw(19), emu::transport_trailer());
  EXPECT_EQ(hex(raw(12)).substr(0, 2), "16") << "the data stay";
  EXPECT_EQ(lfzxdc_reclaimcard(kSerial), 16u);
}

TEST_F(LfzxdcTest, IssueFinishesAHalfIssuedCardAndLeavesAnIssuedOneAlone) {
  ASSERT_EQ(lfzxdc_initcard(kSerial), 0u);
  ASSERT_EQ(lfzxdc_writecardno(kSerial, 42, 4242), 0u);
  size_t writes = reader_->count(0x14, 3);
  EXPECT_EQ(lfzxdc_initcard(kSerial), 0u);
  EXPECT_EQ(reader_->count(0x14, 3), writes) << "both sectors open with the card key: nothing written";

  // Sector 4 back to blank: issue writes it and its trailer, sector 3 stays.
  card_->set_raw_block(19, emu::transport_trailer());
  card_->set_raw_block(16, Raw{0xEE});
  writes = reader_->count(0x14, 3);
  EXPECT_EQ(lfzxdc_initcard(kSerial), 0u);
  EXPECT_EQ(reader_->count(0x14, 3), writes + 4) << "blocks 16-18 and trailer 19";
  EXPECT_EQ(raw(16), Raw{});
  EXPECT_EQ(hex(raw(19)), std::string(kKeyHex) + " FF 07 80 69 " + kKeyHex);
  uint32_t prefix = 0, number = 0;
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  EXPECT_EQ(prefix, 42u);
  EXPECT_EQ(number, 4242u);

  // Serial 0 derives the key of serial 0.
  EXPECT_EQ(lfzxdc_readcard(0, &prefix, &number), 16u);
}

TEST_F(LfzxdcTest, ArgumentsAndWraps) {
  ASSERT_EQ(lfzxdc_initcard(kSerial), 0u);
  const size_t before = reader_->count(0x14);
  EXPECT_EQ(lfzxdc_writecardno(kSerial, 10000, 1), 3u);
  EXPECT_EQ(lfzxdc_writecardno(kSerial, 65535, 1), 3u);
  EXPECT_EQ(reader_->count(0x14), before) << "refused before the reader";
  EXPECT_EQ(lfzxdc_writecardno(kSerial, 9999, 99999999), 0u);

  ASSERT_EQ(lfzxdc_charge(kSerial, 0x1FFFF, 5), 0u);
  const auto t = terminal();
  EXPECT_EQ(hex(std::span(t).subspan(8, 2)), "FF FF");
  EXPECT_EQ(hex(std::span(t).subspan(22, 2)), "00 00");
  set_device_counter(0xFFFF);
  uint32_t prefix = 0, number = 0;
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  const Money m = money();
  EXPECT_EQ(m.next, 0x10000u);
  EXPECT_EQ(m.pending, 0u);

  EXPECT_EQ(lfzxdc_readcard(kSerial, nullptr, &number), 1u);
  EXPECT_EQ(lfzxdc_readmoney(0, nullptr, &number), 1u);
}

TEST_F(LfzxdcTest, AReadCompletesASectorWriteCutOffBetweenItsBlocks) {
  ASSERT_EQ(lfzxdc_initcard(kSerial), 0u);
  ASSERT_EQ(lfzxdc_writeprice(kSerial, 0x0102, 300), 0u);
  ASSERT_EQ(lfzxdc_charge(kSerial, 3, 50), 0u);
  const auto before = terminal();
  ASSERT_EQ(lfzxdc_charge(kSerial, 4, 70), 0u);
  const auto after = terminal();

  // Back to the first purchase, with block 12 of the second on the card.
  card_->set_raw_block(12, [&] {
    Raw b{};
    std::copy_n(after.begin(), 16, b.begin());
    return b;
  }());
  Raw b13{};
  std::copy_n(before.begin() + 16, 16, b13.begin());
  card_->set_raw_block(13, b13);
  EXPECT_FALSE(checksum_right());
  uint32_t prefix = 0, number = 0;
  ASSERT_EQ(lfzxdc_readcard(kSerial, &prefix, &number), 0u);
  EXPECT_EQ(terminal(), after) << "block 13 brought in step on the card";
}

TEST_F(LfzxdcTest, WritecardIsTheLfzxWrite) {
  ASSERT_EQ(lfzx_initcard(kSerial), 0u);
  ASSERT_EQ(lfzxdc_writecard(kSerial, 500), 0u);
  uint32_t b = 0;
  ASSERT_EQ(lfzx_readcard(kSerial, &b), 0u);
  EXPECT_EQ(b, 500u);
}

}  // namespace
}  // namespace kk::testing
