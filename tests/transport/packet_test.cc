// Reader packets on their own: the CRC against published check values and a
// bit-by-bit reference, packet_build's wire bytes, and packet_parse over
// intact and damaged replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cardkit/transport/crc16.h"
#include "cardkit/transport/transport.h"

namespace kk::cardkit {
namespace {

using Bytes = std::vector<uint8_t>;

// The CRC register shifted one bit at a time: a second, table-free reading
// of the same definition.
uint16_t bitwise_crc(const Bytes& bytes, uint16_t crc = 0xA1EC) {
  for (uint8_t byte : bytes) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

Bytes with_crc(Bytes p) {
  const uint16_t crc = bitwise_crc(p);
  p.push_back(static_cast<uint8_t>(crc >> 8));
  p.push_back(static_cast<uint8_t>(crc));
  return p;
}

// A reply in natural order, written out field by field.
Bytes reply(uint8_t form_byte, uint16_t address, uint16_t type, size_t payload_length) {
  Bytes p{0xAE, form_byte};
  if ((form_byte & 0x0F) == 1) {
    p.push_back(static_cast<uint8_t>(address >> 8));
  }
  p.push_back(static_cast<uint8_t>(address));
  const auto length = static_cast<uint16_t>(payload_length + 2);
  p.insert(p.end(), {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                     static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)});
  for (size_t i = 0; i < payload_length; ++i) p.push_back(static_cast<uint8_t>(i * 7 + 1));
  return with_crc(p);
}

TEST(PacketCrc, MatchesPublishedCheckValuesAndBitwiseReference) {
  const std::string check = "123456789";
  const Bytes digits(check.begin(), check.end());
  // Check values of the 0x1021 family (Greg Cook's CRC catalogue):
  // CRC-16/XMODEM (init 0) and CRC-16/IBM-3740, a.k.a. CCITT-FALSE (init 0xFFFF).
  EXPECT_EQ(packet_crc16(digits, 0x0000), 0x31C3);
  EXPECT_EQ(packet_crc16(digits, 0xFFFF), 0x29B1);
  EXPECT_EQ(packet_crc16(digits), bitwise_crc(digits));
  EXPECT_EQ(packet_crc16({}), 0xA1EC);

  Bytes all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(packet_crc16(all), bitwise_crc(all));
  // Carried over pieces, the CRC is that of the whole.
  const uint16_t first = packet_crc16(std::span(all).first(100));
  EXPECT_EQ(packet_crc16(std::span(all).subspan(100), first), packet_crc16(all));
}

struct BuildCase {
  const char* name;
  uint16_t address;
  uint16_t type;
  int32_t payload_length;
  Bytes header;  // logical bytes up to the payload; empty when the build must refuse
};

TEST(PacketBuild, WireBytesForEachAddressFormAndSize) {
  const BuildCase cases[] = {
      {"id 0", 0, 0x0900, 3, {0xAE, 0x00, 0x00, 0x00, 0x05, 0x09, 0x00}},
      {"id 255 one-byte form", 255, 0x0900, 2, {0xAE, 0x00, 0xFF, 0x00, 0x04, 0x09, 0x00}},
      {"id 256 two-byte form", 256, 0x0900, 2, {0xAE, 0x01, 0x01, 0x00, 0x00, 0x04, 0x09, 0x00}},
      {"id 0xFFFF", 0xFFFF, 0x8081, 0, {0xAE, 0x01, 0xFF, 0xFF, 0x00, 0x02, 0x80, 0x81}},
      {"set-address type", 7, 0x8081, 1, {0xAE, 0x00, 0x07, 0x00, 0x03, 0x80, 0x81}},
      {"300 bytes, one-byte form", 1, 0x0900, 291, {0xAE, 0x00, 0x01, 0x01, 0x25, 0x09, 0x00}},
      {"300 bytes, two-byte form", 300, 0x0900, 290, {0xAE, 0x01, 0x01, 0x2C, 0x01, 0x24, 0x09, 0x00}},
      {"301 bytes, one-byte form", 1, 0x0900, 292, {}},
      {"301 bytes, two-byte form", 300, 0x0900, 291, {}},
      {"negative payload length", 1, 0x0900, -1, {}},
      {"huge payload length", 1, 0x0900, INT32_MAX, {}},
  };
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderPacket packet;
    packet.address = c.address;
    packet.type = c.type;
    packet.payload_length = c.payload_length;
    for (size_t i = 0; i < packet.payload.size(); ++i) packet.payload[i] = static_cast<uint8_t>(0x30 + i);
    std::array<uint8_t, kPacketSize> buffer{};
    const size_t n = packet_build(packet, buffer);
    if (c.header.empty()) {
      EXPECT_EQ(n, 0u);
      continue;
    }
    const size_t payload_length = static_cast<size_t>(c.payload_length);
    ASSERT_EQ(n, c.header.size() + payload_length + 2);

    // The wire carries the packet last byte first.
    Bytes logical(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    std::reverse(logical.begin(), logical.end());
    EXPECT_EQ(buffer[n - 1], 0xAE);
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), logical.begin()));
    EXPECT_TRUE(std::equal(packet.payload.begin(), packet.payload.begin() + c.payload_length,
                           logical.begin() + static_cast<std::ptrdiff_t>(c.header.size())));
    const Bytes body(logical.begin(), logical.end() - 2);
    EXPECT_EQ(logical, with_crc(body));
    // Run over the CRC bytes too, the CRC of an intact packet ends at 0.
    EXPECT_EQ(packet_crc16(logical), 0);
  }
}

