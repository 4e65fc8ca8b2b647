// The DES engine: the published known-answer vectors (single DES through the
// engine, two-key triple DES through the exports), whole-block handling, the
// ignored parity bits and the wiping of key contexts.
#include "cardkit/crypto/des.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <new>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cardkit.h"

namespace kk::cardkit {
namespace {

std::vector<uint8_t> from_hex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + hex);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct KnownAnswer {
  std::string name;
  std::vector<uint8_t> key;
  std::vector<uint8_t> plaintext;
  std::vector<uint8_t> ciphertext;
};

std::vector<KnownAnswer> load_known_answers() {
  const char* folder = std::getenv("KIOSKKIT_TEST_DATA");
  if (folder == nullptr) throw std::runtime_error("KIOSKKIT_TEST_DATA is not set");
  std::ifstream file(std::string(folder) + "/des_kat.txt");
  if (!file) throw std::runtime_error("cannot open des_kat.txt");
  std::vector<KnownAnswer> cases;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, key, plaintext, ciphertext;
    if (!(fields >> name >> key >> plaintext >> ciphertext)) throw std::runtime_error("bad line: " + line);
    cases.push_back({name, from_hex(key), from_hex(plaintext), from_hex(ciphertext)});
  }
  return cases;
}

TEST(DesKnownAnswer, PublishedVectorsBothWays) {
  const std::vector<KnownAnswer> cases = load_known_answers();
  // The file holds the four single-DES tables (171 cases) and the triple-DES
  // cases; a truncated file must not pass quietly.
  ASSERT_GE(cases.size(), 174u);
  for (const KnownAnswer& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.plaintext.size(), c.ciphertext.size());
    ASSERT_EQ(c.plaintext.size() % kDesBlockSize, 0u);
    std::vector<uint8_t> data = c.plaintext;
    if (c.key.size() == kDesKeySize) {
      const std::span<const uint8_t, kDesKeySize> key(c.key.data(), kDesKeySize);
      const DesKeyContext context(key);
      des_ecb_encrypt(context, data);
      EXPECT_EQ(data, c.ciphertext);
      des_ecb_decrypt(context, data);
      EXPECT_EQ(data, c.plaintext);

      // The schedule on its own, in both directions, through one block.
      std::array<uint8_t, kDesBlockSize> block;
      std::copy_n(c.plaintext.begin(), kDesBlockSize, block.begin());
      des_block(block, des_key_schedule(key, DesDirection::encrypt));
      EXPECT_TRUE(std::equal(block.begin(), block.end(), c.ciphertext.begin()));
      des_block(block, des_key_schedule(key, DesDirection::decrypt));
      EXPECT_TRUE(std::equal(block.begin(), block.end(), c.plaintext.begin()));
    } else {
      ASSERT_EQ(c.key.size(), 16u);
      const auto length = static_cast<int32_t>(data.size());
      EXPECT_EQ(::des3_enc_dat(data.data(), length, c.key.data()), length);
      EXPECT_EQ(data, c.ciphertext);
      EXPECT_EQ(::des3_dec_dat(data.data(), length, c.key.data()), 0);
      EXPECT_EQ(data, c.plaintext);
    }
  }
}

std::array<uint8_t, kDesKeySize> random_key(std::mt19937& random) {
  std::array<uint8_t, kDesKeySize> key;
  for (uint8_t& byte : key) byte = static_cast<uint8_t>(random());
  return key;
}

TEST(DesEngine, ParityBitsAreIgnored) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 32; ++trial) {
    std::array<uint8_t, kDesKeySize> key = random_key(random);
    const DesSchedule reference = des_key_schedule(key, DesDirection::encrypt);
    for (size_t i = 0; i < kDesKeySize; ++i) {
      std::array<uint8_t, kDesKeySize> flipped = key;
      flipped[i] ^= 0x01;
      EXPECT_EQ(des_key_schedule(flipped, DesDirection::encrypt), reference) << "byte " << i;
    }
    // Any other bit is key material.
    std::array<uint8_t, kDesKeySize> changed = key;
    changed[trial % 8] ^= 0x02;
    EXPECT_NE(des_key_schedule(changed, DesDirection::encrypt), reference);
  }
}

TEST(DesEngine, DecryptionScheduleIsTheEncryptionScheduleReversed) {
  std::mt19937 random(11);
  const std::array<uint8_t, kDesKeySize> key = random_key(random);
  const DesKeyContext context(key);
  for (size_t round = 0; round < 16; ++round) {
    EXPECT_EQ(context.decryption()[2 * round], context.encryption()[30 - 2 * round]);
    EXPECT_EQ(context.decryption()[2 * round + 1], context.encryption()[31 - 2 * round]);
  }
  EXPECT_EQ(context.decryption(), des_key_schedule(key, DesDirection::decrypt));
  EXPECT_TRUE(std::equal(key.begin(), key.end(), context.key().begin()));
}

TEST(DesEngine, EcbWorksOnWholeBlocksOnly) {
  std::mt19937 random(3);
  const DesKeyContext context(random_key(random));
  std::vector<uint8_t> data(24);
  for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
  const std::vector<uint8_t> original = data;

  // Each block on its own, in place.
  std::vector<uint8_t> expected = data;
  for (size_t offset = 0; offset < expected.size(); offset += 8) {
    des_block(std::span<uint8_t, 8>(expected.data() + offset, 8), context.encryption());
  }
  des_ecb_encrypt(context, data);
  EXPECT_EQ(data, expected);
  des_ecb_decrypt(context, data);
  EXPECT_EQ(data, original);

  // A ragged tail is refused before any block is touched; nothing at all is
  // a no-op.
  for (size_t size : {1u, 7u, 9u, 23u}) {
    SCOPED_TRACE(size);
    EXPECT_THROW(des_ecb_encrypt(context, std::span<uint8_t>(data.data(), size)), std::invalid_argument);
    EXPECT_THROW(des_ecb_decrypt(context, std::span<uint8_t>(data.data(), size)), std::invalid_argument);
    EXPECT_EQ(data, original);
  }
  des_ecb_encrypt(context, std::span<uint8_t>());
  EXPECT_EQ(data, original);
}

TEST(DesEngine, SetKeyReplacesTheKeyEvenFromItsOwnStorage) {
  const std::array<uint8_t, 8> first = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  const std::array<uint8_t, 8> second = {0x0E, 0x32, 0x92, 0x32, 0xEA, 0x6D, 0x0D, 0x73};
  DesKeyContext context(first);
  des_context_set_key(context, second);
  const DesKeyContext fresh(second);
  EXPECT_EQ(context.encryption(), fresh.encryption());
  EXPECT_EQ(context.decryption(), fresh.decryption());

  des_context_set_key(context, context.key());
  EXPECT_EQ(context.encryption(), fresh.encryption());
  EXPECT_TRUE(std::equal(second.begin(), second.end(), context.key().begin()));
}

TEST(DesEngine, ContextIsWipedWhenItGoesAway) {
  alignas(DesKeyContext) std::array<unsigned char, sizeof(DesKeyContext)> storage;
  const std::array<uint8_t, 8> key = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
  auto* context = new (storage.data()) DesKeyContext(key);
  ASSERT_NE(context->encryption(), DesSchedule{});
  context->~DesKeyContext();
  for (size_t i = 0; i < storage.size(); ++i) EXPECT_EQ(storage[i], 0) << "byte " << i;
}

}  // namespace
}  // namespace kk::cardkit
