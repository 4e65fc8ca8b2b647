#include "cardkit/layouts/sectors.h"

#include <algorithm>

#include "cardkit/devices/reader_device.h"
#include "platform/clock.h"

namespace kk::cardkit {
namespace {

constexpr uint32_t kRetryPauseMs = 10;
constexpr uint8_t kAllDataBlocks = 0x07;

uint8_t block_bit(unsigned block) { return static_cast<uint8_t>(1u << block); }

}  // namespace

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

ReaderResult write_blank_sector(ReaderDevice& reader, uint32_t sector, std::span<const uint8_t, 48> data) {
  const MifareKey transport = card_transport_key(reader);
  const uint8_t key_a = kMaskAuthenticate | kMaskKeyA | kAllDataBlocks;
  if (succeeded(m1_write_sector(reader.link, sector, key_a, transport, data))) return ReaderResult::ok;
  platform::sleep_ms(kRetryPauseMs);
  return m1_write_sector(reader.link, sector, kMaskAuthenticate | kAllDataBlocks, transport, data);
}

ReaderResult card_in_field(ReaderLink& link, uint32_t expected, uint32_t& serial) {
  uint32_t answered = 0;
  if (const ReaderResult r = card_request(link, answered); !succeeded(r))
    return link_failure(r) ? r : ReaderResult::wrong_card;
  if (expected != 0 && answered != expected) return ReaderResult::wrong_card;
  serial = answered;
  return ReaderResult::ok;
}

ReaderResult reselect_and_authenticate(ReaderLink& link, uint32_t block, uint32_t key_selector,
                                       MifareKey key) {
  platform::sleep_ms(kRetryPauseMs);
  uint32_t serial = 0;
  if (const ReaderResult r = card_request(link, serial); !succeeded(r)) return r;
  return m1_auth(link, block, key_selector, key);
}

ReaderResult write_balance_then_backup(ReaderLink& link, uint32_t sector, uint8_t auth_mask, MifareKey key,
                                       std::span<const uint8_t, 48> data, unsigned balance_block,
                                       unsigned backup_block) {
  const uint8_t session = auth_mask & (kMaskAuthenticate | kMaskKeyA);
  if (const ReaderResult r = m1_write_sector(link, sector, session | block_bit(balance_block), key, data);
      !succeeded(r))
    return r;
  // Committed. A backup that does not land is stale, not wrong: every load
  // compares it with the balance block and rewrites it.
  (void)m1_write_sector(link, sector, block_bit(backup_block), key, data);
  return ReaderResult::ok;
}

}  // namespace kk::cardkit
