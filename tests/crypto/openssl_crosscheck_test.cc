// Cross-check against OpenSSL's DES over random keys and data: single DES,
// the triple-DES data exports for every length from 1 to 64, the retail MAC
// (ISO/IEC 9797-1 algorithm 3 built from OpenSSL's DES) and diversification.
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "cardkit.h"
#include "cardkit/crypto/des.h"

namespace {

using Key16 = std::array<uint8_t, 16>;

// A fixed seed keeps a failure reproducible; the number of trials keeps the
// run short under the sanitizers.
constexpr uint32_t kSeed = 0x4b4b3344;

template <size_t N>
std::array<uint8_t, N> random_bytes(std::mt19937& random) {
  std::array<uint8_t, N> bytes;
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

std::vector<uint8_t> random_vector(std::mt19937& random, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

struct OpenSslKey {
  explicit OpenSslKey(const uint8_t* key) {
    DES_cblock block;
    std::memcpy(block, key, 8);
    DES_set_key_unchecked(&block, &schedule);
  }
  DES_key_schedule schedule;
};

void openssl_ede_block(uint8_t* block, const OpenSslKey& k1, const OpenSslKey& k2, int direction) {
  DES_cblock in;
  DES_cblock out;
  std::memcpy(in, block, 8);
  DES_ecb2_encrypt(&in, &out, const_cast<DES_key_schedule*>(&k1.schedule),
                   const_cast<DES_key_schedule*>(&k2.schedule), direction);
  std::memcpy(block, out, 8);
}

TEST(OpenSslCrossCheck, SingleDes) {
  std::mt19937 random(kSeed);
  for (int trial = 0; trial < 500; ++trial) {
    const auto key = random_bytes<8>(random);
    const auto plain = random_bytes<8>(random);
    const OpenSslKey reference(key.data());

    DES_cblock in;
    DES_cblock expected;
    std::memcpy(in, plain.data(), 8);
    DES_ecb_encrypt(&in, &expected, const_cast<DES_key_schedule*>(&reference.schedule), DES_ENCRYPT);

    const kk::cardkit::DesKeyContext context(key);
    std::array<uint8_t, 8> block = plain;
    kk::cardkit::des_ecb_encrypt(context, block);
    ASSERT_EQ(0, std::memcmp(block.data(), expected, 8)) << "trial " << trial;
    kk::cardkit::des_ecb_decrypt(context, block);
    ASSERT_EQ(block, plain) << "trial " << trial;
  }
}

TEST(OpenSslCrossCheck, TripleDesDataForEveryLengthUpTo64) {
  std::mt19937 random(kSeed + 1);
  for (int32_t length = 1; length <= 64; ++length) {
    for (int trial = 0; trial < 8; ++trial) {
      SCOPED_TRACE(testing::Message() << "length " << length << " trial " << trial);
      const Key16 key = random_bytes<16>(random);
      const size_t padded = static_cast<size_t>(length + 7) / 8 * 8;
      // Room past the rounded length, to see that nothing beyond it changes.
      const std::vector<uint8_t> original = random_vector(random, padded + 8);

      std::vector<uint8_t> expected = original;
      const OpenSslKey k1(key.data());
      const OpenSslKey k2(key.data() + 8);
      for (size_t offset = 0; offset < padded; offset += 8) {
        openssl_ede_block(expected.data() + offset, k1, k2, DES_ENCRYPT);
      }

      std::vector<uint8_t> data = original;
      ASSERT_EQ(des3_enc_dat(data.data(), length, key.data()), static_cast<int32_t>(padded));
      ASSERT_EQ(data, expected);
      ASSERT_EQ(des3_dec_dat(data.data(), length, key.data()), 0);
      ASSERT_EQ(data, original);

      // Decryption on its own, of data OpenSSL encrypted.
      data = expected;
      des3_dec_dat(data.data(), length, key.data());
      ASSERT_EQ(data, original);
    }
  }
}

// ISO/IEC 9797-1 MAC algorithm 3 with padding method 2, from OpenSSL parts:
// CBC under K1 over the padded data, then D(K2) and E(K1) of the last block.
std::array<uint8_t, 4> openssl_retail_mac(const std::vector<uint8_t>& message, const Key16& key) {
  std::vector<uint8_t> padded = message;
  padded.push_back(0x80);
  padded.resize((padded.size() + 7) / 8 * 8, 0);
  std::vector<uint8_t> cbc(padded.size());
  const OpenSslKey k1(key.data());
  const OpenSslKey k2(key.data() + 8);
  DES_cblock iv = {0};
  DES_ncbc_encrypt(padded.data(), cbc.data(), static_cast<long>(padded.size()),
                   const_cast<DES_key_schedule*>(&k1.schedule), &iv, DES_ENCRYPT);
  DES_cblock last;
  DES_cblock step;
  std::memcpy(last, cbc.data() + cbc.size() - 8, 8);
  DES_ecb_encrypt(&last, &step, const_cast<DES_key_schedule*>(&k2.schedule), DES_DECRYPT);
  DES_ecb_encrypt(&step, &last, const_cast<DES_key_schedule*>(&k1.schedule), DES_ENCRYPT);
  return {last[0], last[1], last[2], last[3]};
}

TEST(OpenSslCrossCheck, RetailMac) {
  std::mt19937 random(kSeed + 2);
  for (size_t length = 0; length <= 80; ++length) {
    for (int trial = 0; trial < 4; ++trial) {
      SCOPED_TRACE(testing::Message() << "length " << length << " trial " << trial);
      const Key16 key = random_bytes<16>(random);
      const std::vector<uint8_t> message = random_vector(random, length);
      std::array<uint8_t, 4> mac{};
      ASSERT_EQ(pboc_des3_mac(message.data(), static_cast<int32_t>(length), key.data(), mac.data()), 0);
      ASSERT_EQ(mac, openssl_retail_mac(message, key));
    }
  }
}

TEST(OpenSslCrossCheck, Diversification) {
  std::mt19937 random(kSeed + 3);
  for (int trial = 0; trial < 200; ++trial) {
    const Key16 master = random_bytes<16>(random);
    const auto data = random_bytes<8>(random);

    Key16 expected;
    std::memcpy(expected.data(), data.data(), 8);
    for (size_t i = 0; i < 8; ++i) expected[8 + i] = static_cast<uint8_t>(~data[i]);
    const OpenSslKey k1(master.data());
    const OpenSslKey k2(master.data() + 8);
    openssl_ede_block(expected.data(), k1, k2, DES_ENCRYPT);
    openssl_ede_block(expected.data() + 8, k1, k2, DES_ENCRYPT);

    Key16 key = master;
    ASSERT_EQ(des3_diversify(data.data(), key.data()), 0);
    ASSERT_EQ(key, expected) << "trial " << trial;
  }
}

}  // namespace
