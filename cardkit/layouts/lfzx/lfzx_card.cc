#include "cardkit/layouts/lfzx/lfzx_card.h"

#include "cardkit/commands/commands.h"
#include "cardkit/devices/reader_device.h"
#include "cardkit/layouts/mirrored_balance.h"
#include "cardkit/layouts/sectors.h"
#include "cardkit/layouts/selection.h"

namespace kk::cardkit::lfzx {
namespace {

// The card a transaction works on: its keys and the low byte of its serial,
// from the card that answers in the field now (not the card thread's last
// view, which may be up to a poll old).
struct CardKeys {
  ReaderResult result = ReaderResult::ok;
  Key a{};
  Key b{};
  uint8_t s0 = 0;
};

CardKeys keys_of(const Layout& layout, ReaderDevice& reader, uint32_t expected) {
  CardKeys keys;
  uint32_t serial = 0;
  keys.result = card_in_field(reader.link, expected, serial);
  if (!succeeded(keys.result)) return keys;
  keys.a = key_a(layout, serial);
  keys.b = key_b(layout, serial);
  keys.s0 = static_cast<uint8_t>(serial);
  return keys;
}

uint32_t trailer_block(const Layout& layout) { return uint32_t{layout.sector} * 4 + 3; }

BalanceCheck check_for(const Layout& layout, uint8_t s0) {
  return [&layout, s0](std::span<const uint8_t, 16> block) { return balance_valid(layout, s0, block); };
}

}  // namespace

ReaderResult issue(const Layout& layout, uint32_t serial) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderDevice& reader = *selected.lease;
  const CardKeys keys = keys_of(layout, reader, serial);
  if (!succeeded(keys.result)) return keys.result;
  const SectorImage blocks = issued_sector(layout, keys.s0);
  if (const ReaderResult r = write_blank_sector(reader, layout.sector, blocks); !succeeded(r)) return r;
  const Block trailer = make_trailer(keys.a, kTransportTrailerAccess, keys.b);
  if (!succeeded(m1_write_trailer(reader.link, trailer_block(layout), trailer, card_transport_key(reader))))
    return ReaderResult::auth_failed;
  return ReaderResult::ok;
}

ReaderResult read(const Layout& layout, uint32_t serial, uint32_t& balance) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  const CardKeys keys = keys_of(layout, *selected.lease, serial);
  if (!succeeded(keys.result)) return keys.result;
  SectorImage image{};
  const ReaderResult r =
      load_mirrored_balance(selected.lease->link, layout.sector, keys.a, check_for(layout, keys.s0), image);
  if (succeeded(r)) balance = balance_of(std::span(image).first<16>());
  return r;
}

ReaderResult write(const Layout& layout, uint32_t serial, uint32_t balance) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderLink& link = selected.lease->link;
  const CardKeys keys = keys_of(layout, *selected.lease, serial);
  if (!succeeded(keys.result)) return keys.result;
  SectorImage image{};
  if (const ReaderResult r =
          load_mirrored_balance(link, layout.sector, keys.a, check_for(layout, keys.s0), image);
      !succeeded(r))
    return r;
  set_balance(layout, keys.s0, std::span(image).first<16>(), static_cast<uint16_t>(balance));
  return write_mirrored_balance(link, layout.sector, keys.a, image);
}

ReaderResult reclaim(const Layout& layout, uint32_t serial) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderDevice& reader = *selected.lease;
  const CardKeys keys = keys_of(layout, reader, serial);
  if (!succeeded(keys.result)) return keys.result;
  static constexpr SectorImage kZero{};
  if (const ReaderResult r =
          m1_write_sector(reader.link, layout.sector, kMaskAuthenticate | kMaskKeyA | 0x07, keys.a, kZero);
      !succeeded(r))
    return r;
  const MifareKey transport = card_transport_key(reader);
  const Block trailer = make_trailer(transport, kTransportTrailerAccess, transport);
  if (!succeeded(m1_write_trailer(reader.link, trailer_block(layout), trailer, keys.a)))
    return ReaderResult::auth_failed;
  return ReaderResult::ok;
}

}  // namespace kk::cardkit::lfzx
