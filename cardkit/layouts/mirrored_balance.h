// A balance sector with a mirrored backup, the design the lfzx, gsts,
// gstshot and water layouts share: block 0 holds the balance with its own
// check bytes, block 2 a byte-for-byte copy of block 0, and the sector is
// read and written with key A.
//
// Loading chooses the copy: block 0 when its checks hold (the backup is then
// brought up to date on the card if it differs), else the backup when its
// checks hold (taken into the image only; the card's block 0 is rewritten by
// the next balance write), else nothing. Writing puts the new block 0 first
// and its copy second: block 0 is the commit point (sectors.h,
// write_balance_then_backup).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "cardkit/channel/result.h"
#include "cardkit/commands/commands.h"

namespace kk::cardkit {

// Whether a balance block's check bytes hold.
using BalanceCheck = std::function<bool(std::span<const uint8_t, 16>)>;

enum class CopyChoice : uint8_t {
  in_step,       // block 0 valid, the backup equal to it
  stale_backup,  // block 0 valid, the backup differs: copied over from block 0
  backup_only,   // block 0 invalid, the backup valid: copied over block 0
  neither,       // no valid copy
};

// The choice for a sector image (blocks 0-2), with the image put right.
[[nodiscard]] CopyChoice choose_copy(std::span<uint8_t, 48> image, const BalanceCheck& valid);

// Reads blocks 0-2 with key A and chooses the copy. ok with the chosen
// balance block in image block 0 (and block 2); the code of the sector read;
// card_data_invalid when neither copy is valid; backup_not_refreshed when a
// stale backup could not be rewritten.
[[nodiscard]] ReaderResult load_mirrored_balance(ReaderLink& link, uint32_t sector, MifareKey key_a,
                                                 const BalanceCheck& valid, std::span<uint8_t, 48> image);

// Copies image block 0 (the new balance block) to block 2 and writes block 0,
// then block 2, with key A. ok once block 0 is acknowledged; otherwise the
// code of block 0's write.
[[nodiscard]] ReaderResult write_mirrored_balance(ReaderLink& link, uint32_t sector, MifareKey key_a,
                                                  std::span<uint8_t, 48> image);

}  // namespace kk::cardkit
