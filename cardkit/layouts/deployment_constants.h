// The fixed key material of the card layouts that each deployment settles
// for itself: the time card's base key, the fixed bytes around the card
// serial in the gsts and gstshot keys, and the constants of the lfzxdc key.
// Cards written under one set of values open only under the same values, so
// every terminal and consuming device of a deployment must agree on them; a
// deployment that needs other values changes them here, and only here
// (include/cardkit.h states the values shipped).
//
// The keys the layouts fix themselves (the lfzx key, the common key B of
// gsts and gstshot, the water parameter-card key) live in their codecs.
#pragma once

#include <cstdint>

namespace kk::cardkit::deployment {

// lf time card: the base key of the time-card key derivation, built at run
// time from two 32-bit constants, each most significant byte first:
// 5A 3C 96 E1 0F 1E 2D 4B.
inline constexpr uint32_t kTimeCardBaseKeyHigh = 0x5A3C96E1;
inline constexpr uint32_t kTimeCardBaseKeyLow = 0x0F1E2D4B;

// gsts key A: these two bytes, then the card serial most significant byte
// first.
inline constexpr uint8_t kGstsKeyPrefix[2] = {0xA7, 0x1C};

// gstshot key A: this byte, the card serial most significant byte first,
// then the second byte.
inline constexpr uint8_t kGstshotKeyFirst = 0x3D;
inline constexpr uint8_t kGstshotKeyLast = 0xB2;

// lfzxdc key, from the serial's bytes s0 (least significant) to s3:
// s0^c0, s1, s2^c2, s3^c3, s0^s2^c4, s1^s3^c5. Key byte 1 is s1 unchanged,
// so there is no c1.
inline constexpr uint8_t kLfzxdcC0 = 0x6E;
inline constexpr uint8_t kLfzxdcC2 = 0x1B;
inline constexpr uint8_t kLfzxdcC3 = 0xD4;
inline constexpr uint8_t kLfzxdcC4 = 0x85;
inline constexpr uint8_t kLfzxdcC5 = 0x39;

}  // namespace kk::cardkit::deployment
