// Water card transactions: the key configuration, user cards (issue, read,
// overwrite the balance, reclaim) and parameter cards, each under one reader
// lease.
//
// The water configuration (key-set flag, water key, water sector) is set by
// the host and read by every transaction; it lives under a lock, and a
// transaction works on a copy taken at its start.
//
// A balance write sets the balance: block 0 first, then its copy in block
// 2; block 0 is the commit point (mirrored_balance.h).
#pragma once

#include <cstdint>
#include <span>

#include "cardkit/channel/result.h"

namespace kk::cardkit::water {

// Sectors 1-32 are accepted. Sector 32 is accepted as configuration, but no
// card transaction can use it (see below).
inline constexpr int32_t kLowestSector = 1;
inline constexpr int32_t kHighestSector = 32;

// Logs the call, then stores the key and sector: ok, or argument_refused
// (nothing stored) for a sector outside 1-32.
[[nodiscard]] ReaderResult set_key(int32_t sector, std::span<const uint8_t, 6> key);

// Every transaction below returns key_not_set while no key is configured,
// and argument_refused, before any reader is touched, when the configured
// sector is 32: the layout's blocks 4W to 4W+3 are a four-block sector only
// below 32 (sector 32 is missing from a 1K card, and on a 4K card it is a
// sixteen-block sector whose block 4W+3 is a data block, where a trailer
// would put the water key in clear). A sector beyond a 1K card (16-31)
// fails at its first authentication, before anything is written.

// Logs the call (`text` and the serial), then issues a user card at balance
// 0; ok also when the water sector already opens with the water key (nothing
// is written then).
[[nodiscard]] ReaderResult issue_user_card(uint32_t serial, const char* text);
// argument_refused for code 0. The water sector is tried with the card
// transport key and the water key before sector 0 is written, so a card
// whose water sector opens with neither is left untouched (auth_failed).
[[nodiscard]] ReaderResult issue_parameter_card(uint32_t serial, uint8_t byte_argument, int32_t argument32,
                                                uint32_t code, int32_t argument24);
[[nodiscard]] ReaderResult read(uint32_t serial, uint32_t& balance);
// Stores the low 24 bits of `balance`.
[[nodiscard]] ReaderResult write(uint32_t serial, int32_t balance);
[[nodiscard]] ReaderResult reclaim(uint32_t serial);

}  // namespace kk::cardkit::water
