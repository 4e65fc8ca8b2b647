#include "cardkit/layouts/lfzxdc/lfzxdc_card.h"

#include <mutex>

#include "cardkit/commands/commands.h"
#include "cardkit/devices/reader_device.h"
#include "cardkit/layouts/sectors.h"
#include "cardkit/layouts/selection.h"

namespace kk::cardkit::lfzxdc {
namespace {

constexpr std::array<uint8_t, 6> kFactoryKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint8_t kKeyASession = kMaskAuthenticate | kMaskKeyA;
constexpr uint8_t kBlocks01 = 0x03;
constexpr uint8_t kBlock1 = 0x02;

uint32_t first_block(uint8_t sector) { return uint32_t{sector} * 4; }

// The last image, as lfzxdc_readmoney sees it.
std::mutex image_lock;
CardImage shared_image;  // guarded by image_lock: the last image of any thread
struct ThreadImage {
  bool filled = false;
  CardImage image;
};
thread_local ThreadImage thread_image;

void publish(const CardImage& image) {
  thread_image.image = image;
  thread_image.filled = true;
  std::lock_guard guard(image_lock);
  shared_image = image;
}

CardImage last_image() {
  if (thread_image.filled) return thread_image.image;
  std::lock_guard guard(image_lock);
  return shared_image;
}

// Reads the image and brings block 13 in step with block 12 on the card.
ReaderResult read_image(ReaderLink& link, const Key& key, CardImage& image) {
  if (const ReaderResult r =
          m1_read_sector(link, kTerminalSector, kKeyASession | kBlocks01, key, image.terminal);
      !succeeded(r))
    return r;
  if (const ReaderResult r = m1_read_sector(link, kDeviceSector, kKeyASession | kBlocks01, key, image.device);
      !succeeded(r))
    return r;
  if (complete_record(image.terminal)) {
    if (const ReaderResult r =
            m1_write_sector(link, kTerminalSector, kKeyASession | kBlock1, key, image.terminal);
        !succeeded(r))
      return r;
  }
  return ReaderResult::ok;
}

// One card export on the image: selection, key, image read, then `change`
// (which edits the terminal sector and returns true when it is to be
// written back).
template <typename Change>
ReaderResult on_image(uint32_t serial, Change&& change) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderLink& link = selected.lease->link;
  const Key key = card_key(serial);
  CardImage image;
  if (const ReaderResult r = read_image(link, key, image); !succeeded(r)) return r;
  publish(image);
  if (!change(image.terminal)) return ReaderResult::ok;
  const ReaderResult r =
      m1_write_sector(link, kTerminalSector, kKeyASession | kBlocks01, key, image.terminal);
  if (succeeded(r)) publish(image);
  return r;
}

// Issue of one sector: its data with the transport key, or, when the card
// refuses that, a check that the sector already opens with the card key.
// `written` says which it was.
ReaderResult issue_sector(ReaderDevice& reader, uint8_t sector, const SectorImage& data, const Key& key,
                          bool& written) {
  written = succeeded(write_blank_sector(reader, sector, data));
  if (written) return ReaderResult::ok;
  return reselect_and_authenticate(reader.link, first_block(sector), kKeyA, key);
}

}  // namespace

ReaderResult issue(uint32_t serial) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  ReaderDevice& reader = *selected.lease;
  // Blank sectors take the transport key of any card: make sure it is the
  // card whose key is written.
  uint32_t in_field = 0;
  if (const ReaderResult r = card_in_field(reader.link, serial, in_field); !succeeded(r)) return r;
  const Key key = card_key(serial);
  bool terminal_written = false;
  bool device_written = false;
  if (const ReaderResult r =
          issue_sector(reader, kTerminalSector, issued_terminal_sector(), key, terminal_written);
      !succeeded(r))
    return r;
  if (const ReaderResult r = issue_sector(reader, kDeviceSector, SectorImage{}, key, device_written);
      !succeeded(r))
    return r;
  const Block trailer = make_trailer(key, kTransportTrailerAccess, key);
  for (const auto& [sector, written] :
       {std::pair{kTerminalSector, terminal_written}, {kDeviceSector, device_written}}) {
    if (written && !succeeded(m1_write_trailer(reader.link, first_block(sector) + 3, trailer,
                                               card_transport_key(reader))))
      return ReaderResult::auth_failed;
  }
  return ReaderResult::ok;
}

ReaderResult reclaim(uint32_t serial) {
  SelectedReader selected = select_card_reader(serial);
  if (!succeeded(selected.result)) return selected.result;
  const Key key = card_key(serial);
  const Block trailer = make_trailer(kFactoryKey, kTransportTrailerAccess, kFactoryKey);
  for (const uint8_t sector : {kTerminalSector, kDeviceSector}) {
    if (!succeeded(m1_write_trailer(selected.lease->link, first_block(sector) + 3, trailer, key)))
      return ReaderResult::auth_failed;
  }
  return ReaderResult::ok;
}

ReaderResult read_card_number(uint32_t serial, uint32_t& prefix, uint32_t& number) {
  return on_image(serial, [&](std::span<uint8_t, 48> terminal) {
    prefix = prefix_of(terminal);
    number = card_number_of(terminal);
    return false;
  });
}

ReaderResult write_card_number(uint32_t serial, uint16_t prefix, uint32_t number) {
  if (prefix >= kPrefixLimit) return ReaderResult::argument_refused;
  return on_image(serial, [&](std::span<uint8_t, 48> terminal) {
    set_card_number(terminal, prefix, number);
    return true;
  });
}

ReaderResult write_price(uint32_t serial, uint16_t word, uint32_t value) {
  return on_image(serial, [&](std::span<uint8_t, 48> terminal) {
    set_price(terminal, word, value);
    return true;
  });
}

ReaderResult charge(uint32_t serial, uint32_t sequence, uint16_t amount) {
  return on_image(serial, [&](std::span<uint8_t, 48> terminal) {
    set_purchase(terminal, sequence, amount);
    return true;
  });
}

ReaderResult make_clear(uint32_t serial) {
  return on_image(serial, [&](std::span<uint8_t, 48> terminal) {
    make_clear_card(terminal);
    return true;
  });
}

ReaderResult purchase(uint32_t& next_sequence, uint32_t& pending) {
  const PurchaseState state = purchase_state(last_image());
  next_sequence = state.next_sequence;
  pending = state.pending;
  return state.device_used ? ReaderResult::ok : ReaderResult::device_side_empty;
}

}  // namespace kk::cardkit::lfzxdc
