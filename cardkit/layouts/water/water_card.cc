#include "cardkit/layouts/water/water_card.h"

#include <algorithm>
#include <mutex>

#include "cardkit/commands/commands.h"
#include "cardkit/devices/reader_device.h"
#include "cardkit/layouts/mirrored_balance.h"
#include "cardkit/layouts/sectors.h"
#include "cardkit/layouts/selection.h"
#include "cardkit/layouts/water/water_codec.h"
#include "cardkit/log/log.h"
#include "common/bytes.h"

namespace kk::cardkit::water {
namespace {

constexpr uint8_t kFirstLargeSector = 32;
constexpr uint32_t kParameterKeyBlock = 1;  // sector 0
constexpr uint32_t kParameterTrailer = 3;   // sector 0
constexpr std::array<uint8_t, 6> kFactoryKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct Config {
  bool key_set = false;
  SecretBytes<6> key{};
  uint8_t sector = 0;
};

std::mutex config_lock;
Config config;  // guarded by config_lock

// A transaction's copy of the configuration, or why there is none to use.
struct Working {
  ReaderResult result = ReaderResult::ok;
  SecretBytes<6> key{};
  uint8_t sector = 0;
  [[nodiscard]] uint32_t block(uint32_t i) const { return uint32_t{sector} * 4 + i; }
};

Working working_copy() {
  Working w;
  {
    std::lock_guard guard(config_lock);
    if (!config.key_set) {
      w.result = ReaderResult::key_not_set;
      return w;
    }
    w.key = config.key;
    w.sector = config.sector;
  }
  if (w.sector >= kFirstLargeSector) w.result = ReaderResult::argument_refused;
  return w;
}

Block transport_access_trailer(MifareKey key) { return make_trailer(key, kTransportTrailerAccess, key); }

bool balance_check(std::span<const uint8_t, 16> block) { return checksum_ok(block); }

// 16 for whatever the trailer helper failed with.
ReaderResult trailer_write(ReaderLink& link, uint32_t block, std::span<const uint8_t, 16> data,
                           MifareKey key) {
  return succeeded(m1_write_trailer(link, block, data, key)) ? ReaderResult::ok : ReaderResult::auth_failed;
}

// Writes `data` to `block` with the transport key; when the card refuses
// it, writes `fallback` to `fallback_block` with `fallback_key` instead. ok
// or auth_failed, for the write made second.
ReaderResult write_blank_or_keyed(ReaderDevice& reader, uint32_t block, std::span<const uint8_t, 16> data,
                                  uint32_t next_block, std::span<const uint8_t, 16> next,
                                  std::span<const uint8_t, 16> fallback, MifareKey fallback_key) {
  if (succeeded(m1_write_trailer(reader.link, block, data, card_transport_key(reader))))
    return trailer_write(reader.link, next_block, next, card_transport_key(reader));
  return trailer_write(reader.link, block, fallback, fallback_key);
}

}  // namespace

ReaderResult set_key(int32_t sector, std::span<const uint8_t, 6> key) {
  write_log("%s\t%d\t%02X%02X\r\n", "water_yks_setkey", sector, key[0], key[1]);
  if (sector < kLowestSector || sector > kHighestSector) return ReaderResult::argument_refused;
  std::lock_guard guard(config_lock);
  std::copy(key.begin(), key.end(), config.key.begin());
  config.sector = static_cast<uint8_t>(sector);
  config.key_set = true;
  return ReaderResult::ok;
}

ReaderResult issue_user_card(uint32_t serial, const char* text) {
  write_log("%s\t%s\t%d\r\n", "water_initcard", text, static_cast<int32_t>(serial));
  const Working w = working_copy();
  if (!succeeded(w.result)) return w.result;
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderDevice& reader = *selected.lease;

  const SectorImage blocks = issued_user_sector();
  if (!succeeded(write_blank_sector(reader, w.sector, blocks))) {
    // Not a blank sector: ok when it is a water card already (nothing is
    // written), else why it opened with neither key.
    return reselect_and_authenticate(reader.link, w.block(0), kKeyA, w.key);
  }
  return trailer_write(reader.link, w.block(3), transport_access_trailer(w.key), card_transport_key(reader));
}

ReaderResult issue_parameter_card(uint32_t serial, uint8_t byte_argument, int32_t argument32, uint32_t code,
                                  int32_t argument24) {
  const Working w = working_copy();
  if (w.result == ReaderResult::key_not_set) return w.result;
  if (code == 0) return ReaderResult::argument_refused;
  if (!succeeded(w.result)) return w.result;
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderDevice& reader = *selected.lease;
  ReaderLink& link = reader.link;

  // The water sector must open before sector 0 is touched: a parameter card
  // half written (sector 0 keyed, no parameters) is worse than none.
  if (!succeeded(m1_auth(link, w.block(0), kKeyA, card_transport_key(reader)))) {
    const ReaderResult r = reselect_and_authenticate(link, w.block(0), kKeyA, w.key);
    if (!succeeded(r)) return link_failure(r) ? r : ReaderResult::auth_failed;
  }

  // Sector 0: the key block, then the trailer; a card that already is a
  // parameter card keeps its trailer and has the key block rewritten.
  const Block key_block = parameter_card_key_block(w.sector, w.key);
  if (const ReaderResult r =
          write_blank_or_keyed(reader, kParameterKeyBlock, key_block, kParameterTrailer,
                               transport_access_trailer(kParameterCardKey), key_block, kParameterCardKey);
      !succeeded(r))
    return r;
  // The water sector: the parameter block, then the trailer, likewise.
  const Block parameters = parameter_block(code, byte_argument, argument32, argument24);
  return write_blank_or_keyed(reader, w.block(1), parameters, w.block(3), transport_access_trailer(w.key),
                              parameters, w.key);
}

ReaderResult read(uint32_t serial, uint32_t& balance) {
  const Working w = working_copy();
  if (!succeeded(w.result)) return w.result;
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  SectorImage image{};
  const ReaderResult r = load_mirrored_balance(selected.lease->link, w.sector, w.key, balance_check, image);
  if (succeeded(r)) balance = balance_of(std::span(image).first<16>());
  return r;
}

ReaderResult write(uint32_t serial, int32_t balance) {
  const Working w = working_copy();
  if (!succeeded(w.result)) return w.result;
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderLink& link = selected.lease->link;
  SectorImage image{};
  if (const ReaderResult r = load_mirrored_balance(link, w.sector, w.key, balance_check, image);
      !succeeded(r))
    return r;
  set_balance(std::span(image).first<16>(), static_cast<uint32_t>(balance));
  return write_mirrored_balance(link, w.sector, w.key, image);
}

ReaderResult reclaim(uint32_t serial) {
  const Working w = working_copy();
  if (!succeeded(w.result)) return w.result;
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  return trailer_write(selected.lease->link, w.block(3), transport_access_trailer(kFactoryKey), w.key);
}

}  // namespace kk::cardkit::water
