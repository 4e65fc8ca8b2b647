// The C exports of the triple-DES services. Each checks its arguments,
// turns the C lengths into whole-block spans and calls one C++ function.
// A refused call (a null pointer the call would use, a length whose result
// does not fit) returns 0 and touches nothing.
#include <algorithm>
#include <cstdint>
#include <span>

#include "cardkit.h"
#include "cardkit/crypto/triple_des.h"
#include "common/boundary.h"

namespace {

using kk::cardkit::kDes3KeySize;
using kk::cardkit::kDesBlockSize;

// The largest length des3_enc_dat accepts: one more byte would round up to
// 2^31 bytes, a byte count the int32 result cannot carry.
constexpr int32_t kLargestEncryptLength = INT32_MAX / 8 * 8;

std::span<const uint8_t, kDes3KeySize> key_span(const uint8_t* key) {
  return std::span<const uint8_t, kDes3KeySize>(key, kDes3KeySize);
}

std::span<uint8_t> blocks(uint8_t* data, int64_t block_count) {
  return {data, static_cast<size_t>(block_count) * kDesBlockSize};
}

}  // namespace

extern "C" {

CARDKIT_API int32_t KIOSKKIT_CALL des3_enc_dat(uint8_t* data, int32_t length, const uint8_t key[16]) {
  return kk::guarded<int32_t>(0, [&]() -> int32_t {
    if (length < 1 || length > kLargestEncryptLength || data == nullptr || key == nullptr) return 0;
    const int64_t block_count = (int64_t{length} - 1) / 8 + 1;
    kk::cardkit::des3_ecb_encrypt(key_span(key), blocks(data, block_count));
    return static_cast<int32_t>(block_count * 8);
  });
}

CARDKIT_API int32_t KIOSKKIT_CALL des3_dec_dat(uint8_t* data, int32_t length, const uint8_t key[16]) {
  return kk::guarded<int32_t>(0, [&]() -> int32_t {
    // Rounded up to whole blocks in 64 bits, so that lengths near the top of
    // the int32 range do not overflow; lengths from -7 to 0 give no blocks.
    const int64_t block_count = ((int64_t{length} + 7) & ~int64_t{7}) / 8;
    if (block_count <= 0 || data == nullptr || key == nullptr) return 0;
    kk::cardkit::des3_ecb_decrypt(key_span(key), blocks(data, block_count));
    return 0;
  });
}

CARDKIT_API int32_t KIOSKKIT_CALL des3_diversify(const uint8_t data[8], uint8_t key[16]) {
  return kk::guarded<int32_t>(0, [&]() -> int32_t {
    if (data == nullptr || key == nullptr) return 0;
    kk::cardkit::des3_diversify(std::span<const uint8_t, kk::cardkit::kDiversifyDataSize>(data, 8),
                                key_span(key), std::span<uint8_t, kDes3KeySize>(key, kDes3KeySize));
    return 0;
  });
}

CARDKIT_API int32_t KIOSKKIT_CALL pboc_des3_mac(const uint8_t* data, int32_t length, const uint8_t key[16],
                                                uint8_t mac[4]) {
  return kk::guarded<int32_t>(0, [&]() -> int32_t {
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    if (key == nullptr || mac == nullptr || (data == nullptr && size > 0)) return 0;
    const std::span<const uint8_t> message =
        size > 0 ? std::span<const uint8_t>(data, size) : std::span<const uint8_t>();
    const auto code = kk::cardkit::pboc_des3_mac(message, key_span(key));
    std::copy(code.begin(), code.end(), mac);
    return 0;
  });
}

}  // extern "C"
