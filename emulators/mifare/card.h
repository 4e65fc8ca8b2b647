// A MIFARE Classic 1K or 4K card as the reader emulator presents it to the
// kit: its memory map, the read-only manufacturer block, the sector trailers
// with their access conditions (checked on every access, inverted copies
// included), value blocks, and the per-sector authentication state. The model
// follows the card where the kit's card layouts could go wrong (a trailer key
// that cannot be used, a block a key may not write, a malformed value block,
// a write lost when the card leaves the field), so the kit's tests meet the
// card's refusals without hardware. Crypto1 and the radio are not modelled:
// a key either matches the trailer or it does not.
//
// Fault hooks let tests refuse or tear the k-th coming block write, and raw
// access lets tests and people inspect or prepare memory past every check.
// All members may be called from any thread; each call is atomic.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulators/mifare/access_conditions.h"
#include "emulators/mifare/value_block.h"

namespace kk::emu {

enum class CardType : uint8_t { classic_1k, classic_4k };

using Block = std::array<uint8_t, 16>;
using Key = std::array<uint8_t, 6>;
using Uid = std::array<uint8_t, 4>;

enum class CardResult : uint8_t {
  ok,
  not_selected,       // halted or never selected: the card does not answer
  bad_block,          // no such block on this card
  auth_failed,        // the key does not match; the authentication is gone
  sector_blocked,     // the sector's access bytes disagree with their inverted copies
  not_authenticated,  // no authentication, or one for another sector
  access_denied,      // the access conditions forbid this with the key used
  bad_value,          // a value operation on a block not in value-block format
  value_overflow,     // the result leaves the signed 32-bit range
  bad_operand,        // a negative increment or decrement amount
  no_value,           // transfer without a preceding increment, decrement or restore
  write_refused,      // injected fault: the write did not happen
  write_torn,         // injected fault: the card left the field during the write
};

[[nodiscard]] const char* to_string(CardResult result);

// Memory geometry. 1K: 16 sectors of 4 blocks. 4K: sectors 0-31 of 4 blocks
// (blocks 0-127), then sectors 32-39 of 16 blocks (blocks 128-255).
[[nodiscard]] unsigned block_count(CardType type);
[[nodiscard]] unsigned sector_count(CardType type);
[[nodiscard]] unsigned sector_of_block(unsigned block);
[[nodiscard]] unsigned first_block_of_sector(unsigned sector);
[[nodiscard]] unsigned blocks_in_sector(unsigned sector);
[[nodiscard]] unsigned trailer_block_of_sector(unsigned sector);
// The access-condition group (0-3) that governs `block`.
[[nodiscard]] unsigned access_group_of_block(unsigned block);

// The transport trailer of a fresh card: both keys FF..FF, access bytes
// FF 07 80 (data blocks 000, trailer 001), general-purpose byte 0x69.
[[nodiscard]] Block transport_trailer();
// A trailer from its parts.
[[nodiscard]] Block make_trailer(const Key& key_a, std::span<const uint8_t, 3> access_bytes,
                                 uint8_t general_purpose, const Key& key_b);

class Card {
 public:
  // A fresh card: manufacturer block from `uid`, every trailer the transport
  // trailer, every data block zero. The card starts unselected.
  Card(CardType type, const Uid& uid);
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  [[nodiscard]] CardType type() const { return type_; }
  [[nodiscard]] Uid uid() const { return uid_; }
  // The four UID bytes as one number, the first UID byte most significant.
  [[nodiscard]] uint32_t serial() const;
  [[nodiscard]] uint8_t sak() const;
  [[nodiscard]] uint16_t atqa() const;

  // Request and select: wakes the card (also from halt), drops any
  // authentication and the value register, returns the serial.
  uint32_t select();
  // The card stops answering until it is selected again.
  void halt();

  // Opens the sector of `block` with `key` as key `key_type`. Any failure
  // leaves the card with no authentication.
  [[nodiscard]] CardResult authenticate(unsigned block, KeyType key_type, std::span<const uint8_t, 6> key);

