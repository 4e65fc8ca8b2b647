#include "emulators/reader/sim_layouts.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "cardkit/layouts/lf/lf_codec.h"
#include "cardkit/layouts/lfzx/lfzx_codec.h"
#include "cardkit/layouts/lfzxdc/lfzxdc_codec.h"
#include "cardkit/layouts/sectors.h"
#include "cardkit/layouts/water/water_codec.h"
#include "common/bytes.h"

namespace kk::emu {
namespace {

namespace lf = cardkit::lf;
namespace lfzx = cardkit::lfzx;
namespace lfzxdc = cardkit::lfzxdc;
namespace water = cardkit::water;

using Image = std::array<uint8_t, 48>;

// ---- options ----

std::optional<std::string> option(const LayoutOptions& options, const char* name) {
  const auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

uint32_t number(const LayoutOptions& options, const char* name, uint32_t fallback, uint32_t max) {
  const auto text = option(options, name);
  if (!text) return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text->c_str(), &end, 0);
  if (text->empty() || (*text)[0] == '-' || *end != '\0' || value > max)
    throw LayoutError("--" + std::string(name) + ": a number from 0 to " + std::to_string(max) +
                      " is needed, got '" + *text + "'");
  return static_cast<uint32_t>(value);
}

template <size_t N>
std::optional<std::array<uint8_t, N>> hex_option(const LayoutOptions& options, const char* name) {
  const auto text = option(options, name);
  if (!text) return std::nullopt;
  std::string digits;
  for (const char c : *text)
    if (c != ':' && c != ' ') digits += c;
  std::array<uint8_t, N> bytes{};
  bool ok = digits.size() == 2 * N;
  for (size_t i = 0; ok && i < N; ++i) {
    ok = std::isxdigit(static_cast<unsigned char>(digits[2 * i])) &&
         std::isxdigit(static_cast<unsigned char>(digits[2 * i + 1]));
    if (ok) bytes[i] = static_cast<uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  }
  if (!ok)
    throw LayoutError("--" + std::string(name) + ": " + std::to_string(2 * N) +
                      " hex digits are needed, got '" + *text + "'");
  return bytes;
}

template <size_t N>
std::array<uint8_t, N> required_hex(const LayoutOptions& options, const char* name, const char* what) {
  const auto value = hex_option<N>(options, name);
  if (!value) throw LayoutError(std::string("--") + name + " is needed: " + what);
  return *value;
}

// ---- card memory ----

std::string hex(std::span<const uint8_t> bytes) {
  std::string text;
  char two[4];
  for (const uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02X ", b);
    text += two;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

Image read_sector(const Card& card, unsigned sector) {
  Image image{};
  for (unsigned i = 0; i < 3; ++i) {
    const Block b = card.raw_block(first_block_of_sector(sector) + i);
    std::copy(b.begin(), b.end(), image.begin() + 16 * i);
  }
  return image;
}

void write_sector(Card& card, unsigned sector, const Image& image, const Block& trailer) {
  if (sector >= sector_count(card.type()))
    throw LayoutError("sector " + std::to_string(sector) + " is not on this card (a " +
                      (card.type() == CardType::classic_1k ? "1K card has sectors 0-15)" : "4K card)"));
  for (unsigned i = 0; i < 3; ++i) {
    Block b{};
    std::copy_n(image.begin() + 16 * i, 16, b.begin());
    card.set_raw_block(first_block_of_sector(sector) + i, b);
  }
  card.set_raw_block(first_block_of_sector(sector) + 3, trailer);
}

std::span<const uint8_t, 16> block_in(const Image& image, unsigned i) {
  return std::span<const uint8_t, 16>(image.data() + 16 * i, 16);
}

std::span<uint8_t, 16> block_in(Image& image, unsigned i) {
  return std::span<uint8_t, 16>(image.data() + 16 * i, 16);
}

std::string line(unsigned block, const std::string& text) {
  return "     " + std::to_string(block) + ": " + text + "\n";
}

const char* right(bool ok) { return ok ? "right" : "WRONG"; }

std::string trailer_keys(const Card& card, unsigned sector, std::span<const uint8_t, 6> key_a,
                         std::span<const uint8_t, 6> key_b) {
  const Block t = card.raw_block(first_block_of_sector(sector) + 3);
  const bool a = std::equal(key_a.begin(), key_a.end(), t.begin());
  const bool b = std::equal(key_b.begin(), key_b.end(), t.begin() + 10);
  if (a && b) return "trailer: the layout's keys";
  if (t == transport_trailer()) return "trailer: the factory transport trailer (not issued, or reclaimed)";
  return std::string("trailer: key A ") + (a ? "is" : "is NOT") + " the layout's, key B " +
         (b ? "is" : "is NOT");
}

// ---- lf ----

constexpr uint32_t kLargestSmallSector = 31;

uint8_t lf_sector(const LayoutOptions& o) {
  const uint32_t sector = number(o, "sector", 1, kLargestSmallSector);
  if (sector == 0) throw LayoutError("--sector: the lf purse cannot be in sector 0 (block 0 is read-only)");
  return static_cast<uint8_t>(sector);
}

lf::CardKey lf_key(const Card& card, const LayoutOptions& o, uint8_t sector) {
  const auto base = hex_option<8>(o, "key").value_or(std::array<uint8_t, 8>{});
  return lf::card_key(card.serial(), sector, base);
}

void issue_lf(Card& card, const LayoutOptions& o) {
  const uint8_t sector = lf_sector(o);
  const uint32_t balance = number(o, "balance", 0, 0xFFFFFFFF);
  const auto key = lf_key(card, o, sector);
  Image image = lf::issued_sector();
  lf::set_purse(block_in(image, 0), balance);
  lf::set_backup(block_in(image, 1), balance);
  write_sector(card, sector, image, cardkit::make_trailer(key, cardkit::kKeyedTrailerAccess, key));
}

std::string decode_lf(const Card& card, unsigned sector, const LayoutOptions& o) {
  const unsigned first = first_block_of_sector(sector);
  if (sector == lf::kTimeCardSector && card.raw_block(first + 1)[0] == lf::kTimeMark) {
    const Image image = read_sector(card, sector);
    const uint16_t crc = lf::time_card_crc(std::span(image).first(46));
    return "  as an lf time card:\n" + line(first + 1, "time bytes " + hex(std::span(image).subspan(17, 6))) +
           line(first + 2, std::string("CRC ") + right(load_u16_le(&image[46]) == crc));
  }
  if (sector != lf_sector(o)) return {};
  const Image image = read_sector(card, sector);
  const auto purse = block_in(image, 0);
  const auto backup = block_in(image, 1);
  std::string text = "  as an lf purse:\n";
  if (lf::purse_valid(purse)) {
    text += line(first, "purse " + std::to_string(lf::purse_balance(purse)) +
                            " (valid value block, address bytes " + hex(std::span(purse).subspan(12, 1)) +
                            "/" + hex(std::span(purse).subspan(14, 1)) + ")");
  } else {
    text += line(first, "not a valid value block: the kit rebuilds it from the backup");
  }
  const bool in_step = lf::purse_valid(purse) && lf::purse_balance(purse) == lf::backup_balance(backup);
  text += line(first + 1,
               "backup " + std::to_string(lf::backup_balance(backup)) +
                   (in_step ? " (in step)" : " (out of step: the kit's next read rewrites one of the two)"));
  text += line(first + 2, "issue date " + hex(std::span(image).subspan(32, 4)) + ", mark " +
                              hex(std::span(image).subspan(36, 1)));
  const auto key = lf_key(card, o, static_cast<uint8_t>(sector));
  text += "     " + trailer_keys(card, sector, key, key) + " (from --key and the card serial)\n";
  return text;
}

// ---- lfzx, gsts, gstshot ----

template <const lfzx::Layout& L>
void issue_lfzx(Card& card, const LayoutOptions& o) {
  const auto s0 = static_cast<uint8_t>(card.serial());
  Image image = lfzx::issued_sector(L, s0);
  lfzx::set_balance(L, s0, block_in(image, 0), static_cast<uint16_t>(number(o, "balance", 0, 0xFFFF)));
  std::copy_n(image.begin(), 16, image.begin() + 32);
  const auto a = lfzx::key_a(L, card.serial());
  const auto b = lfzx::key_b(L, card.serial());
  write_sector(card, L.sector, image, cardkit::make_trailer(a, cardkit::kTransportTrailerAccess, b));
}

template <const lfzx::Layout& L>
std::string decode_lfzx(const Card& card, unsigned sector, const LayoutOptions&) {
  if (sector != L.sector) return {};
  const auto s0 = static_cast<uint8_t>(card.serial());
  const Image image = read_sector(card, sector);
  const unsigned first = first_block_of_sector(sector);
  const bool valid = lfzx::balance_valid(L, s0, block_in(image, 0));
  const bool backup_valid = lfzx::balance_valid(L, s0, block_in(image, 2));
  std::string text = std::string("  as a ") + L.name + " card:\n";
  text += line(first, "balance " + std::to_string(lfzx::balance_of(block_in(image, 0))) + ", check bytes " +
                          right(valid));
  text += line(first + 1, "header");
  const bool same = std::equal(image.begin(), image.begin() + 16, image.begin() + 32);
  text += line(first + 2, same ? "backup: the same block"
                               : "backup: differs, balance " +
                                     std::to_string(lfzx::balance_of(block_in(image, 2))) + ", check bytes " +
                                     right(backup_valid));
  text += "     the kit reads " +
          (valid          ? std::to_string(lfzx::balance_of(block_in(image, 0)))
           : backup_valid ? std::to_string(lfzx::balance_of(block_in(image, 2))) + " (from the backup)"
                          : "nothing (neither copy valid)") +
          "\n";
  text += "     " + trailer_keys(card, sector, lfzx::key_a(L, card.serial()), lfzx::key_b(L, card.serial())) +
          "\n";
  return text;
}

// ---- water ----

uint8_t water_sector(const LayoutOptions& o) {
  const uint32_t sector = number(o, "sector", 0, kLargestSmallSector);
  if (sector == 0) throw LayoutError("--sector is needed: the water sector, 1 to 31");
  return static_cast<uint8_t>(sector);
}

void issue_water(Card& card, const LayoutOptions& o) {
  const uint8_t sector = water_sector(o);
  const auto key = required_hex<6>(o, "key", "the water key, 12 hex digits");
  Image image = water::issued_user_sector();
  water::set_balance(block_in(image, 0), number(o, "balance", 0, 0xFFFFFF));
  std::copy_n(image.begin(), 16, image.begin() + 32);
  write_sector(card, sector, image, cardkit::make_trailer(key, cardkit::kTransportTrailerAccess, key));
}

std::string decode_water(const Card& card, unsigned sector, const LayoutOptions& o) {
  if (sector != water_sector(o)) return {};
  const Image image = read_sector(card, sector);
  const unsigned first = first_block_of_sector(sector);
  const bool valid = water::checksum_ok(block_in(image, 0));
  std::string text = "  as a water card:\n";
  if (image[16] == 0x66) {
    text += line(first + 1, "parameter block: code " + hex(std::span(image).subspan(17, 1)) + ", byte " +
                                hex(std::span(image).subspan(18, 1)) + ", 32-bit " +
                                hex(std::span(image).subspan(19, 4)) + ", 24-bit " +
                                hex(std::span(image).subspan(23, 3)) + ", checksum " +
                                right(water::checksum_ok(block_in(image, 1))));
  } else {
    text += line(first, "balance " + std::to_string(water::balance_of(block_in(image, 0))) + ", checksum " +
                            right(valid));
    const bool same = std::equal(image.begin(), image.begin() + 16, image.begin() + 32);
    text += line(first + 2, same ? "backup: the same block"
                                 : "backup: differs, balance " +
                                       std::to_string(water::balance_of(block_in(image, 2))) + ", checksum " +
                                       right(water::checksum_ok(block_in(image, 2))));
  }
  if (const auto key = hex_option<6>(o, "key"))
    text += "     " + trailer_keys(card, sector, *key, *key) + "\n";
  return text;
}

// ---- lfzxdc ----

void issue_lfzxdc(Card& card, const LayoutOptions& o) {
  Image terminal = lfzxdc::issued_terminal_sector();
  if (o.count("prefix") || o.count("number"))
    lfzxdc::set_card_number(terminal, static_cast<uint16_t>(number(o, "prefix", 0, 9999)),
                            number(o, "number", 0, 99999999));
  if (o.count("price-value") || o.count("price-word"))
    lfzxdc::set_price(terminal, static_cast<uint16_t>(number(o, "price-word", 0, 0xFFFF)),
                      number(o, "price-value", 0, 0xFFFFFFFF));
  if (o.count("sequence") || o.count("amount"))
    lfzxdc::set_purchase(terminal, number(o, "sequence", 0, 0xFFFF),
                         static_cast<uint16_t>(number(o, "amount", 0, 0xFFFF)));
  Image device{};
  if (o.count("counter")) store_u16_be(&device[9], static_cast<uint16_t>(number(o, "counter", 0, 0xFFFF)));
  const auto key = lfzxdc::card_key(card.serial());
  const Block trailer = cardkit::make_trailer(key, cardkit::kTransportTrailerAccess, key);
  write_sector(card, lfzxdc::kTerminalSector, terminal, trailer);
  write_sector(card, lfzxdc::kDeviceSector, device, trailer);
}

std::string decode_lfzxdc(const Card& card, unsigned sector, const LayoutOptions&) {
  lfzxdc::CardImage image{read_sector(card, lfzxdc::kTerminalSector),
                          read_sector(card, lfzxdc::kDeviceSector)};
  const auto key = lfzxdc::card_key(card.serial());
  if (sector == lfzxdc::kTerminalSector) {
    const auto& t = image.terminal;
    auto completed = t;
    const bool in_step = !lfzxdc::complete_record(completed);
    const std::string type = t[0] == lfzxdc::kUserCard    ? "user card"
                             : t[0] == lfzxdc::kClearCard ? "clear card"
                                                          : "type " + hex(std::span(t).first(1));
    std::string text = "  as an lfzxdc card (terminal side):\n";
    text += line(12, type + ", prefix " + std::to_string(lfzxdc::prefix_of(t)) + ", number " +
                         std::to_string(lfzxdc::card_number_of(t)) + ", purchase " +
                         std::to_string(load_u16_be(&t[8])) + " of " + std::to_string(load_u16_be(&t[10])) +
                         ", price value " + std::to_string(load_u32_be(&t[12])));
    text += line(
        13, "price word " + hex(std::span(t).subspan(16, 2)) + ", next " +
                std::to_string(load_u16_be(&t[22])) + ", check word " + hex(std::span(t).subspan(27, 4)) +
                ", checksum " + right(t[31] == lfzxdc::checksum(t)) +
                (in_step ? "" : " (block 13 out of step with block 12: the kit's next read completes it)"));
    return text + "     " + trailer_keys(card, sector, key, key) + "\n";
  }
  if (sector == lfzxdc::kDeviceSector) {
    const auto state = lfzxdc::purchase_state(image);
    std::string text = "  as an lfzxdc card (device side):\n";
    text += line(16, state.device_used ? "device counter " + std::to_string(state.next_sequence - 1) +
                                             ": next sequence " + std::to_string(state.next_sequence) +
                                             ", pending amount " + std::to_string(state.pending)
                                       : "empty: the consuming device has not used the card");
    return text + "     " + trailer_keys(card, sector, key, key) + "\n";
  }
  return {};
}

// The layouts. fmt10 takes its row here once its codec has landed.
const std::vector<SimLayout>& layouts() {
  static const std::vector<SimLayout> table = {
      {"lf",
       "[--balance N] [--key BASEKEY16HEX] [--sector 1-31]  (defaults 0, all-zero key, sector 1)",
       {"balance", "key", "sector"},
       issue_lf,
       decode_lf},
      {"lfzx", "[--balance 0-65535]", {"balance"}, issue_lfzx<lfzx::kLfzx>, decode_lfzx<lfzx::kLfzx>},
      {"gsts", "[--balance 0-65535]", {"balance"}, issue_lfzx<lfzx::kGsts>, decode_lfzx<lfzx::kGsts>},
      {"gstshot",
       "[--balance 0-65535]",
       {"balance"},
       issue_lfzx<lfzx::kGstshot>,
       decode_lfzx<lfzx::kGstshot>},
      {"water",
       "--key KEY12HEX --sector 1-31 [--balance N]",
       {"balance", "key", "sector"},
       issue_water,
       decode_water},
      {"lfzxdc",
       "[--prefix N] [--number N] [--sequence N] [--amount N] [--price-value N] [--price-word N] [--counter "
       "N]",
       {"prefix", "number", "sequence", "amount", "price-value", "price-word", "counter"},
       issue_lfzxdc,
       decode_lfzxdc},
  };
  return table;
}

}  // namespace

const SimLayout* find_sim_layout(std::string_view name) {
  for (const auto& layout : layouts())
    if (name == layout.name) return &layout;
  return nullptr;
}

std::string sim_layout_names() {
  std::string names;
  for (const auto& layout : layouts()) names += (names.empty() ? "" : ", ") + std::string(layout.name);
  return names;
}

std::string sim_layout_usage() {
  std::string text;
  for (const auto& layout : layouts()) {
    std::string name = layout.name;
    name.resize(9, ' ');
    text += "    " + name + layout.usage + "\n";
  }
  return text;
}

LayoutOptions parse_layout_options(const SimLayout& layout, const std::vector<std::string>& words) {
  LayoutOptions options;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!word.starts_with("--")) throw LayoutError("'" + word + "': layout options start with --");
    const std::string name = word.substr(2);
    if (std::find(layout.options.begin(), layout.options.end(), name) == layout.options.end()) {
      std::string known;
      for (const auto o : layout.options) known += " --" + std::string(o);
      throw LayoutError("--layout " + std::string(layout.name) + " takes" +
                        (known.empty() ? " no options" : known) + ", not " + word);
    }
    if (i + 1 >= words.size()) throw LayoutError(word + " needs a value");
    options[name] = words[++i];
  }
  return options;
}

}  // namespace kk::emu
