// Reader selection for the card layouts. Every card export opens the same
// way: take the newest reader if its field holds the card the caller named
// (serial 0: whatever card is there), then hold that reader's lock for the
// whole operation, so that the reader's card thread cannot poll the field,
// re-select the card and end an authentication between two steps.
//
// The reader-side configuration exports select by device id instead and
// look at neither the card nor the configuration.
#pragma once

#include <cstdint>

#include "cardkit/channel/result.h"
#include "cardkit/devices/device_manager.h"

namespace kk::cardkit {

// A selection's outcome: the reader, its lock held, when `result` is ok.
struct SelectedReader {
  ReaderResult result = ReaderResult::no_reader;
  ReaderLease lease;
};

// Whether the card is looked for again once the reader's lock is held: the
// card thread may have seen it leave while the caller waited for the lock.
enum class CardRecheck : uint8_t { no, yes };

// Selection by card: no_reader without a reader; wrong_card when the newest
// reader has no card or another card than `serial` (also, with
// CardRecheck::yes, when that is so once its lock is held); not_configured
// when the reader's configuration slots were not read; ok otherwise.
[[nodiscard]] SelectedReader select_card_reader(uint32_t serial, CardRecheck recheck = CardRecheck::yes);

// Selection by device id: the newest reader when `device_id` is 0 or its id
// (no_reader otherwise), its lock held.
[[nodiscard]] SelectedReader select_reader_by_id(uint16_t device_id);

}  // namespace kk::cardkit
