// The card-layout codecs against known answers. Every expected value below
// was computed from the layouts' definitions by make_vectors.py (Python's
// own arithmetic and the `cryptography` package's two-key triple DES), not
// by the code under test; the CRC check value is the published one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cardkit/layouts/lf/lf_codec.h"
#include "cardkit/layouts/lfzx/lfzx_codec.h"
#include "cardkit/layouts/lfzxdc/lfzxdc_codec.h"
#include "cardkit/layouts/mirrored_balance.h"
#include "cardkit/layouts/water/water_codec.h"

namespace kk::cardkit {
namespace {

// "01 23 ..." to bytes.
template <size_t N>
std::array<uint8_t, N> bytes(const std::string& text) {
  std::array<uint8_t, N> out{};
  size_t n = 0;
  for (size_t i = 0; i + 1 < text.size() + 1 && n < N; i += 3)
    out[n++] = static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16));
  EXPECT_EQ(n, N) << text;
  return out;
}

template <typename A, typename B>
bool same(const A& a, const B& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// ---- lf ----

TEST(LfCodec, CardKeysMatchTheKnownAnswers) {
  struct Case {
    uint32_t serial;
    uint8_t sector;
    const char* base;
    const char* key;
  };
  const Case cases[] = {
      {0x12345678, 8, "01 23 45 67 89 AB CD EF", "E0 88 2E 6B 10 5C"},
      {0x00000000, 0, "00 00 00 00 00 00 00 00",
       "3F 55 56 EE C9 17"},  // lf_getcardkey before any configuration
      {0xA1B2C3D4, 1, "FF FF FF FF FF FF FF FF", "C1 F4 86 3B EA 2B"},
      {0x12345678, 6, "5A 3C 96 E1 0F 1E 2D 4B", "E9 1E B0 DF 59 43"},  // the shipped time-card base key
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    const auto base = bytes<8>(c.base);
    EXPECT_TRUE(same(lf::card_key(c.serial, c.sector, base), bytes<6>(c.key)));
  }
  EXPECT_TRUE(same(lf::time_card_base_key(), bytes<8>("5A 3C 96 E1 0F 1E 2D 4B")));
}

TEST(LfCodec, Crc16CcittFalse) {
  const char* check = "123456789";
  EXPECT_EQ(lf::time_card_crc(std::span(reinterpret_cast<const uint8_t*>(check), 9)),
            0x29B1);  // published check
  const auto blocks = lf::time_card_blocks(bytes<6>("20 26 12 11 16 30"));
  EXPECT_EQ(blocks[16], 0x54);
  EXPECT_TRUE(same(std::span(blocks).subspan(17, 6), bytes<6>("20 26 12 11 16 30")));
  EXPECT_EQ(blocks[46], 0xEC) << "CRC CDEC, low byte first";
  EXPECT_EQ(blocks[47], 0xCD);
  EXPECT_TRUE(std::all_of(blocks.begin(), blocks.begin() + 16, [](uint8_t b) { return b == 0; }));
}

TEST(LfCodec, ValueBlockRulesAndAddressBytes) {
  std::array<uint8_t, 16> block{};
  EXPECT_FALSE(lf::purse_valid(block)) << "an all-zero block is not a value block";
  block[12] = 0x07;  // an address byte the card put there stays
  lf::set_purse(block, 0x01020304);
  EXPECT_TRUE(same(block, bytes<16>("04 03 02 01 FB FC FD FE 04 03 02 01 07 F8 00 FF")));
  EXPECT_TRUE(lf::purse_valid(block));
  EXPECT_EQ(lf::purse_balance(block), 0x01020304u);

  // Every byte matters, except that bytes 12 and 14 need not agree.
  for (size_t i = 0; i < 16; ++i) {
    auto bad = block;
    bad[i] ^= 0x10;
    if (i == 12 || i == 14) {
      bad[i + 1] ^= 0x10;
      EXPECT_TRUE(lf::purse_valid(bad)) << i;
    } else {
      EXPECT_FALSE(lf::purse_valid(bad)) << i;
    }
  }
}

TEST(LfCodec, LoadRepairsBlockZeroOrRefreshesTheBackup) {
  // A new card: block 0 zero, balance 0 in the backup.
  auto image = lf::issued_sector();
  auto load = lf::load_purse(image);
  EXPECT_TRUE(load.repair_purse);
  EXPECT_FALSE(load.refresh_backup);
  EXPECT_EQ(load.balance, 0u);
  EXPECT_TRUE(same(std::span(image).first(16), bytes<16>("00 00 00 00 FF FF FF FF 00 00 00 00 00 FF 00 FF")));

  // A valid block 0 wins over a backup that holds another balance; the
  // backup's other bytes are carried along.
  lf::set_purse(std::span(image).first<16>(), 500);
  image[16] = 100;
  image[20] = 0xAB;
  load = lf::load_purse(image);
  EXPECT_EQ(load.balance, 500u);
  EXPECT_TRUE(load.refresh_backup);
  EXPECT_EQ(lf::backup_balance(std::span(image).subspan<16, 16>()), 500u);
  EXPECT_EQ(image[20], 0xAB);

  load = lf::load_purse(image);
  EXPECT_FALSE(load.repair_purse || load.refresh_backup) << "in step: nothing to write";
}

// ---- lfzx, gsts, gstshot ----

TEST(LfzxCodec, BalanceBlocksMatchTheKnownAnswers) {
  struct Case {
    const lfzx::Layout& layout;
    uint16_t balance;
    const char* block;
  };
  const uint8_t s0 = 0x78;
  const Case cases[] = {
      {lfzx::kLfzx, 0, "FF 00 00 00 00 FF 00 00 00 00 00 00 00 00 00 00"},
      {lfzx::kLfzx, 1234, "29 D6 D2 04 00 29 00 00 00 00 00 00 00 00 00 2A"},
      {lfzx::kGsts, 0, "87 00 00 00 00 FF 00 00 00 00 00 00 00 00 00 88"},
      {lfzx::kGsts, 1234, "51 D6 D2 04 00 29 00 00 00 00 00 00 00 00 00 B2"},
      {lfzx::kGstshot, 0, "FF 00 00 00 00 FF 00 00 00 00 00 00 00 00 00 00"},
      {lfzx::kGstshot, 1234, "29 D6 D2 04 00 29 00 00 00 00 00 00 00 00 00 2A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layout.name) + " " + std::to_string(c.balance));
    std::array<uint8_t, 16> block{};
    lfzx::set_balance(c.layout, s0, block, c.balance);
    EXPECT_TRUE(same(block, bytes<16>(c.block)));
    EXPECT_TRUE(lfzx::balance_valid(c.layout, s0, block));
    EXPECT_EQ(lfzx::balance_of(block), c.balance);
  }
}

TEST(LfzxCodec, IssuedSectorsAndHeaders) {
  const auto gsts = lfzx::issued_sector(lfzx::kGsts, 0x78);
  EXPECT_TRUE(
      same(std::span(gsts).subspan(16, 16), bytes<16>("0E 01 88 88 FF BB CC 00 00 01 FE FF FF FF FF F5")));
  EXPECT_TRUE(same(std::span(gsts).subspan(32, 16), std::span(gsts).first(16))) << "block 2 copies block 0";
  const auto hot = lfzx::issued_sector(lfzx::kGstshot, 0x78);
  EXPECT_TRUE(
      same(std::span(hot).subspan(16, 16), bytes<16>("00 01 77 01 FF BB CC 00 00 01 FE FF FF FF FF 05")));
  const auto plain = lfzx::issued_sector(lfzx::kLfzx, 0x78);
  EXPECT_TRUE(
      same(std::span(plain).subspan(16, 16), bytes<16>("4E 01 A1 35 FF BB 6E 00 01 47 B7 00 00 00 00 01")));
}

TEST(LfzxCodec, KeysAndTheSerialsTheyTakeIn) {
  EXPECT_TRUE(same(lfzx::key_a(lfzx::kLfzx, 0x12345678), std::string("b7e0a9")));
  EXPECT_TRUE(same(lfzx::key_b(lfzx::kLfzx, 0x12345678), std::string("b7e0a9")));
  EXPECT_TRUE(same(lfzx::key_a(lfzx::kGsts, 0x12345678), bytes<6>("A7 1C 12 34 56 78")));
  EXPECT_TRUE(same(lfzx::key_a(lfzx::kGstshot, 0x12345678), bytes<6>("3D 12 34 56 78 B2")));
  EXPECT_TRUE(same(lfzx::key_b(lfzx::kGsts, 1), bytes<6>("2D 94 E1 5B C0 76")));
  EXPECT_TRUE(same(lfzx::key_b(lfzx::kGstshot, 2), bytes<6>("2D 94 E1 5B C0 76")));
}

TEST(LfzxCodec, ValidityRulesOfEachLayout) {
  // gsts: a block made for s0 0x78 fails on a card whose serial ends in
  // another byte.
  std::array<uint8_t, 16> gsts{};
  lfzx::set_balance(lfzx::kGsts, 0x78, gsts, 300);
  EXPECT_FALSE(lfzx::balance_valid(lfzx::kGsts, 0x79, gsts));
  EXPECT_TRUE(lfzx::balance_valid(lfzx::kGsts, 0x78, gsts));

  // gstshot with byte 4 set: written as b2+b3+b4, and the library reads
  // back what it wrote; a block from a writer that summed b2+b3 is valid too.
  std::array<uint8_t, 16> hot{};
  hot[4] = 0x05;
  lfzx::set_balance(lfzx::kGstshot, 0, hot, 300);
  EXPECT_EQ(hot[1], static_cast<uint8_t>(0x2C + 0x01 + 0x05));
  EXPECT_TRUE(lfzx::balance_valid(lfzx::kGstshot, 0, hot));
  std::array<uint8_t, 16> two_byte_sum{};
  two_byte_sum[4] = 0x05;
  lfzx::set_balance(lfzx::kLfzx, 0, two_byte_sum, 300);  // the lfzx rules: b2+b3
  EXPECT_TRUE(lfzx::balance_valid(lfzx::kGstshot, 0, two_byte_sum));
  EXPECT_FALSE(lfzx::balance_valid(lfzx::kGsts, 0, two_byte_sum));

  // Each check byte matters.
  for (const size_t i : {0, 1, 2, 5, 9, 15}) {
    auto bad = gsts;
    bad[i] ^= 0x01;
    EXPECT_FALSE(lfzx::balance_valid(lfzx::kGsts, 0x78, bad)) << i;
  }
}

// ---- the mirrored copy choice (lfzx design, water) ----

TEST(MirroredBalance, CopyChoice) {
  const BalanceCheck valid = [](std::span<const uint8_t, 16> b) { return b[15] == 0xAA; };
  auto image = [](uint8_t b0_check, uint8_t b0_value, uint8_t b2_check, uint8_t b2_value) {
    std::array<uint8_t, 48> i{};
    i[0] = b0_value;
    i[15] = b0_check;
    i[32] = b2_value;
    i[47] = b2_check;
    return i;
  };
  auto in_step = image(0xAA, 1, 0xAA, 1);
  EXPECT_EQ(choose_copy(in_step, valid), CopyChoice::in_step);
  auto stale = image(0xAA, 2, 0xAA, 1);
  EXPECT_EQ(choose_copy(stale, valid), CopyChoice::stale_backup);
  EXPECT_EQ(stale[32], 2) << "the backup takes block 0";
  auto damaged = image(0x00, 2, 0xAA, 1);
  EXPECT_EQ(choose_copy(damaged, valid), CopyChoice::backup_only);
  EXPECT_EQ(damaged[0], 1) << "block 0 takes the backup";
  EXPECT_EQ(damaged[15], 0xAA);
  auto neither = image(0x00, 2, 0x01, 1);
  EXPECT_EQ(choose_copy(neither, valid), CopyChoice::neither);
}

// ---- water ----

TEST(WaterCodec, BlocksMatchTheKnownAnswers) {
  const auto issued = water::issued_user_sector();
  EXPECT_TRUE(
      same(std::span(issued).first(16), bytes<16>("00 00 00 00 00 00 00 00 00 FF FF FF 00 00 00 FD")));
  EXPECT_TRUE(
      same(std::span(issued).subspan(16, 16), bytes<16>("58 00 00 00 01 00 00 00 00 00 00 00 00 00 00 59")));
  EXPECT_TRUE(same(std::span(issued).subspan(32, 16), std::span(issued).first(16)));

  struct Case {
    uint32_t balance;
    const char* block;
    uint32_t reads;
  };
  const Case cases[] = {
      {0x123456, "00 00 00 00 00 00 00 00 00 ED CB A9 12 34 56 FD", 0x123456},
      {(1u << 24) + 5, "00 00 00 00 00 00 00 00 00 FF FF FA 00 00 05 FD", 5},     // modulo 2^24
      {0xFFFFFFFF, "00 00 00 00 00 00 00 00 00 00 00 00 FF FF FF FD", 0xFFFFFF},  // -1
  };
  for (const auto& c : cases) {
    std::array<uint8_t, 16> block{};
    water::set_balance(block, c.balance);
    EXPECT_TRUE(same(block, bytes<16>(c.block))) << c.block;
    EXPECT_TRUE(water::checksum_ok(block));
    EXPECT_EQ(water::balance_of(block), c.reads);
  }
  EXPECT_TRUE(same(water::parameter_card_key_block(5, bytes<6>("A0 A1 A2 A3 A4 A5")),
                   bytes<16>("05 A0 A1 A2 A3 A4 A5 00 00 00 00 00 00 00 00 D4")));
  EXPECT_TRUE(same(water::parameter_block(0x0102, 0x33, 0x11223344, 0x7FABCDEF),
                   bytes<16>("66 02 33 11 22 33 44 AB CD EF 00 00 00 00 00 AC")));
}

// ---- lfzxdc ----

TEST(LfzxdcCodec, KeysMatchTheKnownAnswers) {
  EXPECT_TRUE(same(lfzxdc::card_key(0x12345678), bytes<6>("16 56 2F C6 C9 7D")));
  EXPECT_TRUE(same(lfzxdc::card_key(0), bytes<6>("6E 00 1B D4 85 39")));
  EXPECT_TRUE(same(lfzxdc::card_key(0xFFFFFFFF), bytes<6>("91 FF E4 2B 85 39")));
}

TEST(LfzxdcCodec, CheckWordBcdAndChecksum) {
  std::array<uint8_t, 48> t{};
  store_u32_be(&t[8], 0x00070064);
  store_u32_be(&t[12], 0x000004B0);
  t[16] = 0x12;
  t[17] = 0x34;
  EXPECT_TRUE(same(lfzxdc::check_word(t), bytes<4>("5A 4A C9 C5")));
  store_u32_be(&t[8], 0xFFFF0000);
  store_u32_be(&t[12], 0xFFFFFFFF);
  t[16] = t[17] = 0xFF;
  EXPECT_TRUE(same(lfzxdc::check_word(t), bytes<4>("5A 06 FE 85")));

  std::array<uint8_t, 48> card = lfzxdc::issued_terminal_sector();
  EXPECT_EQ(card[0], 0x13);
  EXPECT_EQ(card[31], 0x13);
  lfzxdc::set_card_number(card, 1234, 123456789);
  EXPECT_TRUE(same(std::span(card).subspan(2, 6), bytes<6>("12 34 23 45 67 89"))) << "number modulo 10^8";
  EXPECT_EQ(lfzxdc::prefix_of(card), 1234u);
  EXPECT_EQ(lfzxdc::card_number_of(card), 23456789u);
  EXPECT_EQ(card[31], lfzxdc::checksum(card));

  lfzxdc::make_clear_card(card);
  EXPECT_TRUE(same(std::span(card).first(8), bytes<8>("16 00 AA AA 2C 45 67 89")));
  EXPECT_EQ(lfzxdc::prefix_of(card), 11110u) << "AA decodes as 10*10 + 10, unchecked";

  lfzxdc::set_purchase(card, 0x1FFFF, 700);
  EXPECT_TRUE(same(std::span(card).subspan(8, 4), bytes<4>("FF FF 02 BC")));
  EXPECT_TRUE(same(std::span(card).subspan(22, 2), bytes<2>("00 00"))) << "0xFFFF + 1 wraps";
  EXPECT_EQ(card[31], lfzxdc::checksum(card));
}

TEST(LfzxdcCodec, CompleteRecordBringsBlock13InStepWithBlock12) {
  // A card priced and charged by whole writes needs nothing.
  std::array<uint8_t, 48> card = lfzxdc::issued_terminal_sector();
  EXPECT_FALSE(lfzxdc::complete_record(card)) << "a new card";
  lfzxdc::set_price(card, 0x1234, 1200);
  lfzxdc::set_purchase(card, 7, 100);
  const auto whole = card;
  EXPECT_FALSE(lfzxdc::complete_record(card));

  // Block 12 of the next purchase landed, block 13 did not.
  auto next = whole;
  lfzxdc::set_purchase(next, 8, 250);
  auto cut = whole;
  std::copy_n(next.begin(), 16, cut.begin());
  EXPECT_TRUE(lfzxdc::complete_record(cut));
  EXPECT_EQ(cut, next);

  // A priced card never charged keeps offsets 22-23 at zero.
  std::array<uint8_t, 48> priced = lfzxdc::issued_terminal_sector();
  lfzxdc::set_price(priced, 1, 2);
  priced[31] ^= 0xFF;
  EXPECT_TRUE(lfzxdc::complete_record(priced));
  EXPECT_EQ(priced[22], 0);
  EXPECT_EQ(priced[23], 0);
  EXPECT_EQ(priced[31], lfzxdc::checksum(priced));
}

TEST(LfzxdcCodec, PurchaseState) {
  lfzxdc::CardImage image;
  EXPECT_FALSE(lfzxdc::purchase_state(image).device_used);
  lfzxdc::set_purchase(image.terminal, 5, 300);
  image.device[9] = 0x00;
  image.device[10] = 0x04;  // the device took purchase 4
  auto state = lfzxdc::purchase_state(image);
  EXPECT_TRUE(state.device_used);
  EXPECT_EQ(state.next_sequence, 5u);
  EXPECT_EQ(state.pending, 300u);
  image.device[10] = 0x05;
  state = lfzxdc::purchase_state(image);
  EXPECT_EQ(state.next_sequence, 6u);
  EXPECT_EQ(state.pending, 0u);
  image.device[9] = image.device[10] = 0xFF;
  EXPECT_EQ(lfzxdc::purchase_state(image).next_sequence, 0x10000u) << "a 32-bit next sequence";
}

}  // namespace
}  // namespace kk::cardkit
