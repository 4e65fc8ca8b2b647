// Byte-order helpers. Every multi-byte field of a wire format or a card
// layout is read and written through these, so the byte order of each field
// is named where it is used instead of being spelled out in shifts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kk {

inline uint16_t load_u16_be(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint16_t load_u16_le(const uint8_t* p) {
  return static_cast<uint16_t>((p[1] << 8) | p[0]);
}
inline uint32_t load_u24_be(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}
inline uint32_t load_u24_le(const uint8_t* p) {
  return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}
inline uint32_t load_u32_be(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint32_t load_u32_le(const uint8_t* p) {
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

inline void store_u16_be(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void store_u16_le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_u24_be(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
inline void store_u24_le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}
inline void store_u32_be(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void store_u32_le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Overwrites key material so that it does not linger in freed or reused
// memory. The empty asm statement claims to read the zeroed memory through
// `p`, so the compiler cannot drop the stores as dead, while memset still
// clears whole words: the triple-DES exports wipe two key schedules on every
// call, and a byte-at-a-time volatile loop cost them a quarter of their time.
inline void secure_wipe(void* p, size_t n) {
  std::memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

// Key material held on the stack or in a copy of a configuration: an array
// that wipes itself when it goes away, on every path out of its scope.
template <size_t N>
struct SecretBytes : std::array<uint8_t, N> {
  ~SecretBytes() { secure_wipe(this->data(), N); }
};

}  // namespace kk
