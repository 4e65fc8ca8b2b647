#include "cardkit/layouts/lf/lf_card.h"

#include <mutex>

#include "cardkit/commands/commands.h"
#include "cardkit/devices/reader_device.h"
#include "cardkit/layouts/sectors.h"
#include "cardkit/layouts/selection.h"

namespace kk::cardkit::lf {
namespace {

constexpr uint8_t kPurse = 0, kBackup = 1;
// Sectors from 32 on are the 16-block sectors of a 4K card: block 4S+3 is
// not their trailer there, and a trailer written to it would put the keys
// into a data block in clear.
constexpr uint32_t kFirstLargeSector = 32;
constexpr std::array<uint8_t, 6> kFactoryKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct Config {
  uint32_t sector = 0;
  BaseKey base_key{};
};

std::mutex config_lock;
Config config;  // guarded by config_lock; zero until configured

// A transaction's own copy of the configuration and the key it derives.
struct Working {
  uint8_t sector;
  CardKey key;
};

Working working_copy(uint32_t serial) {
  std::unique_lock guard(config_lock);
  const auto sector = static_cast<uint8_t>(config.sector);
  BaseKey base = config.base_key;
  guard.unlock();
  return {sector, card_key(serial, sector, base)};
}

bool purse_sector_usable(uint8_t sector) { return sector != 0 && sector < kFirstLargeSector; }

uint32_t first_block(uint8_t sector) { return uint32_t{sector} * 4; }

// Reads blocks 0 and 1 and puts right whichever disagrees with the other on
// the card before a balance is reported or changed.
ReaderResult load(ReaderLink& link, const Working& w, SectorImage& image, uint32_t& balance) {
  if (!succeeded(m1_read_sector(link, w.sector, kMaskAuthenticate | 0x03, w.key, image)))
    return ReaderResult::auth_failed;
  const PurseLoad found = load_purse(image);
  if (found.repair_purse) {
    if (const ReaderResult r =
            m1_write_sector(link, w.sector, kMaskAuthenticate | (1u << kPurse), w.key, image);
        !succeeded(r))
      return r;
  }
  if (found.refresh_backup) {
    if (const ReaderResult r =
            m1_write_sector(link, w.sector, kMaskAuthenticate | (1u << kBackup), w.key, image);
        !succeeded(r))
      return r;
  }
  balance = found.balance;
  return ReaderResult::ok;
}

// The opening every purse transaction shares: its copy of the
// configuration, the sector check, then the reader, held while `body` runs.
template <typename Body>
ReaderResult on_purse(uint32_t serial, Body&& body) {
  const Working w = working_copy(serial);
  if (!purse_sector_usable(w.sector)) return ReaderResult::argument_refused;
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  return body(*selected.lease, w);
}

enum class Direction : uint8_t { credit, debit };

ReaderResult update(ReaderLink& link, const Working& w, uint32_t amount, Direction direction,
                    uint32_t& balance) {
  SectorImage image{};
  uint32_t current = 0;
  if (const ReaderResult r = load(link, w, image, current); !succeeded(r)) return r;
  if (direction == Direction::debit && current < amount) return ReaderResult::insufficient_balance;
  const uint32_t next = direction == Direction::credit ? current + amount : current - amount;
  set_purse(std::span(image).first<16>(), next);
  set_backup(std::span(image).subspan<16, 16>(), next);
  const ReaderResult r =
      write_balance_then_backup(link, w.sector, kMaskAuthenticate, w.key, image, kPurse, kBackup);
  if (succeeded(r)) balance = next;
  return r;
}

}  // namespace

void configure(uint32_t sector, std::span<const uint8_t, 8> base_key) {
  std::lock_guard guard(config_lock);
  config.sector = sector;
  std::copy(base_key.begin(), base_key.end(), config.base_key.begin());
}

CardKey configured_card_key(uint32_t serial) { return working_copy(serial).key; }

ReaderResult issue(uint32_t serial) {
  return on_purse(serial, [serial](ReaderDevice& reader, const Working& w) {
    // The trailer takes the transport key of any blank card: make sure it is
    // the card whose key is written.
    uint32_t in_field = 0;
    if (const ReaderResult r = card_in_field(reader.link, serial, in_field); !succeeded(r)) return r;
    const Block trailer = make_trailer(w.key, kKeyedTrailerAccess, w.key);
    if (!succeeded(
            m1_write_trailer(reader.link, first_block(w.sector) + 3, trailer, card_transport_key(reader))))
      return ReaderResult::auth_failed;
    const SectorImage blocks = issued_sector();
    return m1_write_sector(reader.link, w.sector, kMaskAuthenticate | 0x07, w.key, blocks);
  });
}

ReaderResult reclaim(uint32_t serial) {
  return on_purse(serial, [](ReaderDevice& reader, const Working& w) {
    const MifareKey transport = card_transport_key(reader);
    const Block trailer = make_trailer(transport, kTransportTrailerAccess, transport);
    return sector_clear(reader, w.sector, 0x0F, w.key, trailer);
  });
}

ReaderResult read(uint32_t serial, uint32_t& balance) {
  return on_purse(serial, [&](ReaderDevice& reader, const Working& w) {
    SectorImage image{};
    return load(reader.link, w, image, balance);
  });
}

ReaderResult charge(uint32_t serial, uint32_t amount, uint32_t& balance) {
  return on_purse(serial, [&](ReaderDevice& reader, const Working& w) {
    return update(reader.link, w, amount, Direction::credit, balance);
  });
}

ReaderResult reduce(uint32_t serial, uint32_t amount, uint32_t& balance) {
  return on_purse(serial, [&](ReaderDevice& reader, const Working& w) {
    return update(reader.link, w, amount, Direction::debit, balance);
  });
}

ReaderResult write_time_card(uint32_t serial, std::span<const uint8_t, 6> time) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderDevice& reader = *selected.lease;
  uint32_t in_field = 0;
  if (const ReaderResult r = card_in_field(reader.link, serial, in_field); !succeeded(r)) return r;
  const CardKey key = card_key(serial, kTimeCardSector, time_card_base_key());
  const SectorImage blocks = time_card_blocks(time);
  const uint32_t first = first_block(kTimeCardSector);

  const Block trailer = make_trailer(kFactoryKey, kKeyedTrailerAccess, key);
  if (!succeeded(m1_write_trailer(reader.link, first + 3, trailer, card_transport_key(reader)))) {
    // A card that already is a time card no longer takes the transport key
    // for its trailer; its data blocks are rewritten under the time-card key.
    if (!succeeded(m1_auth(reader.link, first, kKeyB, key))) return ReaderResult::auth_failed;
  }
  return m1_write_sector(reader.link, kTimeCardSector, kMaskAuthenticate | 0x07, key, blocks);
}

ReaderResult modify_key(uint32_t serial, uint8_t sector, std::span<const uint8_t, 6> new_key,
                        std::span<const uint8_t, 6> current_key) {
  if (sector >= kFirstLargeSector) return ReaderResult::argument_refused;
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  const Block trailer = make_trailer(new_key, kTransportTrailerAccess, new_key);
  if (!succeeded(m1_write_trailer(selected.lease->link, first_block(sector) + 3, trailer, current_key)))
    return ReaderResult::auth_failed;
  return ReaderResult::ok;
}

ReaderResult select_only(uint32_t serial) { return select_card_reader(serial).result; }

}  // namespace kk::cardkit::lf
