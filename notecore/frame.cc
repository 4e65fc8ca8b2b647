#include "notecore/frame.h"

#include <cstring>

#include "common/bytes.h"

namespace kk::notecore {

uint16_t frame_crc(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (const uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
  }
  return crc;
}

size_t build_frame(uint8_t code, std::span<const uint8_t> data, std::span<uint8_t> out) {
  const size_t length = kMinFrameSize + data.size();
  if (length > kMaxFrameSize || length > out.size()) return 0;
  out[0] = kSync;
  out[1] = kValidatorAddress;
  out[2] = static_cast<uint8_t>(length);
  out[3] = code;
  if (!data.empty()) std::memcpy(out.data() + 4, data.data(), data.size());
  store_u16_le(out.data() + length - kCrcSize, frame_crc(out.first(length - kCrcSize)));
  return length;
}

bool frame_is_valid(std::span<const uint8_t> frame) {
  if (frame.size() < kMinReplySize || frame[0] != kSync || frame[2] != frame.size()) return false;
  return load_u16_le(frame.data() + frame.size() - kCrcSize) ==
         frame_crc(frame.first(frame.size() - kCrcSize));
}

}  // namespace kk::notecore
