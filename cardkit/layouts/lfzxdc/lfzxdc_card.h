// lfzxdc card transactions, each under one reader lease: issue, reclaim,
// read the card number, write the card number, the price or a purchase,
// make a clear card, and the purchase state the last read found.
//
// Every export but issue and reclaim starts by reading blocks 12-13 and
// 16-17 into a working image of its own; when block 13 is out of step with
// block 12 (a sector-3 write that stopped between its two blocks) the read
// brings it in step on the card first (lfzxdc_codec.h, complete_record).
// The writing exports change the image and write blocks 12 and 13 back,
// block 12 first. The exports set fields (they do not add), so repeating a
// call that failed writes the same blocks again.
//
// lfzxdc_readmoney answers from the last image a card export read (and, if
// it then wrote, the image it wrote). Each thread has its own last image, so
// two threads working on two cards each see their own card; a thread that
// has made no lfzxdc card export sees the last image of any thread. Both
// are kept under a lock.
#pragma once

#include <cstdint>

#include "cardkit/channel/result.h"
#include "cardkit/layouts/lfzxdc/lfzxdc_codec.h"

namespace kk::cardkit::lfzxdc {

[[nodiscard]] ReaderResult issue(uint32_t serial);
[[nodiscard]] ReaderResult reclaim(uint32_t serial);
[[nodiscard]] ReaderResult read_card_number(uint32_t serial, uint32_t& prefix, uint32_t& number);
// argument_refused for a prefix of 10000 or more, before any reader access.
[[nodiscard]] ReaderResult write_card_number(uint32_t serial, uint16_t prefix, uint32_t number);
[[nodiscard]] ReaderResult write_price(uint32_t serial, uint16_t word, uint32_t value);
[[nodiscard]] ReaderResult charge(uint32_t serial, uint32_t sequence, uint16_t amount);
[[nodiscard]] ReaderResult make_clear(uint32_t serial);
// device_side_empty (with both outputs 0) when the device has not used the
// card in the last image.
[[nodiscard]] ReaderResult purchase(uint32_t& next_sequence, uint32_t& pending);

}  // namespace kk::cardkit::lfzxdc
