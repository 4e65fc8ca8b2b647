// The DES block cipher (FIPS 46-3), the building block of every cipher
// operation of cardkit: the reader link encrypts its frames with it, and the
// triple-DES services, key diversification, the retail MAC and the card-key
// derivations of the card layouts are built from it.
//
// Byte order: a block is 8 bytes, byte 0 holding the most significant eight
// bits of the 64-bit block (bit 1 of the standard is the top bit of byte 0).
// A key is 8 bytes in the same order; the lowest bit of each key byte is the
// parity bit and is ignored.
//
// A schedule is computed once per key and reused for any number of blocks.
// Nothing here keeps state between calls: every function works only on its
// arguments, so any number of threads may encrypt at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kk::cardkit {

inline constexpr size_t kDesBlockSize = 8;
inline constexpr size_t kDesKeySize = 8;

enum class DesDirection : uint8_t { encrypt = 0, decrypt = 1 };

// The 16 round keys in the order the block function applies them, two words
// per round in the form the round function wants (the eight 6-bit groups of
// a round key split over two words, four groups each).
using DesSchedule = std::array<uint32_t, 32>;

// The round keys of `key` for encryption, or for decryption (the same round
// keys in reverse order, so that one block function serves both ways).
[[nodiscard]] DesSchedule des_key_schedule(std::span<const uint8_t, kDesKeySize> key, DesDirection direction);

// Enciphers one block in place under `schedule`, in the schedule's direction.
void des_block(std::span<uint8_t, kDesBlockSize> block, const DesSchedule& schedule);

// An 8-byte DES key with its encryption and decryption schedules, computed
// once and kept for as long as the key is used (the reader link keeps one per
// reader). The key and both schedules are wiped when the context goes away
// or is given another key.
class DesKeyContext {
 public:
  // A context for the all-zero key, to be given its key later.
  DesKeyContext();
  explicit DesKeyContext(std::span<const uint8_t, kDesKeySize> key);
  DesKeyContext(const DesKeyContext&) = default;
  DesKeyContext& operator=(const DesKeyContext&) = default;
  ~DesKeyContext();

  [[nodiscard]] const DesSchedule& encryption() const { return encryption_; }
  [[nodiscard]] const DesSchedule& decryption() const { return decryption_; }
  [[nodiscard]] std::span<const uint8_t, kDesKeySize> key() const { return key_; }

 private:
  friend void des_context_set_key(DesKeyContext& context, std::span<const uint8_t, kDesKeySize> key);

  DesSchedule encryption_{};
  DesSchedule decryption_{};
  std::array<uint8_t, kDesKeySize> key_{};
};

// Stores `key` and both of its schedules in `context`, replacing what it held.
void des_context_set_key(DesKeyContext& context, std::span<const uint8_t, kDesKeySize> key);

// Encrypts `data` in place, each 8-byte block independently (ECB), in order.
// `data` must be whole blocks: a size that is not a multiple of 8 throws
// std::invalid_argument before anything is changed, because leaving a short
// tail in plain text on an encrypted link would be a silent leak. An empty
// span does nothing.
void des_ecb_encrypt(const DesKeyContext& context, std::span<uint8_t> data);

// The same with the decryption schedule.
void des_ecb_decrypt(const DesKeyContext& context, std::span<uint8_t> data);

// A block between the initial and the final permutation, as the two 32-bit
// halves in the working form of the rounds. Chained uses (triple DES, the
// CBC chain of the MAC) run several passes of rounds on it and permute only
// once on the way in and once on the way out, since the final permutation of
// one pass and the initial permutation of the next cancel. The permutations
// are bit permutations, so XOR of two blocks commutes with them.
struct DesHalves {
  uint32_t left;
  uint32_t right;
};
[[nodiscard]] DesHalves des_initial_permutation(std::span<const uint8_t, kDesBlockSize> block);
void des_final_permutation(DesHalves halves, std::span<uint8_t, kDesBlockSize> block);
// The 16 rounds on permuted halves; the result is ready for the next pass or
// for the final permutation.
void des_rounds(DesHalves& halves, const DesSchedule& schedule);

}  // namespace kk::cardkit
