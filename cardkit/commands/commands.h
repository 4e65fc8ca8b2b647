// The reader's card commands (card request, sound and light, MIFARE Classic
// authentication, block read and write) and the sector helpers every card
// layout uses to read or write up to three data blocks of a sector and to
// rewrite a sector trailer, with their retries.
//
// Everything here is called with the reader's lock held; the lock is the
// caller's business.
#pragma once

#include <cstdint>
#include <span>

#include "cardkit/channel/channel.h"
#include "cardkit/channel/result.h"

namespace kk::cardkit {

// Key selectors as the reader takes them.
inline constexpr uint32_t kKeyB = 0;
inline constexpr uint32_t kKeyA = 1;

using MifareKey = std::span<const uint8_t, 6>;

// Sector-helper mask: bit 7 authenticate first, bit 6 with key A (else key
// B), bits 0-2 the data blocks to read or write.
inline constexpr uint8_t kMaskAuthenticate = 0x80;
inline constexpr uint8_t kMaskKeyA = 0x40;

// Every command passes a failure of reader_transact on as it is (bad_request,
// link_failed); a command that takes data from its reply fails with
// short_reply when the reply does not carry it, and then leaves `serial` or
// `out` untouched.

// ok with the card's serial (its four UID bytes, the first most
// significant); no_card when no card answered.
ReaderResult card_request(ReaderLink& link, uint32_t& serial);
// ok, or write_failed when the reader refused. The reader gets `second`
// doubled.
ReaderResult reader_beep(ReaderLink& link, uint32_t first, uint32_t second);
// Opens the sector of `block` with the key: ok or auth_failed.
ReaderResult m1_auth(ReaderLink& link, uint32_t block, uint32_t key_selector, MifareKey key);
// ok with the block's 16 bytes, or read_failed.
ReaderResult m1_read_block(ReaderLink& link, uint32_t block, std::span<uint8_t, 16> out);
// ok, or write_failed.
ReaderResult m1_write_block(ReaderLink& link, uint32_t block, std::span<const uint8_t, 16> data);

// Up to three data blocks of `sector` (block i at bytes 16*i of the 48-byte
// buffer; unselected blocks are left alone). Retries an authentication once
// after 10 ms and a block once at once. ok, auth_failed or read_failed (also
// for a block that could not be written).
ReaderResult m1_read_sector(ReaderLink& link, uint32_t sector, uint8_t mask, MifareKey key,
                            std::span<uint8_t, 48> out);
ReaderResult m1_write_sector(ReaderLink& link, uint32_t sector, uint8_t mask, MifareKey key,
                             std::span<const uint8_t, 48> data);
// Writes `block` after authenticating with `key` as key A, or failing that,
// after a fresh card request, as key B: ok or auth_failed.
ReaderResult m1_write_trailer(ReaderLink& link, uint32_t block, std::span<const uint8_t, 16> data,
                              MifareKey key);

}  // namespace kk::cardkit
