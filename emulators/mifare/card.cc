#include "emulators/mifare/card.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "common/bytes.h"

namespace kk::emu {
namespace {

constexpr unsigned kSmallSectors = 32;  // 4K sectors 0-31 have 4 blocks, the rest 16
constexpr unsigned kSmallSectorBlocks = 4;
constexpr unsigned kLargeSectorBlocks = 16;
constexpr unsigned kSmallAreaBlocks = kSmallSectors * kSmallSectorBlocks;  // 128

constexpr std::array<uint8_t, 3> kTransportAccess{0xFF, 0x07, 0x80};
constexpr uint8_t kTransportGeneralPurpose = 0x69;
constexpr Key kTransportKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Trailer byte ranges a trailer write may change separately.
constexpr std::size_t kKeyAOffset = 0;
constexpr std::size_t kAccessOffset = 6;  // access bytes 6-8 and the general-purpose byte 9
constexpr std::size_t kKeyBOffset = 10;
constexpr std::size_t kKeySize = 6;
constexpr std::size_t kAccessSize = 4;

// The emulator's own manufacturer bytes (block 0 bytes 8-15).
constexpr std::array<uint8_t, 8> kManufacturerData{0x4B, 0x4B, 0x45, 0x4D, 0x55, 0x00, 0x00, 0x01};

bool is_trailer(unsigned block) { return trailer_block_of_sector(sector_of_block(block)) == block; }

void copy_range(Block& to, const Block& from, std::size_t offset, std::size_t size) {
  std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(offset), size,
              to.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::span<const uint8_t, 3> access_bytes_of(const Block& trailer) {
  return std::span<const uint8_t, 3>(trailer.data() + kAccessOffset, 3);
}

}  // namespace

const char* to_string(CardResult result) {
  switch (result) {
    case CardResult::ok:
      return "ok";
    case CardResult::not_selected:
      return "not selected";
    case CardResult::bad_block:
      return "bad block";
    case CardResult::auth_failed:
      return "authentication failed";
    case CardResult::sector_blocked:
      return "sector blocked";
    case CardResult::not_authenticated:
      return "not authenticated";
    case CardResult::access_denied:
      return "access denied";
    case CardResult::bad_value:
      return "malformed value block";
    case CardResult::value_overflow:
      return "value overflow";
    case CardResult::bad_operand:
      return "negative amount";
    case CardResult::no_value:
      return "no value to transfer";
    case CardResult::write_refused:
      return "write refused";
    case CardResult::write_torn:
      return "write torn";
  }
  return "unknown";
}

unsigned block_count(CardType type) { return type == CardType::classic_1k ? 64 : 256; }

unsigned sector_count(CardType type) { return type == CardType::classic_1k ? 16 : 40; }

unsigned sector_of_block(unsigned block) {
  if (block < kSmallAreaBlocks) return block / kSmallSectorBlocks;
  return kSmallSectors + (block - kSmallAreaBlocks) / kLargeSectorBlocks;
}

unsigned first_block_of_sector(unsigned sector) {
  if (sector < kSmallSectors) return sector * kSmallSectorBlocks;
  return kSmallAreaBlocks + (sector - kSmallSectors) * kLargeSectorBlocks;
}

unsigned blocks_in_sector(unsigned sector) {
  return sector < kSmallSectors ? kSmallSectorBlocks : kLargeSectorBlocks;
}

unsigned trailer_block_of_sector(unsigned sector) {
  return first_block_of_sector(sector) + blocks_in_sector(sector) - 1;
}

unsigned access_group_of_block(unsigned block) {
  const unsigned sector = sector_of_block(block);
  const unsigned index = block - first_block_of_sector(sector);
  if (blocks_in_sector(sector) == kSmallSectorBlocks) return index;
  // A 16-block sector: groups of five data blocks share one condition.
  return index == kLargeSectorBlocks - 1 ? 3 : index / 5;
}

Block make_trailer(const Key& key_a, std::span<const uint8_t, 3> access_bytes, uint8_t general_purpose,
                   const Key& key_b) {
  Block trailer{};
  std::copy(key_a.begin(), key_a.end(), trailer.begin() + kKeyAOffset);
  std::copy(access_bytes.begin(), access_bytes.end(), trailer.begin() + kAccessOffset);
  trailer[kAccessOffset + 3] = general_purpose;
  std::copy(key_b.begin(), key_b.end(), trailer.begin() + kKeyBOffset);
  return trailer;
}

Block transport_trailer() {
  return make_trailer(kTransportKey, kTransportAccess, kTransportGeneralPurpose, kTransportKey);
}

Card::Card(CardType type, const Uid& uid) : type_(type), uid_(uid), memory_(block_count(type)) {
  for (unsigned sector = 0; sector < sector_count(type); ++sector) {
    memory_[trailer_block_of_sector(sector)] = transport_trailer();
  }
  Block& block0 = memory_[0];
  std::copy(uid.begin(), uid.end(), block0.begin());
  block0[4] = static_cast<uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]);  // BCC
  block0[5] = sak();
  store_u16_le(&block0[6], atqa());
  std::copy(kManufacturerData.begin(), kManufacturerData.end(), block0.begin() + 8);
}

