// Result codes of the reader layer and the card layouts. Inside the kit a
// result is a ReaderResult; the exports hand it to the C caller as its
// number (to_code), which is the only conversion there is.
//
// The C caller sees one code, 1, for several different failures: no reader,
// the wrong card, a request the link cannot carry, a link that failed. The
// kit keeps them apart, because what it does next depends on which it was:
// only a failed link retires a reader or sends it back through link
// start-up. Each value's low byte is its C code; the high byte tells apart
// the failures that share a code.
#pragma once

#include <cstdint>

namespace kk::cardkit {

enum class [[nodiscard]] ReaderResult : uint16_t {
  ok = 0,

  // --- failures the C caller sees as code 1 ---
  // No reader in the registry, or the device id given is not the newest
  // reader's.
  no_reader = 0x0001,
  // The reader has no card in its field, or another card than the serial
  // names; no card arrived within the wait.
  wrong_card = 0x0101,
  // The request cannot be carried: a command record shorter than a bare
  // command or longer than a packet holds, an argument out of range.
  bad_request = 0x0201,
  // The exchange failed at the transport: a report was not taken or did not
  // arrive in time, the device refused a transfer or is gone, the reply was
  // not an intact packet or not a command frame. The link is out of step (or
  // the reader gone): it must be re-established or the reader retired.
  link_failed = 0x0301,
  // An intact reply, but too short for the data the command takes from it.
  short_reply = 0x0401,
  // A card layout's blocks fail their checks: neither the balance block nor
  // its backup is valid.
  card_data_invalid = 0x0701,
  // A valid balance block whose backup differs could not have the backup
  // brought up to date.
  backup_not_refreshed = 0x0801,

  // --- failures with a code of their own ---
  no_card = 2,                // no card answered the card request
  no_reader_at_position = 5,  // writedevid: the list is shorter
  not_configured = 6,         // the reader's configuration slots were not read
  auth_failed = 16,           // MIFARE authentication failed
  read_failed = 17,           // a block could not be read (sector helpers: or written)
  write_failed = 18,          // a block could not be written; the reader refused the sound command

  // --- the other card layouts' own codes (lf, lfzx, gsts, gstshot, water, lfzxdc) ---
  // Code 3 keeps its causes apart.
  key_not_set = 0x0103,        // water: no water key configured yet
  argument_refused = 0x0203,   // an argument or configured sector the layout cannot use; nothing sent
  device_side_empty = 0x0303,  // lfzxdc: the consuming device has not used the card yet
  insufficient_balance = 64,   // a debit larger than the balance; nothing written
};

[[nodiscard]] constexpr uint16_t to_code(ReaderResult r) { return static_cast<uint16_t>(r) & 0xFF; }
[[nodiscard]] constexpr bool succeeded(ReaderResult r) { return r == ReaderResult::ok; }
// The link to the reader failed: the one class that retires a reader.
[[nodiscard]] constexpr bool link_failure(ReaderResult r) { return r == ReaderResult::link_failed; }

}  // namespace kk::cardkit
