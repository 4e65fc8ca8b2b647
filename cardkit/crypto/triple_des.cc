#include "cardkit/crypto/triple_des.h"

#include <algorithm>
#include <stdexcept>

#include "common/bytes.h"

namespace kk::cardkit {
namespace {

// The final permutation of one pass and the initial permutation of the next
// cancel, so a triple-DES block is permuted once on the way in and once on
// the way out.
void three_passes(std::span<uint8_t, kDesBlockSize> block, const DesSchedule& first, const DesSchedule& second,
                  const DesSchedule& third) {
  DesHalves halves = des_initial_permutation(block);
  des_rounds(halves, first);
  des_rounds(halves, second);
  des_rounds(halves, third);
  des_final_permutation(halves, block);
}

void require_whole_blocks(std::span<uint8_t> data) {
  if (data.size() % kDesBlockSize != 0) {
    throw std::invalid_argument("triple-DES data is not a whole number of blocks");
  }
}

}  // namespace

Des3KeyContext::Des3KeyContext(std::span<const uint8_t, kDes3KeySize> key)
    : k1_(key.first<kDesKeySize>()), k2_(key.last<kDesKeySize>()) {}

void des3_encrypt_block(const Des3KeyContext& key, std::span<uint8_t, kDesBlockSize> block) {
  three_passes(block, key.k1().encryption(), key.k2().decryption(), key.k1().encryption());
}

void des3_decrypt_block(const Des3KeyContext& key, std::span<uint8_t, kDesBlockSize> block) {
  three_passes(block, key.k1().decryption(), key.k2().encryption(), key.k1().decryption());
}

void des3_ecb_encrypt(const Des3KeyContext& key, std::span<uint8_t> data) {
  require_whole_blocks(data);
  for (size_t offset = 0; offset < data.size(); offset += kDesBlockSize) {
    des3_encrypt_block(key, data.subspan(offset).first<kDesBlockSize>());
  }
}

void des3_ecb_decrypt(const Des3KeyContext& key, std::span<uint8_t> data) {
  require_whole_blocks(data);
  for (size_t offset = 0; offset < data.size(); offset += kDesBlockSize) {
    des3_decrypt_block(key, data.subspan(offset).first<kDesBlockSize>());
  }
}

void des3_diversify(std::span<const uint8_t, kDiversifyDataSize> data,
                    std::span<const uint8_t, kDes3KeySize> master_key, std::span<uint8_t, kDes3KeySize> derived) {
  // Read everything before writing anything: the caller may derive in place.
  const Des3KeyContext master(master_key);
  std::array<uint8_t, kDes3KeySize> result;
  std::copy(data.begin(), data.end(), result.begin());
  std::transform(data.begin(), data.end(), result.begin() + kDiversifyDataSize,
                 [](uint8_t byte) { return static_cast<uint8_t>(~byte); });
  des3_ecb_encrypt(master, result);
  std::copy(result.begin(), result.end(), derived.begin());
  secure_wipe(result.data(), result.size());
}

std::array<uint8_t, kMacSize> pboc_des3_mac(std::span<const uint8_t> data, std::span<const uint8_t, kDes3KeySize> key) {
  const Des3KeyContext keys(key);
  const DesSchedule& k1 = keys.k1().encryption();

  // The chaining value is kept in the permuted form between blocks: the
  // initial permutation is a bit permutation, so it commutes with XOR, and
  // the rounds leave exactly the initial permutation of their output.
  DesHalves chain{0, 0};
  auto absorb = [&chain](std::span<const uint8_t, kDesBlockSize> block) {
    const DesHalves in = des_initial_permutation(block);
    chain.left ^= in.left;
    chain.right ^= in.right;
  };

  const size_t whole = data.size() / kDesBlockSize * kDesBlockSize;
  for (size_t offset = 0; offset < whole; offset += kDesBlockSize) {
    absorb(data.subspan(offset).first<kDesBlockSize>());
    des_rounds(chain, k1);
  }

  std::array<uint8_t, kDesBlockSize> last{};
  const std::span<const uint8_t> tail = data.subspan(whole);
  std::copy(tail.begin(), tail.end(), last.begin());
  last[tail.size()] = 0x80;
  absorb(last);

  des_rounds(chain, k1);
  des_rounds(chain, keys.k2().decryption());
  des_rounds(chain, k1);
  des_final_permutation(chain, last);

  std::array<uint8_t, kMacSize> mac;
  std::copy_n(last.begin(), kMacSize, mac.begin());
  return mac;
}

}  // namespace kk::cardkit