uint32_t Card::serial() const { return load_u32_be(uid_.data()); }

uint8_t Card::sak() const { return type_ == CardType::classic_1k ? 0x08 : 0x18; }

uint16_t Card::atqa() const { return type_ == CardType::classic_1k ? 0x0004 : 0x0002; }

uint32_t Card::select() {
  std::lock_guard lock(mutex_);
  selected_ = true;
  end_session(SessionEnd::new_request);
  return serial();
}

void Card::halt() {
  std::lock_guard lock(mutex_);
  selected_ = false;
  end_session(SessionEnd::halted);
}

bool Card::selected() const {
  std::lock_guard lock(mutex_);
  return selected_;
}

std::optional<unsigned> Card::authenticated_sector() const {
  std::lock_guard lock(mutex_);
  if (!session_) return std::nullopt;
  return session_->sector;
}

void Card::end_session(SessionEnd why) {
  // A card request with no session open leaves an earlier request's record
  // alone: the card thread polls again and again after the host's last
  // authentication, and it was the first of those requests that ended it.
  if (session_ || why != SessionEnd::new_request || session_end_ != SessionEnd::new_request) {
    session_end_ = why;
    ended_sector_ = session_ ? std::optional<unsigned>(session_->sector) : std::nullopt;
  }
  drop_session();
}

void Card::drop_session() {
  session_.reset();
  value_register_.reset();
}

Block& Card::at(unsigned block) { return memory_.at(block); }

const Block& Card::at(unsigned block) const { return memory_.at(block); }

void Card::check_block(unsigned block) const {
  if (block >= memory_.size()) throw std::out_of_range("block outside the card");
}

CardResult Card::authenticate(unsigned block, KeyType key_type, std::span<const uint8_t, 6> key) {
  std::lock_guard lock(mutex_);
  if (!selected_) return CardResult::not_selected;
  // Whatever the outcome, the previous session ends: a card starts a new
  // authentication by forgetting the old one.
  drop_session();
  if (block >= memory_.size()) return CardResult::bad_block;
  const unsigned sector = sector_of_block(block);
  const Block& trailer = at(trailer_block_of_sector(sector));
  if (!decode_access_bytes(access_bytes_of(trailer))) return CardResult::sector_blocked;
  const std::size_t offset = key_type == KeyType::a ? kKeyAOffset : kKeyBOffset;
  if (!std::equal(key.begin(), key.end(), trailer.begin() + static_cast<std::ptrdiff_t>(offset))) {
    session_end_ = SessionEnd::failed_authentication;
    ended_sector_ = sector;
    return CardResult::auth_failed;
  }
  session_ = Session{sector, key_type};
  return CardResult::ok;
}

