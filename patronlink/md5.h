// MD5 (RFC 1321), the kit's own: patron password digests are MD5 of a
// salted text, and the kit carries no crypto library. MD5 is used here only
// to reproduce the digests the library-management system stores; it is not
// a safe password hash, and nothing new should rely on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kk::patronlink {

inline constexpr size_t kMd5DigestSize = 16;
using Md5Digest = std::array<uint8_t, kMd5DigestSize>;

// Incremental MD5: feed bytes with update(), then finish() once.
class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void update(std::span<const uint8_t> bytes);
  // Pads, appends the bit length and returns the digest; the object is
  // wiped afterwards and must not be updated again.
  [[nodiscard]] Md5Digest finish();

 private:
  void compress(const uint8_t* block);

  std::array<uint32_t, 4> state_;
  uint64_t length_bytes_ = 0;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
};

// One-shot MD5 of `bytes`.
[[nodiscard]] Md5Digest md5(std::span<const uint8_t> bytes);

}  // namespace kk::patronlink
