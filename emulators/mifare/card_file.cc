#include "emulators/mifare/card_file.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <vector>

namespace kk::emu {
namespace {

constexpr std::string_view kMagic = "kioskkit-card";

bool parse_hex_bytes(const std::string& text, std::span<uint8_t> out) {
  if (text.size() != out.size() * 2) return false;
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned value = 0;
    for (size_t j = 0; j < 2; ++j) {
      const char c = text[2 * i + j];
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : (std::tolower(c) - 'a' + 10));
    }
    out[i] = static_cast<uint8_t>(value);
  }
  return true;
}

}  // namespace

std::string card_to_text(const Card& card) {
  std::string text = "# a MIFARE Classic card saved by kioskkit-reader-sim\n";
  char line[64];
  const Uid uid = card.uid();
  std::snprintf(line, sizeof line, "%s %s %02X%02X%02X%02X\n", kMagic.data(),
                card.type() == CardType::classic_1k ? "1K" : "4K", uid[0], uid[1], uid[2], uid[3]);
  text += line;
  const auto image = card.image();
  for (size_t block = 0; block * 16 < image.size(); ++block) {
    std::snprintf(line, sizeof line, "%zu ", block);
    text += line;
    for (size_t i = 0; i < 16; ++i) {
      std::snprintf(line, sizeof line, "%02X", image[block * 16 + i]);
      text += line;
    }
    text += '\n';
  }
  return text;
}

std::shared_ptr<Card> card_from_text(std::string_view text, std::string& error) {
  std::istringstream in{std::string(text)};
  std::string line;
  std::shared_ptr<Card> card;
  std::vector<uint8_t> image;
  std::vector<bool> seen;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string first, second, third, extra;
    words >> first >> second >> third;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (!card) {
      Uid uid{};
      if (first != kMagic || (second != "1K" && second != "4K") || !parse_hex_bytes(third, uid) ||
          (words >> extra)) {
        error = where + "expected 'kioskkit-card 1K|4K UID'";
        return nullptr;
      }
      card = std::make_shared<Card>(second == "1K" ? CardType::classic_1k : CardType::classic_4k, uid);
      image = card->image();
      seen.assign(image.size() / 16, false);
      continue;
    }
    char* end = nullptr;
    const unsigned long block = std::strtoul(first.c_str(), &end, 10);
    if (first.empty() || *end != '\0' || block >= seen.size() || !third.empty()) {
      error = where + "expected a block number below " + std::to_string(seen.size()) + " and 32 hex digits";
      return nullptr;
    }
    if (!parse_hex_bytes(second, std::span(image).subspan(block * 16, 16))) {
      error = where + "a block is 32 hex digits";
      return nullptr;
    }
    seen[block] = true;
  }
  if (!card) {
    error = "not a card file: no 'kioskkit-card' line";
    return nullptr;
  }
  for (size_t block = 0; block < seen.size(); ++block) {
    if (!seen[block]) {
      error = "block " + std::to_string(block) + " is missing";
      return nullptr;
    }
  }
  card->load_image(image);
  return card;
}

}  // namespace kk::emu
