// One attached reader: its link, what its configuration slots said, and
// what its card thread last saw in the field.
//
// Readers are shared (ReaderPtr). The registry holds one reference while
// the reader is attached; an export that selected the reader holds another
// for as long as it works with it, so a reader retired by its card thread
// meanwhile stays valid memory: its device is closed, and every command sent
// to it fails at the transport (result 1).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "cardkit/channel/channel.h"

namespace kk::cardkit {

struct ReaderDevice {
  ReaderLink link;
  ReaderConfig config;  // written once before the reader is registered

  // Written by the card thread, read by exports.
  std::atomic<bool> card_present{false};
  std::atomic<uint32_t> card_serial{0};
  // Set while an ISO 14443-4 session is open; the card thread does not
  // poll meanwhile.
  std::atomic<bool> iso_session{false};
};

using ReaderPtr = std::shared_ptr<ReaderDevice>;

}  // namespace kk::cardkit
