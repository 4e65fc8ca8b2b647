// Two-key triple DES and the services cardkit builds on it: per-block triple
// DES over a buffer, key diversification (a reader's DF key from its DF
// identifier, per-card keys), and the retail MAC (ISO/IEC 9797-1 MAC
// algorithm 3, padding method 2, zero initial value).
//
// A triple-DES key is 16 bytes: K1 = bytes 0-7, K2 = bytes 8-15. Encryption
// is E(K1), then D(K2), then E(K1) (keying option 2 of NIST SP 800-67);
// decryption is its inverse. With K1 = K2 it equals single DES under K1.
// Parity bits are ignored, as in single DES. Byte order as in des.h.
//
// Nothing here keeps state between calls; every key schedule lives on the
// stack of one call and is wiped before the call returns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cardkit/crypto/des.h"

namespace kk::cardkit {

inline constexpr size_t kDes3KeySize = 16;
inline constexpr size_t kDiversifyDataSize = 8;
inline constexpr size_t kMacSize = 4;

// Every 8-byte block of `data` in place, independently (ECB): encryption is
// E(K1), D(K2), E(K1) per block, decryption its inverse. The key is set up
// on every call (a few blocks per call is the common case) and its schedules
// are wiped before returning. `data` must be whole blocks; otherwise
// std::invalid_argument is thrown and nothing changes. Empty data does nothing.
void des3_ecb_encrypt(std::span<const uint8_t, kDes3KeySize> key, std::span<uint8_t> data);
void des3_ecb_decrypt(std::span<const uint8_t, kDes3KeySize> key, std::span<uint8_t> data);

// Derives a 16-byte key from `master_key` and 8 bytes of diversification
// data: bytes 0-7 are the triple-DES encryption of `data`, bytes 8-15 that of
// `data` with every bit inverted. The spans may overlap (a caller may derive
// in place, over the master key): both halves are computed before `derived`
// is written.
void des3_diversify(std::span<const uint8_t, kDiversifyDataSize> data,
                    std::span<const uint8_t, kDes3KeySize> master_key,
                    std::span<uint8_t, kDes3KeySize> derived);

// The 4-byte retail MAC of `data`: CBC with single DES under K1 and a zero
// initial value over `data` padded with 0x80 and zeros to whole blocks (at
// least one padding byte, so 8 bytes of data make two blocks), the last
// output further put through D(K2) and E(K1); the MAC is its first 4 bytes.
[[nodiscard]] std::array<uint8_t, kMacSize> pboc_des3_mac(std::span<const uint8_t> data,
                                                          std::span<const uint8_t, kDes3KeySize> key);

}  // namespace kk::cardkit