CardResult Card::check_access(unsigned block, SectorConditions& conditions) const {
  if (!selected_) return CardResult::not_selected;
  if (block >= memory_.size()) return CardResult::bad_block;
  const unsigned sector = sector_of_block(block);
  if (!session_ || session_->sector != sector) return CardResult::not_authenticated;
  const auto decoded = decode_access_bytes(access_bytes_of(at(trailer_block_of_sector(sector))));
  if (!decoded) return CardResult::sector_blocked;
  // A key B that can be read is data: it opens the sector, but nothing more.
  if (session_->key == KeyType::b && key_b_readable(decoded->group[3])) return CardResult::access_denied;
  conditions = *decoded;
  return CardResult::ok;
}

CardResult Card::read_block(unsigned block, std::span<uint8_t, 16> out) {
  std::lock_guard lock(mutex_);
  SectorConditions conditions;
  if (const CardResult checked = check_access(block, conditions); checked != CardResult::ok) return checked;
  const KeyType key = session_->key;
  const Block& stored = at(block);
  if (!is_trailer(block)) {
    if (!allows(data_permissions(conditions.group[access_group_of_block(block)]).read, key)) {
      return CardResult::access_denied;
    }
    std::copy(stored.begin(), stored.end(), out.begin());
    return CardResult::ok;
  }
  // Key A is never given out; the other parts only where the key may read them.
  const TrailerPermissions permissions = trailer_permissions(conditions.group[3]);
  Block shown{};
  if (allows(permissions.access_read, key)) copy_range(shown, stored, kAccessOffset, kAccessSize);
  if (allows(permissions.key_b_read, key)) copy_range(shown, stored, kKeyBOffset, kKeySize);
  std::copy(shown.begin(), shown.end(), out.begin());
  return CardResult::ok;
}

CardResult Card::write_block(unsigned block, std::span<const uint8_t, 16> data) {
  std::lock_guard lock(mutex_);
  SectorConditions conditions;
  if (const CardResult checked = check_access(block, conditions); checked != CardResult::ok) return checked;
  if (block == 0) return CardResult::access_denied;  // the manufacturer block
  const KeyType key = session_->key;
  Block incoming;
  std::copy(data.begin(), data.end(), incoming.begin());
  if (!is_trailer(block)) {
    if (!allows(data_permissions(conditions.group[access_group_of_block(block)]).write, key)) {
      return CardResult::access_denied;
    }
    return store(block, incoming);
  }
  const TrailerPermissions permissions = trailer_permissions(conditions.group[3]);
  const bool key_a = allows(permissions.key_a_write, key);
  const bool access = allows(permissions.access_write, key);
  const bool key_b = allows(permissions.key_b_write, key);
  if (!key_a && !access && !key_b) return CardResult::access_denied;
  Block merged = at(block);
  if (key_a) copy_range(merged, incoming, kKeyAOffset, kKeySize);
  if (access) copy_range(merged, incoming, kAccessOffset, kAccessSize);
  if (key_b) copy_range(merged, incoming, kKeyBOffset, kKeySize);
  return store(block, merged);
}

CardResult Card::store(unsigned block, const Block& data) {
  // Every injected fault counts this write; the first one due strikes.
  std::optional<FaultKind> strike;
  for (Fault& fault : faults_) {
    if (--fault.remaining == 0 && !strike) strike = fault.kind;
  }
  std::erase_if(faults_, [](const Fault& fault) { return fault.remaining == 0; });
  if (strike == FaultKind::refuse) return CardResult::write_refused;
  Block& stored = at(block);
  if (strike == FaultKind::tear) {
    std::copy_n(data.begin(), 8, stored.begin());
    selected_ = false;
    end_session(SessionEnd::torn_write);
    return CardResult::write_torn;
  }
  stored = data;
  return CardResult::ok;
}

CardResult Card::load_value(unsigned block, int64_t delta, bool is_increment) {
  SectorConditions conditions;
  if (const CardResult checked = check_access(block, conditions); checked != CardResult::ok) return checked;
  if (block == 0 || is_trailer(block)) return CardResult::access_denied;
  const DataPermissions permissions = data_permissions(conditions.group[access_group_of_block(block)]);
  if (!allows(is_increment ? permissions.increment : permissions.decrement, session_->key)) {
    return CardResult::access_denied;
  }
  const auto current = decode_value_block(at(block));
  if (!current) return CardResult::bad_value;
  const int64_t result = int64_t{current->value} + delta;
  if (result < std::numeric_limits<int32_t>::min() || result > std::numeric_limits<int32_t>::max()) {
    return CardResult::value_overflow;
  }
  value_register_ =
      ValueRegister{session_->sector, ValueBlock{static_cast<int32_t>(result), current->address}};
  return CardResult::ok;
}

