#include "cardkit/crypto/triple_des.h"

#include <algorithm>
#include <stdexcept>

#include "common/bytes.h"

namespace kk::cardkit {
namespace {

// The two schedules one triple-DES direction needs: the outer passes (K1)
// in the given direction, the middle pass (K2) in the other. Computed from
// the key for one call and wiped when it ends.
class PassSchedules {
 public:
  PassSchedules(std::span<const uint8_t, kDes3KeySize> key, DesDirection outer)
      : outer_(des_key_schedule(key.first<kDesKeySize>(), outer)),
        middle_(des_key_schedule(key.last<kDesKeySize>(), outer == DesDirection::encrypt
                                                              ? DesDirection::decrypt
                                                              : DesDirection::encrypt)) {}
  PassSchedules(const PassSchedules&) = delete;
  PassSchedules& operator=(const PassSchedules&) = delete;
  ~PassSchedules() {
    secure_wipe(outer_.data(), sizeof outer_);
    secure_wipe(middle_.data(), sizeof middle_);
  }

  [[nodiscard]] const DesSchedule& outer() const { return outer_; }
  [[nodiscard]] const DesSchedule& middle() const { return middle_; }

  // The final permutation of one pass and the initial permutation of the
  // next cancel, so a block is permuted once on the way in and once out.
  void apply(std::span<uint8_t, kDesBlockSize> block) const {
    DesHalves halves = des_initial_permutation(block);
    des_rounds(halves, outer_);
    des_rounds(halves, middle_);
    des_rounds(halves, outer_);
    des_final_permutation(halves, block);
  }

 private:
  DesSchedule outer_;
  DesSchedule middle_;
};

void ecb(std::span<const uint8_t, kDes3KeySize> key, DesDirection direction, std::span<uint8_t> data) {
  if (data.size() % kDesBlockSize != 0) {
    throw std::invalid_argument("triple-DES data is not a whole number of blocks");
  }
  if (data.empty()) return;
  const PassSchedules passes(key, direction);
  for (size_t offset = 0; offset < data.size(); offset += kDesBlockSize) {
    passes.apply(data.subspan(offset).first<kDesBlockSize>());
  }
}

}  // namespace

void des3_ecb_encrypt(std::span<const uint8_t, kDes3KeySize> key, std::span<uint8_t> data) {
  ecb(key, DesDirection::encrypt, data);
}

void des3_ecb_decrypt(std::span<const uint8_t, kDes3KeySize> key, std::span<uint8_t> data) {
  ecb(key, DesDirection::decrypt, data);
}

void des3_diversify(std::span<const uint8_t, kDiversifyDataSize> data,
                    std::span<const uint8_t, kDes3KeySize> master_key,
                    std::span<uint8_t, kDes3KeySize> derived) {
  // Read everything before writing anything: the caller may derive in place.
  std::array<uint8_t, kDes3KeySize> result;
  std::copy(data.begin(), data.end(), result.begin());
  std::transform(data.begin(), data.end(), result.begin() + kDiversifyDataSize,
                 [](uint8_t byte) { return static_cast<uint8_t>(~byte); });
  des3_ecb_encrypt(master_key, result);
  std::copy(result.begin(), result.end(), derived.begin());
  secure_wipe(result.data(), result.size());
}

std::array<uint8_t, kMacSize> pboc_des3_mac(std::span<const uint8_t> data,
                                            std::span<const uint8_t, kDes3KeySize> key) {
  const PassSchedules passes(key, DesDirection::encrypt);  // E K1, D K2

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
    des_rounds(chain, passes.outer());
  }

  // Padding method 2: the rest of the data, 0x80, zeros; a whole block of
  // padding when the data ends on a block boundary.
  std::array<uint8_t, kDesBlockSize> last{};
  const std::span<const uint8_t> tail = data.subspan(whole);
  std::copy(tail.begin(), tail.end(), last.begin());
  last[tail.size()] = 0x80;
  absorb(last);

  des_rounds(chain, passes.outer());
  des_rounds(chain, passes.middle());
  des_rounds(chain, passes.outer());
  des_final_permutation(chain, last);

  std::array<uint8_t, kMacSize> mac;
  std::copy_n(last.begin(), kMacSize, mac.begin());
  return mac;
}

}  // namespace kk::cardkit
