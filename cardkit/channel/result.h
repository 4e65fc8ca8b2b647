// Result codes of the reader layer and the card layouts. Inside the kit a
// result is a ReaderResult; the exports hand it to the C caller as its
// number (to_code), which is the only conversion there is.
#pragma once

#include <cstdint>

namespace kk::cardkit {

enum class [[nodiscard]] ReaderResult : uint16_t {
  ok = 0,
  // No reader in the registry; the device id or card serial given does not
  // match the newest reader; the packet exchange failed (write, read,
  // time-out, start byte, CRC, short reply); no card arrived in time.
  failed = 1,
  no_card = 2,                  // no card answered the card request
  no_reader_at_position = 5,    // writedevid: the list is shorter
  not_configured = 6,           // the reader's configuration slots were not read
  auth_failed = 16,             // MIFARE authentication failed
  read_failed = 17,             // a block could not be read (sector helpers: or written)
  write_failed = 18,            // a block could not be written; the reader refused the sound command
};

[[nodiscard]] constexpr uint16_t to_code(ReaderResult r) { return static_cast<uint16_t>(r); }
[[nodiscard]] constexpr bool succeeded(ReaderResult r) { return r == ReaderResult::ok; }

}  // namespace kk::cardkit
