// The lfzx design (lfzx, gsts, gstshot) through the exports, one table row
// per layout, against the emulated reader and its MIFARE Classic card model.
#include <gtest/gtest.h>

#include "cardkit/layouts/lfzx/lfzx_codec.h"
#include "layout_fixture.h"

namespace kk::testing {
namespace {

namespace lfzx = cardkit::lfzx;

struct Exports {
  const lfzx::Layout& layout;
  uint32_t (*issue)(uint32_t);
  uint32_t (*read)(uint32_t, uint32_t*);
  uint32_t (*write)(uint32_t, uint32_t);
  uint32_t (*reclaim)(uint32_t);
};

const Exports kLayouts[] = {
    {lfzx::kLfzx, lfzx_initcard, lfzx_readcard, lfzx_writecard, lfzx_reclaimcard},
    {lfzx::kGsts, gsts_initcard, gsts_readcard, gsts_writecard, gsts_reclaimcard},
    {lfzx::kGstshot, gstshot_initcard, gstshot_readcard, gstshot_writecard, gstshot_reclaimcard},
};

class LfzxTest : public LayoutTest {
 protected:
  static uint32_t balance(const Exports& e, uint32_t serial = kSerial) {
    uint32_t b = 0xDEADBEEF;
    const uint32_t r = e.read(serial, &b);
    return r == 0 ? b : 0x10000000u + r;
  }
  static unsigned block(const Exports& e, unsigned i) { return e.layout.sector * 4u + i; }
};

TEST_F(LfzxTest, LifeOfACardOnEachLayout) {
  for (const auto& e : kLayouts) {
    SCOPED_TRACE(e.layout.name);
    present_fresh(kSerial);
    ASSERT_EQ(e.issue(kSerial), 0u);
    const auto keys_a = lfzx::key_a(e.layout, kSerial);
    const auto keys_b = lfzx::key_b(e.layout, kSerial);
    const Raw trailer = raw(block(e, 3));
    EXPECT_TRUE(std::equal(keys_a.begin(), keys_a.end(), trailer.begin()));
    EXPECT_EQ(hex(std::span(trailer).subspan(6, 4)), "FF 07 80 69");
    EXPECT_TRUE(std::equal(keys_b.begin(), keys_b.end(), trailer.begin() + 10));
    EXPECT_EQ(raw(block(e, 0)), raw(block(e, 2)));

    EXPECT_EQ(balance(e), 0u);
    EXPECT_EQ(e.write(kSerial, 65535), 0u);
    EXPECT_EQ(balance(e), 65535u);
    EXPECT_EQ(e.write(kSerial, 65536 + 17), 0u);
    EXPECT_EQ(balance(e), 17u) << "modulo 65536";
    EXPECT_EQ(raw(block(e, 0)), raw(block(e, 2)));

    EXPECT_EQ(e.issue(kSerial), 16u) << "an issued card refuses the transport key";
    EXPECT_EQ(balance(e), 17u);

    ASSERT_EQ(e.reclaim(kSerial), 0u);
    EXPECT_EQ(raw(block(e, 3)), emu::transport_trailer());
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(raw(block(e, i)), Raw{});
    EXPECT_EQ(e.reclaim(kSerial), 16u) << "a reclaimed card no longer opens with the layout's key A";
    EXPECT_EQ(e.issue(kSerial), 0u) << "and can be issued again";
    EXPECT_EQ(balance(e), 0u);
  }
}

TEST_F(LfzxTest, RepairFromTheBackupAndBackupRefresh) {
  for (const auto& e : kLayouts) {
    SCOPED_TRACE(e.layout.name);
    present_fresh(kSerial);
    ASSERT_EQ(e.issue(kSerial), 0u);
    ASSERT_EQ(e.write(kSerial, 1000), 0u);
    const Raw good = raw(block(e, 0));

    // Damaged balance block: the backup's balance; the card is not
    // rewritten by the read, both blocks by the next write.
    Raw damaged = good;
    damaged[8] ^= 0x01;
    card_->set_raw_block(block(e, 0), damaged);
    const size_t writes = reader_->count(0x14, 3);
    EXPECT_EQ(balance(e), 1000u);
    EXPECT_EQ(reader_->count(0x14, 3), writes);
    EXPECT_EQ(raw(block(e, 0)), damaged);
    ASSERT_EQ(e.write(kSerial, 1001), 0u);
    EXPECT_EQ(balance(e), 1001u);
    EXPECT_EQ(raw(block(e, 0)), raw(block(e, 2)));

    // A backup that differs from a valid balance block is rewritten.
    card_->set_raw_block(block(e, 2), good);
    EXPECT_EQ(balance(e), 1001u);
    EXPECT_EQ(raw(block(e, 2)), raw(block(e, 0)));

    // Neither copy valid: 1. A stale backup that cannot be rewritten: 1.
    card_->set_raw_block(block(e, 0), damaged);
    card_->set_raw_block(block(e, 2), damaged);
    EXPECT_EQ(balance(e), 0x10000001u);
    EXPECT_EQ(e.write(kSerial, 5), 1u);
    ASSERT_EQ(e.reclaim(kSerial), 0u);
  }
}

TEST_F(LfzxTest, GstsAndGstshotKeysComeFromTheCardInTheField) {
  for (const auto& e : {kLayouts[2], kLayouts[1]}) {
    SCOPED_TRACE(e.layout.name);
    present_fresh(kSerial);
    ASSERT_EQ(e.issue(0), 0u);
    EXPECT_EQ(e.write(0, 42), 0u);
    EXPECT_EQ(balance(e, 0), 42u);
    EXPECT_EQ(balance(e, kSerial), 42u);
  }

  // gsts (the card in the field now): a balance block copied to a card
  // whose serial ends in another byte fails there; to one that shares the
  // low byte, it passes.
  const auto& gsts = kLayouts[1];
  const Raw source = raw(block(gsts, 0));
  for (const auto& [serial, valid] : {std::pair{0x0BADCA78u, true}, std::pair{0x0BADCA79u, false}}) {
    SCOPED_TRACE(serial);
    auto other = present_fresh(serial);
    ASSERT_EQ(gsts.issue(serial), 0u);
    other->set_raw_block(block(gsts, 0), source);
    other->set_raw_block(block(gsts, 2), source);
    EXPECT_EQ(balance(gsts, serial), valid ? 42u : 0x10000001u);
  }
}

// A card swapped for another after the card thread's last poll: the kit's
// view still names the first card. Operations that key a card by its
// serial ask the card in the field and refuse the other one, which stays
// blank (the test holds the reader, so the card thread cannot poll).
TEST_F(LfzxTest, ACardSwappedBeforeTheCardThreadSawItIsLeftAlone) {
  const std::array<uint8_t, 8> base{};
  ASSERT_EQ(lf_setkey_water(0, 8, base.data()), 0u);
  struct Case {
    const char* name;
    uint32_t (*call)();
  };
  const Case cases[] = {
      {"gsts_initcard", [] { return gsts_initcard(kSerial); }},
      {"gsts_initcard, serial 0", [] { return gsts_initcard(0); }},
      {"gstshot_initcard", [] { return gstshot_initcard(kSerial); }},
      {"lfzx_initcard", [] { return lfzx_initcard(kSerial); }},
      {"lf_initcard", [] { return lf_initcard(kSerial); }},
      {"lf_initcardtime",
       [] {
         const std::array<uint8_t, 6> t{};
         return lf_initcardtime(kSerial, t.data());
       }},
      {"lfzxdc_initcard", [] { return lfzxdc_initcard(kSerial); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    present_fresh(kSerial);
    auto held = cardkit::DeviceManager::instance().acquire_reader(0);
    ASSERT_TRUE(held);
    auto other = reader_->present_new_card(emu::CardType::classic_1k, uid_of(0x0BADCAFE));
    other->select();  // as the reader's own anticollision would
    const auto blank = other->image();
    const uint32_t r = c.call();
    if (std::string(c.name).find("serial 0") != std::string::npos) {
      EXPECT_EQ(r, 0u) << "serial 0 accepts the card in the field, under its own serial's keys";
      const auto key = lfzx::key_a(lfzx::kGsts, 0x0BADCAFE);
      const Raw trailer = other->raw_block(63);
      EXPECT_TRUE(std::equal(key.begin(), key.end(), trailer.begin()));
    } else {
      EXPECT_EQ(r, 1u);
      EXPECT_EQ(other->image(), blank);
    }
  }
}

}  // namespace
}  // namespace kk::testing
