// Frame CRC known answers, frame building, and the enable-bill-types masks.
#include "notecore/frame.h"

#include <gtest/gtest.h>

#include <string_view>

#include "notecore/commands.h"
#include "validator_fixture.h"

namespace kk::test {
namespace {

TEST(FrameCrc, KnownAnswers) {
  struct Case {
    const char* source;
    std::string_view input;
    uint16_t crc;
  };
  const Case cases[] = {
      // Check value of CRC-16 with reflected polynomial 0x1021, init 0, no
      // final XOR ("KERMIT" in the catalogue of parametrised CRC algorithms).
      {"catalogue check value", "123456789", 0x2189},
      {"empty input keeps the initial register", "", 0x0000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.input.data());
    EXPECT_EQ(notecore::frame_crc({bytes, c.input.size()}), c.crc);
  }
}

TEST(Frame, BuildsTheProtocolsWorkedFrames) {
  struct Case {
    uint8_t code;
    Bytes data;
    const char* frame;
  };
  const Case cases[] = {
      {0x00, {}, "02 03 06 00 C2 82"},  // the host's acknowledgement
      {0x30, {}, "02 03 06 30 41 B3"},
      {0x33, {}, "02 03 06 33 DA 81"},
      {0x34, Bytes(6, 0), "02 03 0C 34 00 00 00 00 00 00 17 0C"},
      {0x38, Bytes(3, 0), "02 03 09 38 00 00 00 88 C3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const Bytes built = frame(c.code, c.data);
    EXPECT_EQ(built, hex(c.frame));
    EXPECT_TRUE(notecore::frame_is_valid(built));
  }
  EXPECT_EQ(Bytes(notecore::kAckFrame.begin(), notecore::kAckFrame.end()), kAck);
}

TEST(Frame, RefusesWhatDoesNotFit) {
  std::array<uint8_t, 8> small{};
  EXPECT_EQ(notecore::build_frame(0x34, Bytes(6, 0), small), 0u);
  Bytes big(300);
  EXPECT_EQ(notecore::build_frame(0x14, Bytes(250, 0), big), 0u) << "LNG is one byte";
  EXPECT_EQ(notecore::build_frame(0x14, Bytes(249, 0), big), 255u);
}

TEST(Frame, ValidityChecksLengthSyncAndCrc) {
  Bytes good = hex("02 03 06 33 DA 81");
  EXPECT_TRUE(notecore::frame_is_valid(good));
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes damaged = good;
    damaged[i] ^= 0x01;
    // A changed address byte is still a frame; the CRC catches it.
    EXPECT_FALSE(notecore::frame_is_valid(damaged)) << "byte " << i;
  }
  EXPECT_FALSE(notecore::frame_is_valid(Bytes(good.begin(), good.begin() + 4)));
}

TEST(BillTypeParams, MaskLowByteAndEscrowOnlyForFlagOne) {
  struct Case {
    uint32_t mask;
    uint32_t flag;
    std::array<uint8_t, 6> params;
  };
  const Case cases[] = {
      {0x1FF, 1, {0, 0, 0xFF, 0, 0, 0xFF}}, {0x1FF, 2, {0, 0, 0xFF, 0, 0, 0}},
      {0x05, 0, {0, 0, 0x05, 0, 0, 0}},     {0xFFFFFF01, 0xFFFFFF01, {0, 0, 0x01, 0, 0, 0x01}},
      {0x00, 1, {0, 0, 0, 0, 0, 0}},        {0x80, 0xFF, {0, 0, 0x80, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(notecore::bill_type_params(c.mask, c.flag), c.params) << c.mask << "/" << c.flag;
  }
}

}  // namespace
}  // namespace kk::test
