#include "cardkit/layouts/sectors.h"

#include <algorithm>

#include "cardkit/devices/reader_device.h"

namespace kk::cardkit {

Block make_trailer(MifareKey key_a, std::span<const uint8_t, 4> access, MifareKey key_b) {
  Block trailer{};
  std::copy(key_a.begin(), key_a.end(), trailer.begin());
  std::copy(access.begin(), access.end(), trailer.begin() + 6);
  std::copy(key_b.begin(), key_b.end(), trailer.begin() + 10);
  return trailer;
}

MifareKey card_transport_key(const ReaderDevice& reader) {
  return std::span(reader.config.transport_key).first<6>();
}

ReaderResult sector_clear(ReaderDevice& reader, uint8_t sector, uint8_t block_mask, MifareKey key,
                          std::span<const uint8_t, 16> trailer) {
  ReaderLink& link = reader.link;
  const uint32_t first = uint32_t{sector} * 4;
  if (const ReaderResult r = m1_auth(link, first, kKeyB, key); !succeeded(r)) {
    if (link_failure(r)) return r;
    const ReaderResult blank = m1_auth(link, first, kKeyB, card_transport_key(reader));
    if (succeeded(blank) || link_failure(blank)) return blank;
    return ReaderResult::auth_failed;
  }
  static constexpr Block kZero{};
  ReaderResult last = ReaderResult::ok;
  for (uint32_t i = 0; i < 3; ++i) {
    if ((block_mask & (1u << i)) == 0) continue;
    last = m1_write_block(link, first + i, kZero);
    if (!succeeded(last)) return last;
  }
  if ((block_mask & 0x08) != 0) last = m1_write_block(link, first + 3, trailer);
  return last;
}

}  // namespace kk::cardkit
