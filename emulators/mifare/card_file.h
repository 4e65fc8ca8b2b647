// A card's whole memory as a text file, so that a card can be saved from
// the emulated reader's field and presented again later, by a person or by
// a test that starts from a recorded state.
//
// The format, one item per line ('#' starts a comment line):
//   kioskkit-card 1K 12345678      type (1K or 4K) and UID, 8 hex digits
//   0 12345678...                  block number, then its 16 bytes in hex
//   ...                            (every block of the card, in any order)
// Blocks are stored as they are, keys and block 0 included.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "emulators/mifare/card.h"

namespace kk::emu {

[[nodiscard]] std::string card_to_text(const Card& card);

// The card the text describes; nothing, with `error` saying why, when the
// text is not a whole card image.
[[nodiscard]] std::shared_ptr<Card> card_from_text(std::string_view text, std::string& error);

}  // namespace kk::emu
