// The four triple-DES exports: block rounding and the bytes each length
// touches, the reductions to single DES, the MAC padding, diversification,
// and refused arguments.
#include "cardkit/crypto/triple_des.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "cardkit.h"

namespace kk::cardkit {
namespace {

using Key16 = std::array<uint8_t, 16>;
using Block = std::array<uint8_t, 8>;

constexpr Key16 kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                        0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + 37 * i);
  return bytes;
}

// Triple DES of whole blocks through the C++ engine, as the reference for
// what the exports must leave in the buffer.
std::vector<uint8_t> encrypted_blocks(std::vector<uint8_t> data, size_t blocks, const Key16& key) {
  des3_ecb_encrypt(key, std::span<uint8_t>(data.data(), blocks * 8));
  return data;
}

TEST(Des3EncDat, RoundsUpToWholeBlocksAndTouchesNothingElse) {
  struct Case {
    int32_t length;
    int32_t result;  // = bytes encrypted
  };
  const Case cases[] = {{1, 8},   {7, 8}, {8, 8},  {9, 16}, {16, 16},
                        {17, 24}, {0, 0}, {-1, 0}, {-8, 0}, {INT32_MIN, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> data = pattern(40, 5);
    const std::vector<uint8_t> expected = encrypted_blocks(data, static_cast<size_t>(c.result) / 8, kKey);
    EXPECT_EQ(::des3_enc_dat(data.data(), c.length, kKey.data()), c.result);
    EXPECT_EQ(data, expected);
  }
}

TEST(Des3DecDat, RoundsUpToWholeBlocksAndInvertsEncryption) {
  struct Case {
    int32_t length;
    size_t blocks;
  };
  const Case cases[] = {{1, 1}, {8, 1},  {9, 2},  {16, 2}, {33, 5},
                        {0, 0}, {-1, 0}, {-7, 0}, {-8, 0}, {INT32_MIN, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const std::vector<uint8_t> plain = pattern(48, 9);
    const std::vector<uint8_t> cipher = encrypted_blocks(plain, c.blocks, kKey);
    std::vector<uint8_t> data = cipher;
    EXPECT_EQ(::des3_dec_dat(data.data(), c.length, kKey.data()), 0);
    EXPECT_EQ(data, plain);  // the blocks decrypted, the rest untouched
  }
  // Encrypt then decrypt with the same length restores the data, for
  // lengths that are not block multiples too.
  for (int32_t length = 1; length <= 40; ++length) {
    std::vector<uint8_t> data = pattern(48, static_cast<uint8_t>(length));
    const std::vector<uint8_t> original = data;
    ASSERT_EQ(::des3_enc_dat(data.data(), length, kKey.data()), (length + 7) / 8 * 8);
    ASSERT_NE(data, original);
    ::des3_dec_dat(data.data(), length, kKey.data());
    EXPECT_EQ(data, original) << "length " << length;
  }
}

TEST(TripleDes, EqualHalvesReduceToSingleDes) {
  std::mt19937 random(21);
  for (int trial = 0; trial < 8; ++trial) {
    Block k1;
    for (uint8_t& byte : k1) byte = static_cast<uint8_t>(random());
    Key16 key;
    std::copy(k1.begin(), k1.end(), key.begin());
    std::copy(k1.begin(), k1.end(), key.begin() + 8);
    const DesKeyContext single(k1);

    std::vector<uint8_t> data = pattern(24, static_cast<uint8_t>(trial));
    std::vector<uint8_t> expected = data;
    des_ecb_encrypt(single, expected);
    EXPECT_EQ(::des3_enc_dat(data.data(), 24, key.data()), 24);
    EXPECT_EQ(data, expected);
    des_ecb_decrypt(single, expected);
    ::des3_dec_dat(data.data(), 24, key.data());
    EXPECT_EQ(data, expected);

    // The MAC becomes a plain single-DES CBC-MAC over the padded data.
    const std::vector<uint8_t> message = pattern(13, static_cast<uint8_t>(trial));
    Block chain{};
    std::vector<uint8_t> padded = message;
    padded.push_back(0x80);
    padded.resize(16, 0);
    for (size_t offset = 0; offset < padded.size(); offset += 8) {
      for (size_t i = 0; i < 8; ++i) chain[i] ^= padded[offset + i];
      des_ecb_encrypt(single, chain);
    }
    std::array<uint8_t, 4> mac{};
    EXPECT_EQ(::pboc_des3_mac(message.data(), 13, key.data(), mac.data()), 0);
    EXPECT_TRUE(std::equal(mac.begin(), mac.end(), chain.begin()));
  }
}

TEST(TripleDes, ParityBitsOfEitherHalfAreIgnored) {
  const std::vector<uint8_t> message = pattern(20, 3);
  const Block ident = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  auto results = [&](const Key16& key) {
    std::vector<uint8_t> out = pattern(24, 1);
    ::des3_enc_dat(out.data(), 20, key.data());
    std::vector<uint8_t> decrypted = pattern(24, 1);
    ::des3_dec_dat(decrypted.data(), 20, key.data());
    out.insert(out.end(), decrypted.begin(), decrypted.end());
    Key16 derived = key;
    ::des3_diversify(ident.data(), derived.data());
    out.insert(out.end(), derived.begin(), derived.end());
    std::array<uint8_t, 4> mac{};
    ::pboc_des3_mac(message.data(), 20, key.data(), mac.data());
    out.insert(out.end(), mac.begin(), mac.end());
    return out;
  };
  const std::vector<uint8_t> reference = results(kKey);
  for (size_t i = 0; i < kKey.size(); ++i) {
    Key16 flipped = kKey;
    flipped[i] ^= 0x01;
    EXPECT_EQ(results(flipped), reference) << "key byte " << i;
  }
}

TEST(PbocMac, PadsWithOneMarkerByteAndZeros) {
  // Each case builds the expected MAC another way: the chain of single-DES
  // CBC steps under K1 written out by hand, the last step as triple DES
  // (E K1, D K2, E K1) of the padded final block XOR the chain.
  const Block k1 = {kKey[0], kKey[1], kKey[2], kKey[3], kKey[4], kKey[5], kKey[6], kKey[7]};
  const DesKeyContext single(k1);
  struct Case {
    size_t length;
    size_t padded_blocks;
  };
  const Case cases[] = {{0, 1}, {1, 1}, {7, 1}, {8, 2}, {9, 2}, {15, 2}, {16, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const std::vector<uint8_t> message = pattern(c.length, 0x5A);
    std::vector<uint8_t> padded = message;
    padded.push_back(0x80);
    padded.resize(c.padded_blocks * 8, 0);

    Block chain{};
    for (size_t offset = 0; offset + 8 < padded.size(); offset += 8) {
      for (size_t i = 0; i < 8; ++i) chain[i] ^= padded[offset + i];
      des_ecb_encrypt(single, chain);
    }
    for (size_t i = 0; i < 8; ++i) chain[i] ^= padded[padded.size() - 8 + i];
    ASSERT_EQ(::des3_enc_dat(chain.data(), 8, kKey.data()), 8);

    std::array<uint8_t, 6> mac;
    mac.fill(0xEE);
    EXPECT_EQ(::pboc_des3_mac(message.data(), static_cast<int32_t>(c.length), kKey.data(), mac.data()), 0);
    EXPECT_TRUE(std::equal(mac.begin(), mac.begin() + 4, chain.begin()));
    EXPECT_EQ(mac[4], 0xEE);  // exactly four bytes written
    EXPECT_EQ(mac[5], 0xEE);
  }
}

TEST(PbocMac, NegativeLengthCountsAsEmpty) {
  std::array<uint8_t, 4> empty{};
  std::array<uint8_t, 4> negative{};
  std::array<uint8_t, 4> no_data{};
  const uint8_t byte = 0x42;
  ::pboc_des3_mac(&byte, 0, kKey.data(), empty.data());
  ::pboc_des3_mac(&byte, -5, kKey.data(), negative.data());
  ::pboc_des3_mac(nullptr, INT32_MIN, kKey.data(), no_data.data());
  EXPECT_EQ(negative, empty);
  EXPECT_EQ(no_data, empty);
  EXPECT_NE(empty, (std::array<uint8_t, 4>{}));
}

TEST(Des3Diversify, BothHalvesComeFromTheMasterKey) {
  const Block data = {0x00, 0x01, 0x02, 0x03, 0xF0, 0xF1, 0xF2, 0xF3};
  Block inverted;
  for (size_t i = 0; i < 8; ++i) inverted[i] = static_cast<uint8_t>(~data[i]);

  Key16 derived = kKey;
  const Block data_before = data;
  EXPECT_EQ(::des3_diversify(data.data(), derived.data()), 0);
  EXPECT_EQ(data, data_before);

  Block left = data;
  Block right = inverted;
  ::des3_enc_dat(left.data(), 8, kKey.data());
  ::des3_enc_dat(right.data(), 8, kKey.data());
  EXPECT_TRUE(std::equal(left.begin(), left.end(), derived.begin()));
  EXPECT_TRUE(std::equal(right.begin(), right.end(), derived.begin() + 8));

  // Repeatable, and the second half is the first half of the inverted data.
  Key16 again = kKey;
  ::des3_diversify(data.data(), again.data());
  EXPECT_EQ(again, derived);
  Key16 from_inverted = kKey;
  ::des3_diversify(inverted.data(), from_inverted.data());
  EXPECT_TRUE(std::equal(from_inverted.begin(), from_inverted.begin() + 8, derived.begin() + 8));
  EXPECT_TRUE(std::equal(from_inverted.begin() + 8, from_inverted.end(), derived.begin()));
}

TEST(Des3Diversify, DataInsideTheKeyBufferIsReadBeforeTheKeyIsWritten) {
  for (size_t offset : {0u, 4u, 8u}) {
    SCOPED_TRACE(offset);
    Key16 buffer = kKey;
    Block data;
    std::copy_n(buffer.begin() + offset, 8, data.begin());
    Key16 expected = kKey;
    ::des3_diversify(data.data(), expected.data());

    ::des3_diversify(buffer.data() + offset, buffer.data());
    EXPECT_EQ(buffer, expected);
  }
}

TEST(TripleDes, RaggedDataIsRefusedBeforeAnyBlockChanges) {
  std::vector<uint8_t> data = pattern(24, 4);
  const std::vector<uint8_t> original = data;
  for (size_t size : {1u, 15u, 23u}) {
    SCOPED_TRACE(size);
    EXPECT_THROW(des3_ecb_encrypt(kKey, std::span<uint8_t>(data.data(), size)), std::invalid_argument);
    EXPECT_THROW(des3_ecb_decrypt(kKey, std::span<uint8_t>(data.data(), size)), std::invalid_argument);
    EXPECT_EQ(data, original);
  }
}

TEST(TripleDesExports, NullPointersAreRefusedWithoutTouchingAnything) {
  std::vector<uint8_t> data = pattern(16, 1);
  const std::vector<uint8_t> original = data;
  Key16 key = kKey;
  std::array<uint8_t, 4> mac = {9, 9, 9, 9};

  EXPECT_EQ(::des3_enc_dat(nullptr, 16, key.data()), 0);
  EXPECT_EQ(::des3_enc_dat(data.data(), 16, nullptr), 0);
  EXPECT_EQ(::des3_dec_dat(nullptr, 16, key.data()), 0);
  EXPECT_EQ(::des3_dec_dat(data.data(), 16, nullptr), 0);
  EXPECT_EQ(::des3_diversify(nullptr, key.data()), 0);
  EXPECT_EQ(::des3_diversify(data.data(), nullptr), 0);
  EXPECT_EQ(::pboc_des3_mac(nullptr, 16, key.data(), mac.data()), 0);
  EXPECT_EQ(::pboc_des3_mac(data.data(), 16, nullptr, mac.data()), 0);
  EXPECT_EQ(::pboc_des3_mac(data.data(), 16, key.data(), nullptr), 0);

  EXPECT_EQ(data, original);
  EXPECT_EQ(key, kKey);
  EXPECT_EQ(mac, (std::array<uint8_t, 4>{9, 9, 9, 9}));

  // Lengths below 1 never look at the pointers.
  EXPECT_EQ(::des3_enc_dat(nullptr, 0, nullptr), 0);
  EXPECT_EQ(::des3_dec_dat(nullptr, -3, nullptr), 0);
}

TEST(TripleDesExports, EncryptRefusesLengthsWhoseByteCountDoesNotFitTheResult) {
  // 2147483641 and above round up to 2^31 bytes, which an int32 result
  // cannot report; the call is refused before the buffer is touched.
  std::vector<uint8_t> data = pattern(16, 2);
  const std::vector<uint8_t> original = data;
  for (int32_t length : {INT32_MAX, INT32_MAX - 6}) {
    EXPECT_EQ(::des3_enc_dat(data.data(), length, kKey.data()), 0);
    EXPECT_EQ(data, original);
  }
}

}  // namespace
}  // namespace kk::cardkit
