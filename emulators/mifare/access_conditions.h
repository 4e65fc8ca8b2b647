// Access conditions of a MIFARE Classic sector trailer: decoding and encoding
// the three access bytes (bytes 6-8 of the trailer, each condition bit kept
// once plain and once inverted) and the card standard's tables of which key
// may do what to a data block or to the trailer under each condition C1C2C3.
// The card model consults these tables on every access, as the card's own
// logic does, and tests and tools use them to build and explain trailers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kk::emu {

enum class KeyType : uint8_t { a, b };

// Which keys an operation is allowed with.
enum class Keys : uint8_t { never = 0, a = 1, b = 2, a_or_b = 3 };

[[nodiscard]] constexpr bool allows(Keys keys, KeyType key) {
  return (static_cast<uint8_t>(keys) & (key == KeyType::a ? 1 : 2)) != 0;
}

// One access condition as the three bits C1 C2 C3, packed as the number
// C1·4 + C2·2 + C3, so condition "011" is 3. Values 0-7.
using Condition = uint8_t;

// The conditions of the four block groups of a sector: groups 0-2 are the
// data blocks (in a 16-block sector, blocks 0-4, 5-9 and 10-14), group 3 is
// the trailer.
struct SectorConditions {
  std::array<Condition, 4> group{};
  friend bool operator==(const SectorConditions&, const SectorConditions&) = default;
};

// The conditions held in trailer bytes 6-8, or nothing when a bit and its
// inverted copy disagree (a card treats such a sector as blocked).
[[nodiscard]] std::optional<SectorConditions> decode_access_bytes(std::span<const uint8_t, 3> bytes);

// Trailer bytes 6-8 for `conditions`. Conditions above 7 are a caller error
// and throw std::invalid_argument.
[[nodiscard]] std::array<uint8_t, 3> encode_access_bytes(const SectorConditions& conditions);

struct DataPermissions {
  Keys read;
  Keys write;
  Keys increment;
  Keys decrement;  // also transfer and restore
};

struct TrailerPermissions {
  Keys key_a_write;
  Keys access_read;  // bytes 6-9: the access bytes and the general-purpose byte
  Keys access_write;
  Keys key_b_read;
  Keys key_b_write;  // key A is never readable under any condition
};

[[nodiscard]] DataPermissions data_permissions(Condition condition);
[[nodiscard]] TrailerPermissions trailer_permissions(Condition condition);

// Whether key B can be read under trailer condition `condition`. Such a key B
// is data, not a key: authentication with it succeeds, but the card then
// refuses every access.
[[nodiscard]] bool key_b_readable(Condition condition);

// "011" for 3: the notation of the card standard's tables.
[[nodiscard]] std::string condition_name(Condition condition);

// "never", "key A", "key B" or "key A or B".
[[nodiscard]] const char* keys_name(Keys keys);

}  // namespace kk::emu
