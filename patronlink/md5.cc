// MD5 as RFC 1321 describes it: 64-byte blocks, four rounds of sixteen
// steps, words and the bit length least significant byte first.
#include "patronlink/md5.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace kk::patronlink {
namespace {

// Per-step shift amounts (RFC 1321 section 3.4).
constexpr std::array<uint32_t, 64> kShift = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,  // round 1
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,  // round 2
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,  // round 3
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,  // round 4
};

// T[i] = floor(2^32 * abs(sin(i + 1))), the RFC's table.
constexpr std::array<uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr std::array<uint32_t, 4> kInitialState = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

constexpr uint32_t rotl(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

Md5::Md5() : state_(kInitialState) {}

Md5::~Md5() {
  // The buffer may hold part of a salted password.
  volatile uint8_t* p = buffer_.data();
  for (size_t i = 0; i < buffer_.size(); ++i) p[i] = 0;
}

void Md5::compress(const uint8_t* block) {
  std::array<uint32_t, 16> x;
  for (size_t i = 0; i < 16; ++i) x[i] = load_u32_le(block + 4 * i);

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t f;
    uint32_t g;
    switch (i / 16) {
      case 0:
        f = (b & c) | (~b & d);
        g = i;
        break;
      case 1:
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
        break;
    }
    const uint32_t next = b + rotl(a + f + kSine[i] + x[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::update(std::span<const uint8_t> bytes) {
  length_bytes_ += bytes.size();
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), buffer_.size() - buffered_);
    std::memcpy(buffer_.data() + buffered_, bytes.data(), take);
    buffered_ += take;
    bytes = bytes.subspan(take);
    if (buffered_ == buffer_.size()) {
      compress(buffer_.data());
      buffered_ = 0;
    }
  }
}

Md5Digest Md5::finish() {
  // A one bit, zeros up to 56 bytes mod 64, then the length in bits.
  std::array<uint8_t, 8> length_le;
  const uint64_t bits = length_bytes_ * 8;
  store_u32_le(length_le.data(), static_cast<uint32_t>(bits));
  store_u32_le(length_le.data() + 4, static_cast<uint32_t>(bits >> 32));

  static constexpr std::array<uint8_t, 64> kPadding = {0x80};
  const size_t pad = (buffered_ < 56) ? 56 - buffered_ : 120 - buffered_;
  update(std::span(kPadding).first(pad));
  update(length_le);

  Md5Digest digest;
  for (size_t i = 0; i < 4; ++i) store_u32_le(digest.data() + 4 * i, state_[i]);
  state_ = kInitialState;
  length_bytes_ = 0;
  return digest;
}

Md5Digest md5(std::span<const uint8_t> bytes) {
  Md5 hasher;
  hasher.update(bytes);
  return hasher.finish();
}

}  // namespace kk::patronlink
