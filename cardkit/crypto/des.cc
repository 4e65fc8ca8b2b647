// DES as FIPS 46-3 defines it, in the classic fast software form:
//  - the initial and final permutations are done by five bit-group swaps
//    between the two halves instead of 64 single-bit moves;
//  - the halves are kept rotated left by one bit during the rounds, which
//    lines the expansion E up so that the eight 6-bit S-box inputs are plain
//    shifts and masks of the half (and of the half rotated by four);
//  - each S-box is merged with the permutation P into one table of 64 words
//    (S-box output already moved to its place after P, in the rotated form);
//  - the key schedule is precomputed as two words per round, holding the
//    four 6-bit groups that meet the two S-box input words.
// Every table is computed at compile time from the standard's own tables
// below, so the only hand-written constants are those of the standard.
#include "cardkit/crypto/des.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <utility>

#include "common/bytes.h"

namespace kk::cardkit {
namespace {

// ---- The standard's tables (bit positions counted from 1, most significant
// bit first, as FIPS 46-3 prints them) ----

// clang-format off
// Laid out as the standard prints them.
constexpr std::array<uint8_t, 64> kInitialPermutation = {
    58, 50, 42, 34, 26, 18, 10,  2,
    60, 52, 44, 36, 28, 20, 12,  4,
    62, 54, 46, 38, 30, 22, 14,  6,
    64, 56, 48, 40, 32, 24, 16,  8,
    57, 49, 41, 33, 25, 17,  9,  1,
    59, 51, 43, 35, 27, 19, 11,  3,
    61, 53, 45, 37, 29, 21, 13,  5,
    63, 55, 47, 39, 31, 23, 15,  7};

constexpr std::array<std::array<uint8_t, 64>, 8> kSBoxes = {{
    {
        14,  4, 13,  1,  2, 15, 11,  8,  3, 10,  6, 12,  5,  9,  0,  7,
         0, 15,  7,  4, 14,  2, 13,  1, 10,  6, 12, 11,  9,  5,  3,  8,
         4,  1, 14,  8, 13,  6,  2, 11, 15, 12,  9,  7,  3, 10,  5,  0,
        15, 12,  8,  2,  4,  9,  1,  7,  5, 11,  3, 14, 10,  0,  6, 13},
    {
        15,  1,  8, 14,  6, 11,  3,  4,  9,  7,  2, 13, 12,  0,  5, 10,
         3, 13,  4,  7, 15,  2,  8, 14, 12,  0,  1, 10,  6,  9, 11,  5,
         0, 14,  7, 11, 10,  4, 13,  1,  5,  8, 12,  6,  9,  3,  2, 15,
        13,  8, 10,  1,  3, 15,  4,  2, 11,  6,  7, 12,  0,  5, 14,  9},
    {
        10,  0,  9, 14,  6,  3, 15,  5,  1, 13, 12,  7, 11,  4,  2,  8,
        13,  7,  0,  9,  3,  4,  6, 10,  2,  8,  5, 14, 12, 11, 15,  1,
        13,  6,  4,  9,  8, 15,  3,  0, 11,  1,  2, 12,  5, 10, 14,  7,
         1, 10, 13,  0,  6,  9,  8,  7,  4, 15, 14,  3, 11,  5,  2, 12},
    {
         7, 13, 14,  3,  0,  6,  9, 10,  1,  2,  8,  5, 11, 12,  4, 15,
        13,  8, 11,  5,  6, 15,  0,  3,  4,  7,  2, 12,  1, 10, 14,  9,
        10,  6,  9,  0, 12, 11,  7, 13, 15,  1,  3, 14,  5,  2,  8,  4,
         3, 15,  0,  6, 10,  1, 13,  8,  9,  4,  5, 11, 12,  7,  2, 14},
    {
         2, 12,  4,  1,  7, 10, 11,  6,  8,  5,  3, 15, 13,  0, 14,  9,
        14, 11,  2, 12,  4,  7, 13,  1,  5,  0, 15, 10,  3,  9,  8,  6,
         4,  2,  1, 11, 10, 13,  7,  8, 15,  9, 12,  5,  6,  3,  0, 14,
        11,  8, 12,  7,  1, 14,  2, 13,  6, 15,  0,  9, 10,  4,  5,  3},
    {
        12,  1, 10, 15,  9,  2,  6,  8,  0, 13,  3,  4, 14,  7,  5, 11,
        10, 15,  4,  2,  7, 12,  9,  5,  6,  1, 13, 14,  0, 11,  3,  8,
         9, 14, 15,  5,  2,  8, 12,  3,  7,  0,  4, 10,  1, 13, 11,  6,
         4,  3,  2, 12,  9,  5, 15, 10, 11, 14,  1,  7,  6,  0,  8, 13},
    {
         4, 11,  2, 14, 15,  0,  8, 13,  3, 12,  9,  7,  5, 10,  6,  1,
        13,  0, 11,  7,  4,  9,  1, 10, 14,  3,  5, 12,  2, 15,  8,  6,
         1,  4, 11, 13, 12,  3,  7, 14, 10, 15,  6,  8,  0,  5,  9,  2,
         6, 11, 13,  8,  1,  4, 10,  7,  9,  5,  0, 15, 14,  2,  3, 12},
    {
        13,  2,  8,  4,  6, 15, 11,  1, 10,  9,  3, 14,  5,  0, 12,  7,
         1, 15, 13,  8, 10,  3,  7,  4, 12,  5,  6, 11,  0, 14,  9,  2,
         7, 11,  4,  1,  9, 12, 14,  2,  0,  6, 10, 13, 15,  3,  5,  8,
         2,  1, 14,  7,  4, 10,  8, 13, 15, 12,  9,  0,  3,  5,  6, 11},
}};

constexpr std::array<uint8_t, 32> kPermutationP = {
    16,  7, 20, 21,
    29, 12, 28, 17,
     1, 15, 23, 26,
     5, 18, 31, 10,
     2,  8, 24, 14,
    32, 27,  3,  9,
    19, 13, 30,  6,
    22, 11,  4, 25};

// Permuted choice 1: the 28 bits of C, then the 28 bits of D, as key bit
// positions. Positions 8, 16, ..., 64 (the parity bits) never appear.
constexpr std::array<uint8_t, 56> kPermutedChoice1 = {
    57, 49, 41, 33, 25, 17,  9,
     1, 58, 50, 42, 34, 26, 18,
    10,  2, 59, 51, 43, 35, 27,
    19, 11,  3, 60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15,
     7, 62, 54, 46, 38, 30, 22,
    14,  6, 61, 53, 45, 37, 29,
    21, 13,  5, 28, 20, 12,  4};

// Permuted choice 2: the 48 round-key bits as positions in C followed by D.
constexpr std::array<uint8_t, 48> kPermutedChoice2 = {
    14, 17, 11, 24,  1,  5,
     3, 28, 15,  6, 21, 10,
    23, 19, 12,  4, 26,  8,
    16,  7, 27, 20, 13,  2,
    41, 52, 31, 37, 47, 55,
    30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53,
    46, 42, 50, 36, 29, 32};

constexpr std::array<uint8_t, 16> kLeftShifts = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
// clang-format on

// ---- The initial and final permutations as bit-group swaps ----

// Exchanges the bits of `a` selected by `mask << shift` with the bits of `b`
// selected by `mask`. Its own inverse.
constexpr void swap_bits(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
  const uint32_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

// The initial permutation: IP is a transposition of the block seen as an 8x8
// bit matrix followed by a reordering, which five swaps of 4-, 16-, 2-, 8-
// and 1-bit groups perform.
constexpr void initial_permutation(uint32_t& left, uint32_t& right) {
  swap_bits(left, right, 4, 0x0f0f0f0fu);
  swap_bits(left, right, 16, 0x0000ffffu);
  swap_bits(right, left, 2, 0x33333333u);
  swap_bits(right, left, 8, 0x00ff00ffu);
  swap_bits(left, right, 1, 0x55555555u);
}

// IP^-1: the same swaps in reverse order.
constexpr void final_permutation(uint32_t& left, uint32_t& right) {
  swap_bits(left, right, 1, 0x55555555u);
  swap_bits(right, left, 8, 0x00ff00ffu);
  swap_bits(right, left, 2, 0x33333333u);
  swap_bits(left, right, 16, 0x0000ffffu);
  swap_bits(left, right, 4, 0x0f0f0f0fu);
}

// The swap network must be the standard's IP, bit for bit.
constexpr bool swaps_match_initial_permutation() {
  for (int in = 0; in < 64; ++in) {
    const uint64_t block = uint64_t{1} << (63 - in);
    uint32_t left = static_cast<uint32_t>(block >> 32);
    uint32_t right = static_cast<uint32_t>(block);
    initial_permutation(left, right);
    const uint64_t permuted = (uint64_t{left} << 32) | right;
    for (int out = 0; out < 64; ++out) {
      const bool expected = kInitialPermutation[static_cast<size_t>(out)] == in + 1;
      if (expected != (((permuted >> (63 - out)) & 1) != 0)) return false;
    }
    uint32_t back_left = left;
    uint32_t back_right = right;
    final_permutation(back_left, back_right);
    if (((uint64_t{back_left} << 32) | back_right) != block) return false;
  }
  return true;
}
static_assert(swaps_match_initial_permutation());

// ---- Combined S-box and P tables ----

// Bit `position` (1 = most significant) of a 32-bit word.
constexpr uint32_t word_bit(int position) { return uint32_t{1} << (32 - position); }

using SpTables = std::array<std::array<uint32_t, 64>, 8>;

// kSp[s][v]: S-box s+1 applied to the 6-bit input v (first bit of the input
// most significant), its four output bits placed at positions 4s+1..4s+4,
// passed through P and rotated left by one bit like the halves.
constexpr SpTables make_sp_tables() {
  SpTables tables{};
  for (int s = 0; s < 8; ++s) {
    for (uint32_t v = 0; v < 64; ++v) {
      const uint32_t row = ((v >> 4) & 2) | (v & 1);
      const uint32_t column = (v >> 1) & 15;
      const uint32_t sbox_out = kSBoxes[static_cast<size_t>(s)][row * 16 + column];
      const uint32_t before_p = sbox_out << (28 - 4 * s);
      uint32_t after_p = 0;
      for (int i = 1; i <= 32; ++i) {
        if (before_p & word_bit(kPermutationP[static_cast<size_t>(i - 1)])) after_p |= word_bit(i);
      }
      tables[static_cast<size_t>(s)][v] = std::rotl(after_p, 1);
    }
  }
  return tables;
}
constexpr SpTables kSp = make_sp_tables();

// ---- Key schedule tables ----

// Where the round function finds S-box s's key group: S-boxes 1, 3, 5, 7 in
// the first word of a round, 2, 4, 6, 8 in the second, each at bits
// 24, 16, 8, 0 in turn.
constexpr int key_group_word(int s) { return s & 1; }
constexpr int key_group_shift(int s) { return 24 - 8 * (s / 2); }

struct HalfPair {
  uint32_t c = 0;
  uint32_t d = 0;
};
// kPc1[byte][top seven bits of the key byte] -> its bits of C and D
// (28-bit values, position 1 of the half at bit 27).
using Pc1Tables = std::array<std::array<HalfPair, 128>, 8>;

constexpr Pc1Tables make_pc1_tables() {
  Pc1Tables tables{};
  for (size_t k = 0; k < 56; ++k) {
    const int key_position = kPermutedChoice1[k] - 1;  // 0..63, parity never
    const int byte = key_position / 8;
    const int bit_in_top7 = 6 - key_position % 8;  // bit of (byte >> 1)
    for (uint32_t v = 0; v < 128; ++v) {
      if (((v >> bit_in_top7) & 1) == 0) continue;
      HalfPair& entry = tables[static_cast<size_t>(byte)][v];
      if (k < 28) {
        entry.c |= uint32_t{1} << (27 - k);
      } else {
        entry.d |= uint32_t{1} << (55 - k);
      }
    }
  }
  return tables;
}
constexpr Pc1Tables kPc1 = make_pc1_tables();

struct RoundKeyWords {
  uint32_t first = 0;
  uint32_t second = 0;
};
// kPc2[chunk][seven bits] -> round-key words. Chunks 0-3 are the 7-bit
// pieces of C from the top, chunks 4-7 those of D.
using Pc2Tables = std::array<std::array<RoundKeyWords, 128>, 8>;

constexpr Pc2Tables make_pc2_tables() {
  Pc2Tables tables{};
  for (int j = 0; j < 48; ++j) {
    const int cd_position = kPermutedChoice2[static_cast<size_t>(j)] - 1;  // 0..55 over C then D
    const int chunk = cd_position / 7;
    const int bit_in_chunk = 6 - cd_position % 7;
    const int s = j / 6;
    const uint32_t out = uint32_t{1} << (key_group_shift(s) + 5 - j % 6);
    for (uint32_t v = 0; v < 128; ++v) {
      if (((v >> bit_in_chunk) & 1) == 0) continue;
      RoundKeyWords& entry = tables[static_cast<size_t>(chunk)][v];
      (key_group_word(s) == 0 ? entry.first : entry.second) |= out;
    }
  }
  return tables;
}
constexpr Pc2Tables kPc2 = make_pc2_tables();

constexpr uint32_t rotate28(uint32_t half, int by) {
  return ((half << by) | (half >> (28 - by))) & 0x0fffffffu;
}

// The round keys of `key`, stored in application order: round i at slot i
// for encryption, at slot 15 - i for decryption, so that no reversed copy
// of the key material is ever made.
DesSchedule compute_schedule(std::span<const uint8_t, kDesKeySize> key, DesDirection direction) {
  uint32_t c = 0;
  uint32_t d = 0;
  for (size_t i = 0; i < kDesKeySize; ++i) {
    const HalfPair& bits = kPc1[i][key[i] >> 1];
    c |= bits.c;
    d |= bits.d;
  }
  DesSchedule schedule;
  for (size_t round = 0; round < 16; ++round) {
    c = rotate28(c, kLeftShifts[round]);
    d = rotate28(d, kLeftShifts[round]);
    uint32_t first = 0;
    uint32_t second = 0;
    for (size_t chunk = 0; chunk < 4; ++chunk) {
      const RoundKeyWords& from_c = kPc2[chunk][(c >> (21 - 7 * chunk)) & 0x7f];
      const RoundKeyWords& from_d = kPc2[chunk + 4][(d >> (21 - 7 * chunk)) & 0x7f];
      first |= from_c.first | from_d.first;
      second |= from_c.second | from_d.second;
    }
    const size_t slot = direction == DesDirection::encrypt ? round : 15 - round;
    schedule[2 * slot] = first;
    schedule[2 * slot + 1] = second;
  }
  return schedule;
}

DesSchedule reversed_rounds(const DesSchedule& schedule) {
  DesSchedule reversed;
  for (size_t round = 0; round < 16; ++round) {
    reversed[2 * round] = schedule[30 - 2 * round];
    reversed[2 * round + 1] = schedule[31 - 2 * round];
  }
  return reversed;
}

// The cipher function f(R, K) on a rotated half, its result rotated too.
inline uint32_t feistel(uint32_t half, const uint32_t* round_key) {
  const uint32_t odd = std::rotr(half, 4) ^ round_key[0];  // S-boxes 1, 3, 5, 7
  const uint32_t even = half ^ round_key[1];               // S-boxes 2, 4, 6, 8
  return kSp[0][(odd >> 24) & 0x3f] ^ kSp[2][(odd >> 16) & 0x3f] ^ kSp[4][(odd >> 8) & 0x3f] ^
         kSp[6][odd & 0x3f] ^ kSp[1][(even >> 24) & 0x3f] ^ kSp[3][(even >> 16) & 0x3f] ^
         kSp[5][(even >> 8) & 0x3f] ^ kSp[7][even & 0x3f];
}

// The 16 rounds, unrolled at compile time: the round count is fixed and a
// loop's bookkeeping is a measurable share of so short a body.
template <size_t... Pair>
inline void sixteen_rounds(uint32_t& left, uint32_t& right, const uint32_t* key,
                           std::index_sequence<Pair...>) {
  ((left ^= feistel(right, key + 4 * Pair), right ^= feistel(left, key + 4 * Pair + 2)), ...);
}

void require_whole_blocks(std::span<uint8_t> data) {
  if (data.size() % kDesBlockSize != 0) {
    throw std::invalid_argument("DES ECB data is not a whole number of blocks");
  }
}

void ecb(const DesSchedule& schedule, std::span<uint8_t> data) {
  require_whole_blocks(data);
  for (size_t offset = 0; offset < data.size(); offset += kDesBlockSize) {
    des_block(data.subspan(offset).first<kDesBlockSize>(), schedule);
  }
}

}  // namespace

DesSchedule des_key_schedule(std::span<const uint8_t, kDesKeySize> key, DesDirection direction) {
  return compute_schedule(key, direction);
}

DesHalves des_initial_permutation(std::span<const uint8_t, kDesBlockSize> block) {
  DesHalves halves{load_u32_be(block.data()), load_u32_be(block.data() + 4)};
  initial_permutation(halves.left, halves.right);
  halves.left = std::rotl(halves.left, 1);
  halves.right = std::rotl(halves.right, 1);
  return halves;
}

void des_final_permutation(DesHalves halves, std::span<uint8_t, kDesBlockSize> block) {
  uint32_t left = std::rotr(halves.left, 1);
  uint32_t right = std::rotr(halves.right, 1);
  final_permutation(left, right);
  store_u32_be(block.data(), left);
  store_u32_be(block.data() + 4, right);
}

void des_rounds(DesHalves& halves, const DesSchedule& schedule) {
  uint32_t left = halves.left;
  uint32_t right = halves.right;
  sixteen_rounds(left, right, schedule.data(), std::make_index_sequence<8>());
  // The last round does not exchange the halves: the output is R16 L16.
  halves.left = right;
  halves.right = left;
}

void des_block(std::span<uint8_t, kDesBlockSize> block, const DesSchedule& schedule) {
  DesHalves halves = des_initial_permutation(block);
  des_rounds(halves, schedule);
  des_final_permutation(halves, block);
}

DesKeyContext::DesKeyContext() {
  const std::array<uint8_t, kDesKeySize> zero{};
  des_context_set_key(*this, zero);
}

DesKeyContext::DesKeyContext(std::span<const uint8_t, kDesKeySize> key) { des_context_set_key(*this, key); }

DesKeyContext::~DesKeyContext() {
  secure_wipe(encryption_.data(), sizeof encryption_);
  secure_wipe(decryption_.data(), sizeof decryption_);
  secure_wipe(key_.data(), sizeof key_);
}

void des_context_set_key(DesKeyContext& context, std::span<const uint8_t, kDesKeySize> key) {
  // Copy the key first: `key` may point into the context itself.
  std::array<uint8_t, kDesKeySize> copy;
  std::copy(key.begin(), key.end(), copy.begin());
  context.encryption_ = compute_schedule(copy, DesDirection::encrypt);
  context.decryption_ = reversed_rounds(context.encryption_);
  context.key_ = copy;
  secure_wipe(copy.data(), sizeof copy);
}

void des_ecb_encrypt(const DesKeyContext& context, std::span<uint8_t> data) {
  ecb(context.encryption(), data);
}

void des_ecb_decrypt(const DesKeyContext& context, std::span<uint8_t> data) {
  ecb(context.decryption(), data);
}

}  // namespace kk::cardkit