struct ParseCase {
  const char* name;
  Bytes bytes;
  bool intact;
  uint16_t address = 0;
  int32_t payload_length = 0;
};

Bytes damaged(Bytes p, size_t at, uint8_t value) {
  p.at(at) = value;
  return p;
}
Bytes recrc(Bytes p) {
  p.resize(p.size() - 2);
  return with_crc(p);
}

TEST(PacketParse, AcceptsIntactRepliesAndRejectsDamagedOnes) {
  const Bytes good = reply(0x00, 0x42, 0x0900, 6);
  Bytes longer_length = good;
  longer_length.at(4) += 1;
  Bytes shorter_length = good;
  shorter_length.at(4) -= 1;
  Bytes trailing = good;
  trailing.push_back(0);

  const ParseCase cases[] = {
      {"one-byte form", good, true, 0x42, 6},
      {"two-byte form", reply(0x01, 0x1234, 0x0900, 6), true, 0x1234, 6},
      {"high nibble of the form ignored", reply(0xF1, 0x0102, 0, 3), true, 0x0102, 3},
      {"shortest reply: 9 bytes", reply(0x00, 5, 0, 0), true, 5, 0},
      {"largest reply: 300 bytes", reply(0x00, 5, 0, 291), true, 5, 291},
      {"largest reply, two-byte form", reply(0x01, 0x0500, 0, 290), true, 0x0500, 290},
      {"empty", {}, false},
      {"4 bytes", Bytes(good.begin(), good.begin() + 4), false},
      {"8 bytes with intact CRC", with_crc({0xAE, 0x00, 0x05, 0x00, 0x01, 0x00}), false},
      {"start byte not 0xAE", recrc(damaged(good, 0, 0xAF)), false},
      {"CRC damaged", damaged(good, good.size() - 1, good.back() ^ 0x01), false},
      {"payload bit flipped", damaged(good, 8, good[8] ^ 0x80), false},
      {"address form 2", recrc(damaged(good, 1, 0x02)), false},
      {"address form 0x0F", recrc(damaged(good, 1, 0x0F)), false},
      {"length field one too long", recrc(longer_length), false},
      {"length field one too short", recrc(shorter_length), false},
      {"length field below 2", with_crc({0xAE, 0x00, 0x05, 0x00, 0x01, 0x00, 0x00}), false},
      {"a byte after the packet", recrc(trailing), false},
      {"301 bytes", reply(0x00, 5, 0, 292), false},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderPacket packet;
    packet.address = 0xBEEF;
    packet.type = 0x0900;
    packet.payload_length = -7;
    const TransportResult r = packet_parse(packet, c.bytes);
    if (!c.intact) {
      EXPECT_EQ(r, TransportResult::bad_reply);
      EXPECT_EQ(packet.address, 0xBEEF);  // untouched
      EXPECT_EQ(packet.payload_length, -7);
      continue;
    }
    ASSERT_EQ(r, TransportResult::ok);
    EXPECT_EQ(packet.address, c.address);
    EXPECT_EQ(packet.type, 0x0900);  // the reply's type is not kept
    ASSERT_EQ(packet.payload_length, c.payload_length);
    const size_t payload_at = c.bytes.size() - 2 - static_cast<size_t>(c.payload_length);
    EXPECT_TRUE(std::equal(packet.payload.begin(), packet.payload.begin() + c.payload_length,
                           c.bytes.begin() + static_cast<std::ptrdiff_t>(payload_at)));
  }
}

}  // namespace
}  // namespace kk::cardkit
