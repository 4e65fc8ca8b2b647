// The in-memory image of one fmt10 card. fmt10 operations read a card into
// one of these, file it in the card cache, and let the purse operations and
// setters work from it without reading the card again.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "cardkit/layouts/sectors.h"

namespace kk::cardkit {

struct ReaderDevice;

struct Fmt10CardRecord {
  // Serial the record is filed under: the serial argument of the operation
  // that created it (0 when that caller passed 0). Never changed afterwards.
  uint32_t serial = 0;
  // The reader that created the record; later card commands for this record
  // go to it. Shared, so an unplugged reader's record stays valid (its
  // commands then fail at the transport) for as long as the record lives.
  std::shared_ptr<ReaderDevice> reader;

  uint32_t info_sector = 0;
  uint32_t purse_sector = 0;
  uint32_t purse2_sector = 0;  // 0: the card has no second-purse sector
  std::array<Block, 3> info_blocks{};
  std::array<Block, 3> purse_blocks{};
  std::array<Block, 3> purse2_blocks{};

  uint32_t card_no = 0;
  uint32_t card_type = 0;
  uint32_t corp_id = 0;  // 24 bits on the card
  uint8_t black_ver = 0;
  std::array<uint8_t, 4> issue_date{};   // BCD 0x20 YY MM DD
  std::array<uint8_t, 4> expiry_date{};  // BCD 0x20 YY MM DD
  std::array<char, 9> holder_name{};     // 8 bytes of text and a terminating zero
  std::array<char, 9> work_no{};         // 8 bytes of text and a terminating zero

  uint32_t purse_copy = 0;   // 0 or 1: block holding the current main purse record
  uint32_t purse2_copy = 0;  // 0 or 1: block holding the current second-purse record
  uint32_t balance = 0;
  uint32_t txn_count = 0;             // 16 bits on the card
  std::array<uint8_t, 7> stamp{};     // BCD century, year, month, day, hour, minute, second
  uint32_t stat_value = 0;            // 24 bits on the card
  uint8_t stat_count = 0;
  uint8_t card_flag = 0;
  uint32_t limit_1 = 0;               // 24 bits on the card
  uint32_t limit_2 = 0;               // 24 bits on the card
  uint8_t limits_byte4 = 0;           // carried, never interpreted
  uint32_t card_key = 0;              // 24 bits on the card; a number, not a cipher key
  uint16_t purse2_param = 0;
  uint32_t purse2_balance = 0;        // 24 bits on the card
  std::array<uint8_t, 4> purse2_date{};  // BCD 0x20 YY MM DD
  uint8_t purse2_byte8 = 0;           // carried, never interpreted
  uint16_t consume_count = 0;
  uint16_t charge_count = 0;
  uint16_t purse2_consume_count = 0;
  uint16_t purse2_charge_count = 0;
};

}  // namespace kk::cardkit