  // A block of the authenticated sector. Trailer reads give key A as zeros,
  // and the access bytes or key B as zeros where they may not be read.
  [[nodiscard]] CardResult read_block(unsigned block, std::span<uint8_t, 16> out);
  // Writes a block of the authenticated sector. Block 0 is never writable.
  // A trailer write changes only the parts (key A; bytes 6-9; key B) the key
  // may write, and is refused when it may write none of them.
  [[nodiscard]] CardResult write_block(unsigned block, std::span<const uint8_t, 16> data);

  // Value operations: increment, decrement and restore load the card's value
  // register from a value block; transfer writes the register (value and the
  // source's address byte) to a block of the same sector. Amounts are
  // positive or zero: a negative one would let a key that may only decrement
  // raise a balance, so it is refused.
  [[nodiscard]] CardResult increment(unsigned block, int32_t amount);
  [[nodiscard]] CardResult decrement(unsigned block, int32_t amount);
  [[nodiscard]] CardResult restore(unsigned block);
  [[nodiscard]] CardResult transfer(unsigned block);

  [[nodiscard]] bool selected() const;
  // The sector the card is authenticated for, if any.
  [[nodiscard]] std::optional<unsigned> authenticated_sector() const;

  // What a command refused with `result` ran into, in words, for people
  // reading a trace: why there is no authentication (none since the card
  // was selected, one ended by a new card request, a failed one, one for
  // another sector), or which access condition forbids `operation` on
  // `block` with the key of the session. Call it right after the refusal.
  enum class Operation : uint8_t { authenticate, read, write, increment, decrement };
  [[nodiscard]] std::string explain(CardResult result, unsigned block, Operation operation,
                                    KeyType key_type) const;

  // Fault hooks. `nth` counts the block writes (write_block and transfer)
  // that pass every check from now on: 1 is the next one. A refused write
  // changes nothing and returns write_refused. A torn write stores the first
  // 8 bytes of the new block over the old block, returns write_torn and
  // leaves the card unselected, as a card pulled from the field mid-write.
  void refuse_write(unsigned nth = 1);
  void tear_write(unsigned nth = 1);
  void clear_faults();

  // Raw memory past every check (block 0 included). Block numbers outside the
  // card throw std::out_of_range; an image of the wrong size throws
  // std::invalid_argument.
  [[nodiscard]] Block raw_block(unsigned block) const;
  void set_raw_block(unsigned block, const Block& data);
  [[nodiscard]] std::vector<uint8_t> image() const;
  void load_image(std::span<const uint8_t> image);
  // One line per block in hex, the trailer annotated with its conditions.
  [[nodiscard]] std::string dump_sector(unsigned sector) const;

 private:
  enum class FaultKind : uint8_t { refuse, tear };
  struct Fault {
    FaultKind kind;
    unsigned remaining;  // writes until it strikes; 1 = the next
  };
  struct Session {
    unsigned sector;
    KeyType key;
  };
  struct ValueRegister {
    unsigned sector;
    ValueBlock value;
  };
  // How the last session ended, for explain().
  enum class SessionEnd : uint8_t { none, new_request, failed_authentication, halted, torn_write };

  Block& at(unsigned block);
  const Block& at(unsigned block) const;
  void check_block(unsigned block) const;
  void drop_session();
  void end_session(SessionEnd why);
  // Checks shared by every access after authentication: selection, block
  // number, sector, trailer consistency and the readable-key-B rule. Fills
  // `conditions` on success.
  [[nodiscard]] CardResult check_access(unsigned block, SectorConditions& conditions) const;
  [[nodiscard]] CardResult load_value(unsigned block, int64_t delta, bool is_increment);
  [[nodiscard]] CardResult store(unsigned block, const Block& data);

  mutable std::mutex mutex_;
  const CardType type_;
  const Uid uid_;
  std::vector<Block> memory_;
  bool selected_ = false;
  std::optional<Session> session_;
  std::optional<ValueRegister> value_register_;
  std::vector<Fault> faults_;
  SessionEnd session_end_ = SessionEnd::none;
  std::optional<unsigned> ended_sector_;  // the sector of the session that ended
};

}  // namespace kk::emu
