#include "cardkit/layouts/selection.h"

#include <utility>

namespace kk::cardkit {

SelectedReader select_card_reader(uint32_t serial, CardRecheck recheck) {
  DeviceManager& manager = DeviceManager::instance();
  ReaderPtr reader = manager.newest_with_card(serial);  // the registry lock is let go here
  if (!reader) return {manager.newest() ? ReaderResult::wrong_card : ReaderResult::no_reader, {}};

  ReaderLease lease(std::move(reader));
  if (!lease->config.configured) return {ReaderResult::not_configured, {}};
  if (recheck == CardRecheck::yes &&
      (!lease->card_present || (serial != 0 && lease->card_serial != serial)))
    return {ReaderResult::wrong_card, {}};
  return {ReaderResult::ok, std::move(lease)};
}

SelectedReader select_reader_by_id(uint16_t device_id) {
  ReaderLease lease = DeviceManager::instance().acquire_reader(device_id);
  if (!lease) return {ReaderResult::no_reader, {}};
  return {ReaderResult::ok, std::move(lease)};
}

}  // namespace kk::cardkit
