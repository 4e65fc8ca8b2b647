// What the card layouts share about MIFARE Classic sectors: the two sector
// trailers they write, and clearing a sector back to the blank state.
//
// A trailer is key A (bytes 0-5), the access bytes (6-8), the general-purpose
// byte (9) and key B (10-15).
//  - The transport trailer (FF 07 80 69): data blocks read and written with
//    either key, the trailer with key A; what a factory-fresh card carries.
//  - The keyed trailer (7F 07 88 69): data blocks read, written, incremented
//    and decremented with either key; keys and access bytes written with
//    key B only; key B not readable.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "cardkit/channel/result.h"
#include "cardkit/commands/commands.h"

namespace kk::cardkit {

struct ReaderDevice;

using Block = std::array<uint8_t, 16>;

inline constexpr std::array<uint8_t, 4> kTransportTrailerAccess = {0xFF, 0x07, 0x80, 0x69};
inline constexpr std::array<uint8_t, 4> kKeyedTrailerAccess = {0x7F, 0x07, 0x88, 0x69};

// A trailer from its parts: key A, access bytes with the general-purpose
// byte, key B.
[[nodiscard]] Block make_trailer(MifareKey key_a, std::span<const uint8_t, 4> access, MifareKey key_b);

// The reader's card transport key: the key of a blank sector.
[[nodiscard]] MifareKey card_transport_key(const ReaderDevice& reader);

// Clears sector `sector` with `key` (as key B): zeroes the data blocks whose
// bits (0-2) are set in `block_mask`, then, with bit 3 set, writes `trailer`
// to the sector trailer. A sector that refuses `key` but accepts the reader's
// card transport key is already blank: ok, nothing written. auth_failed when
// it accepts neither; the first failed write's code otherwise. The caller
// holds the reader's lock.
[[nodiscard]] ReaderResult sector_clear(ReaderDevice& reader, uint8_t sector, uint8_t block_mask, MifareKey key,
                                        std::span<const uint8_t, 16> trailer);

// Writes the three data blocks of a blank sector, opened with the reader's
// card transport key: as key A, and when that fails, after 10 ms, as key B.
// ok, or the code of the second attempt.
[[nodiscard]] ReaderResult write_blank_sector(ReaderDevice& reader, uint32_t sector,
                                              std::span<const uint8_t, 48> data);

// Asks the card in the field for its serial with a card request (which also
// ends any authentication the card held). The card thread polls only every
// 100 ms, so its view may still name a card that was swapped for another
// meanwhile; operations that key a card by its serial ask the card itself.
// ok with `serial` when it is `expected` (or `expected` is 0); wrong_card
// when it is another card or none answered; link_failed from the request.
[[nodiscard]] ReaderResult card_in_field(ReaderLink& link, uint32_t expected, uint32_t& serial);

// After a failed attempt has left the card unselected: waits 10 ms, selects
// the card again and opens the sector of `block` with `key`. The code of the
// card request when it fails, else that of the authentication.
[[nodiscard]] ReaderResult reselect_and_authenticate(ReaderLink& link, uint32_t block, uint32_t key_selector,
                                                     MifareKey key);

// Writes a balance block and then its backup, both from `data` (the sector's
// 48-byte buffer), in one session opened with `key` (`auth_mask`: the
// authenticate bit and, for key A, the key-A bit). The balance block is the
// commit point: once the card has acknowledged it, the transaction has
// happened, so the result is ok even when the backup write then fails (the
// next load of the card brings the backup up to date). Otherwise the code of
// the balance block's write, and the backup is not attempted.
[[nodiscard]] ReaderResult write_balance_then_backup(ReaderLink& link, uint32_t sector, uint8_t auth_mask,
                                                     MifareKey key, std::span<const uint8_t, 48> data,
                                                     unsigned balance_block, unsigned backup_block);

}  // namespace kk::cardkit