CardResult Card::increment(unsigned block, int32_t amount) {
  std::lock_guard lock(mutex_);
  if (amount < 0) return CardResult::bad_operand;
  return load_value(block, amount, true);
}

CardResult Card::decrement(unsigned block, int32_t amount) {
  std::lock_guard lock(mutex_);
  if (amount < 0) return CardResult::bad_operand;
  return load_value(block, -int64_t{amount}, false);
}

CardResult Card::restore(unsigned block) {
  std::lock_guard lock(mutex_);
  return load_value(block, 0, false);
}

CardResult Card::transfer(unsigned block) {
  std::lock_guard lock(mutex_);
  SectorConditions conditions;
  if (const CardResult checked = check_access(block, conditions); checked != CardResult::ok) return checked;
  if (block == 0 || is_trailer(block)) return CardResult::access_denied;
  if (!allows(data_permissions(conditions.group[access_group_of_block(block)]).decrement, session_->key)) {
    return CardResult::access_denied;
  }
  if (!value_register_ || value_register_->sector != session_->sector) return CardResult::no_value;
  return store(block, encode_value_block(value_register_->value));
}

namespace {

const char* operation_name(Card::Operation operation) {
  switch (operation) {
    case Card::Operation::authenticate:
      return "authenticate";
    case Card::Operation::read:
      return "read";
    case Card::Operation::write:
      return "write";
    case Card::Operation::increment:
      return "increment";
    case Card::Operation::decrement:
      return "decrement, transfer or restore";
  }
  return "use";
}

const char* key_name(KeyType key) { return key == KeyType::a ? "key A" : "key B"; }

}  // namespace

std::string Card::explain(CardResult result, unsigned block, Operation operation, KeyType key_type) const {
  std::lock_guard lock(mutex_);
  const std::string b = "block " + std::to_string(block);
  switch (result) {
    case CardResult::ok:
      return "done";
    case CardResult::not_selected:
      return "the card is not selected: it was halted, or a torn write left it; a card request wakes it";
    case CardResult::bad_block:
      return b + " is not on this card (blocks 0-" + std::to_string(memory_.size() - 1) + ")";
    case CardResult::sector_blocked:
      return "the access bytes of sector " + std::to_string(sector_of_block(block)) +
             " disagree with their inverted copies: the sector is blocked";
    case CardResult::auth_failed:
      return std::string(key_name(key_type)) + " does not match sector " + std::to_string(sector_of_block(block));
    case CardResult::not_authenticated: {
      const std::string sector = std::to_string(sector_of_block(block));
      if (session_) return "authenticated for sector " + std::to_string(session_->sector) + ", not sector " + sector;
      const std::string ended = ended_sector_ ? " of sector " + std::to_string(*ended_sector_) : "";
      switch (session_end_) {
        case SessionEnd::new_request:
          return ended_sector_ ? "no authentication: the authentication" + ended + " was ended by a new card request"
                               : "no authentication since the card was selected";
        case SessionEnd::failed_authentication:
          return "no authentication: the last authentication" + ended + " failed";
        case SessionEnd::none:
        case SessionEnd::halted:
        case SessionEnd::torn_write:
          break;
      }
      return "no authentication for sector " + sector;
    }
    case CardResult::access_denied: {
      if (operation == Operation::write && block == 0) return "block 0 is the manufacturer block, never writable";
      const unsigned sector = sector_of_block(block);
      const auto conditions = decode_access_bytes(access_bytes_of(at(trailer_block_of_sector(sector))));
      if (!conditions || !session_) return "access conditions forbid it";
      const KeyType key = session_->key;
      if (key == KeyType::b && key_b_readable(conditions->group[3]))
        return "access conditions: key B of sector " + std::to_string(sector) + " is readable (trailer " +
               condition_name(conditions->group[3]) + "), so it serves as data and allows nothing";
      if (is_trailer(block)) {
        const TrailerPermissions t = trailer_permissions(conditions->group[3]);
        return "access conditions: trailer " + condition_name(conditions->group[3]) + ": key A written with " +
               keys_name(t.key_a_write) + ", access bytes with " + keys_name(t.access_write) + ", key B with " +
               keys_name(t.key_b_write) + "; the session is " + key_name(key);
      }
      if (block == 0) return "block 0 is the manufacturer block";
      const Condition c = conditions->group[access_group_of_block(block)];
      const DataPermissions p = data_permissions(c);
      const Keys allowed = operation == Operation::read        ? p.read
                           : operation == Operation::write     ? p.write
                           : operation == Operation::increment ? p.increment
                                                               : p.decrement;
      return "access conditions: " + b + " (condition " + condition_name(c) + "): " + operation_name(operation) +
             " with " + keys_name(allowed) + "; the session is " + key_name(key);
    }
    case CardResult::bad_value:
      return b + " is not in value-block format";
    case CardResult::value_overflow:
      return "the value would leave the signed 32-bit range";
    case CardResult::bad_operand:
      return "a negative amount";
    case CardResult::no_value:
      return "no increment, decrement or restore before the transfer";
    case CardResult::write_refused:
      return "an injected fault refused the write";
    case CardResult::write_torn:
      return "an injected fault tore the write: the card left the field half-way";
  }
  return to_string(result);
}

