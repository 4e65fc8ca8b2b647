// lf purse card transactions: issue, read, charge, debit, reclaim, the time
// card and the sector-key change, each under one reader lease.
//
// The process-wide lf configuration (sector and base key) is set by the host
// and read by every transaction; it lives under a lock, and a transaction
// works on a copy taken at its start, so a host that reconfigures while
// another thread works changes only the transactions that start later.
//
// Write order and commit point of a charge or a debit: block 0 (the value
// block) first, then block 1 (the backup). The transaction has happened
// once the card acknowledged block 0, whatever becomes of block 1. Every
// load compares the two and rewrites whichever disagrees (block 0 from the
// backup when block 0 is not a valid purse, the backup from block 0 when it
// holds another balance) before it reports or changes a balance, so a torn
// write can only ever fall back on the balance of the last transaction that
// reached the card.
#pragma once

#include <cstdint>
#include <span>

#include "cardkit/channel/result.h"
#include "cardkit/layouts/lf/lf_codec.h"

namespace kk::cardkit::lf {

// Stores the purse sector (its low byte is the sector number) and the base
// key for every later transaction.
void configure(uint32_t sector, std::span<const uint8_t, 8> base_key);
// The card key of `serial` under the configured sector and base key.
[[nodiscard]] CardKey configured_card_key(uint32_t serial);

// The transactions. `serial` names the expected card (0: whatever card is
// there) and is also the serial the card key is derived from. Each returns
// argument_refused, before any reader is touched, when the configured
// sector cannot hold the purse (0, the sector of the manufacturer block, or
// 32 and above, which are not four-block sectors).
[[nodiscard]] ReaderResult issue(uint32_t serial);
[[nodiscard]] ReaderResult reclaim(uint32_t serial);
[[nodiscard]] ReaderResult read(uint32_t serial, uint32_t& balance);
[[nodiscard]] ReaderResult charge(uint32_t serial, uint32_t amount, uint32_t& balance);
[[nodiscard]] ReaderResult reduce(uint32_t serial, uint32_t amount, uint32_t& balance);

[[nodiscard]] ReaderResult write_time_card(uint32_t serial, std::span<const uint8_t, 6> time);
// Rewrites the trailer of `sector` with `new_key` as both keys and the
// transport access bytes, opening it with `current_key`. argument_refused
// for sectors 32 and above.
[[nodiscard]] ReaderResult modify_key(uint32_t serial, uint8_t sector, std::span<const uint8_t, 6> new_key,
                                      std::span<const uint8_t, 6> current_key);
// The reader selection alone: ok when the card is there, nothing sent to it.
[[nodiscard]] ReaderResult select_only(uint32_t serial);

}  // namespace kk::cardkit::lf
