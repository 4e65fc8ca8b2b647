// Frames of the validator's serial protocol: SYNC 0x02, address 0x03, the
// frame length, the command (or the first reply byte), data, and a CRC-16
// sent low byte first. The driver and the validator emulator both build and
// check frames through this unit, so there is one CRC routine for the link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kk::notecore {

inline constexpr uint8_t kSync = 0x02;
inline constexpr uint8_t kValidatorAddress = 0x03;
// SYNC, ADR, LNG, CMD and the two CRC bytes: a frame with no data.
inline constexpr size_t kMinFrameSize = 6;
// A reply needs its three header bytes and two CRC bytes.
inline constexpr size_t kMinReplySize = 5;
inline constexpr size_t kMaxFrameSize = 255;  // LNG is one byte
inline constexpr size_t kHeaderSize = 3;
inline constexpr size_t kCrcSize = 2;

// The host's acknowledgement of a data reply.
inline constexpr std::array<uint8_t, 6> kAckFrame{0x02, 0x03, 0x06, 0x00, 0xC2, 0x82};

// CRC-16 with polynomial 0x1021 processed bit-reflected (0x8408), initial
// value 0, no final XOR.
[[nodiscard]] uint16_t frame_crc(std::span<const uint8_t> bytes);

// Writes the frame for `code` with `data` to the start of `out` and returns
// its length, or 0 when it does not fit in `out` or in one frame.
[[nodiscard]] size_t build_frame(uint8_t code, std::span<const uint8_t> data, std::span<uint8_t> out);

// True when `frame` is exactly one frame whose length byte matches its size
// and whose CRC is right.
[[nodiscard]] bool frame_is_valid(std::span<const uint8_t> frame);

}  // namespace kk::notecore