void Card::refuse_write(unsigned nth) {
  std::lock_guard lock(mutex_);
  faults_.push_back(Fault{FaultKind::refuse, std::max(nth, 1U)});
}

void Card::tear_write(unsigned nth) {
  std::lock_guard lock(mutex_);
  faults_.push_back(Fault{FaultKind::tear, std::max(nth, 1U)});
}

void Card::clear_faults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

Block Card::raw_block(unsigned block) const {
  std::lock_guard lock(mutex_);
  check_block(block);
  return at(block);
}

void Card::set_raw_block(unsigned block, const Block& data) {
  std::lock_guard lock(mutex_);
  check_block(block);
  at(block) = data;
}

std::vector<uint8_t> Card::image() const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> bytes;
  bytes.reserve(memory_.size() * 16);
  for (const Block& block : memory_) bytes.insert(bytes.end(), block.begin(), block.end());
  return bytes;
}

void Card::load_image(std::span<const uint8_t> image) {
  std::lock_guard lock(mutex_);
  if (image.size() != memory_.size() * 16) throw std::invalid_argument("card image of the wrong size");
  for (std::size_t block = 0; block < memory_.size(); ++block) {
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(block * 16), 16, memory_[block].begin());
  }
}

std::string Card::dump_sector(unsigned sector) const {
  std::lock_guard lock(mutex_);
  if (sector >= sector_count(type_)) throw std::out_of_range("sector outside the card");
  const unsigned first = first_block_of_sector(sector);
  const unsigned trailer = trailer_block_of_sector(sector);
  std::string text = "sector " + std::to_string(sector) + " (blocks " + std::to_string(first) + "-" +
                     std::to_string(trailer) + ")\n";
  char field[8];
  for (unsigned block = first; block <= trailer; ++block) {
    std::snprintf(field, sizeof field, "%4u ", block);
    text += field;
    for (const uint8_t byte : at(block)) {
      std::snprintf(field, sizeof field, " %02X", byte);
      text += field;
    }
    text += '\n';
  }
  const auto conditions = decode_access_bytes(access_bytes_of(at(trailer)));
  if (!conditions) {
    text += "     access bytes inconsistent: sector blocked\n";
  } else {
    text += "     access conditions: data " + condition_name(conditions->group[0]) + " " +
            condition_name(conditions->group[1]) + " " + condition_name(conditions->group[2]) + ", trailer " +
            condition_name(conditions->group[3]) + "\n";
  }
  return text;
}

}  // namespace kk::emu
